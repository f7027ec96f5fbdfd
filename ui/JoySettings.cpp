#include "ui/JoySettings.h"

TfrmJoySetup* frmJoySetup = nullptr;

namespace {
constexpr int kWidth = 289;
constexpr int kHeight = 273;
constexpr int kLeft = 380;
constexpr int kTop = 182;
} // namespace

TfrmJoySetup::TfrmJoySetup()
{
    setWindowTitle("Joystick Setup");
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(kWidth, kHeight);
    move(kLeft, kTop);
    frmJoySetup = this;
}

void TfrmJoySetup::Spawn()
{
    show();
    raise();
}
