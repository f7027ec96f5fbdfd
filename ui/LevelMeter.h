#pragma once
// A peak meter in dBFS: a bar that falls back slowly after each peak, a hold mark that keeps
// the highest peak for a moment, and a clip mark that stays lit until clicked, so that a clip
// played while the player looked away is still seen.

#include <QWidget>

#include <cstdint>

class LevelMeter : public QWidget {
    Q_OBJECT

public:
    // The bottom of the scale; silence reads this.
    static constexpr double kFloorDb = -60.0;

    // UI thread only (every member below too).
    explicit LevelMeter(const QString& name, QWidget* parent = nullptr);

    // The peak (0 to 32768) that gathered since the last look, whether it clipped, and how
    // long ago the last look was. True while the meter moves: it changed, or has yet to fall
    // to the floor.
    bool showPeak(uint32_t peak, bool clipped, double elapsedMs);
    // What the bar and the hold mark read, in dBFS.
    double levelDb() const { return levelDb_; }
    double holdDb() const { return holdDb_; }
    bool clipLit() const { return clipLit_; }
    void clearClip();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    // A peak's level in dBFS, kFloorDb at most down.
    static double ToDb(uint32_t peak);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    // What a paint shows, so that a look which changes no pixel paints nothing: a steady
    // meter costs no drawing while the program idles.
    struct Drawn {
        int level = 0;
        int hold = 0;
        long readoutTenths = 0;
        bool clip = false;
        bool operator==(const Drawn&) const = default;
    };
    Drawn drawn() const;
    QRect barRect() const;
    QRect clipRect() const;
    int xOf(double db) const;

    QString name_;
    double levelDb_ = kFloorDb;
    double holdDb_ = kFloorDb;
    double holdLeftMs_ = 0.0;
    bool clipLit_ = false;
};
