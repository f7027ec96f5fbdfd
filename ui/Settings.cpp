#include "ui/Settings.h"

TfrmSettings* frmSettings = nullptr;

namespace {
constexpr int kWidth = 282;
constexpr int kHeight = 369;
} // namespace

TfrmSettings::TfrmSettings()
{
    setWindowTitle("Vobblix Settings");
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(kWidth, kHeight);
    frmSettings = this;
}

void TfrmSettings::Spawn()
{
    show();
    raise();
}
