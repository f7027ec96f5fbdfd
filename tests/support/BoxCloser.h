#pragma once
// Plays the user in front of real Qt message boxes: a timer reads each box once it has been
// open a while, and presses OK. A box runs a nested event loop in which the main window's
// timers and queued calls go on firing, which is what the tests that use this look at.

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

// Long enough for the main window's screen timer to run inside the box's loop.
inline constexpr auto kBoxOpenFor = std::chrono::milliseconds(200);

class BoxCloser {
public:
    BoxCloser()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
        timer_.start(10);
    }
    const std::vector<std::string>& texts() const { return texts_; }

private:
    void Look()
    {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible())
                continue;
            const auto now = std::chrono::steady_clock::now();
            if (box != seen_) {
                seen_ = box;
                since_ = now;
            }
            if (now - since_ < kBoxOpenFor)
                continue;
            texts_.push_back(box->text().toStdString());
            seen_ = nullptr;
            box->button(QMessageBox::Ok)->click();
        }
    }

    QTimer timer_;
    QMessageBox* seen_ = nullptr;
    std::chrono::steady_clock::time_point since_{};
    std::vector<std::string> texts_;
};

} // namespace testsupport
