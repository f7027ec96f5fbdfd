#pragma once
// The about window: the program's name and version, its logo and a link to its web page.

#include <QWidget>

class QLabel;
class QPushButton;

class TfrmAbout : public QWidget {
    Q_OBJECT

public:
    // UI thread only.
    TfrmAbout();
    void Label5Click();
    void Button1Click();

    QLabel* Label1 = nullptr;
    QWidget* Image1 = nullptr;
    QLabel* Label5 = nullptr;
    QPushButton* Button1 = nullptr;
};

// The project's web page.
inline constexpr const char* kWebAddress = "https://drenmarq.org/vobblix";

extern TfrmAbout* frmAbout;

// Draws the program's logo (a wah pedal under a swept resonant curve) into a rectangle.
class QPainter;
class QRectF;
void PaintLogo(QPainter& painter, const QRectF& area);
