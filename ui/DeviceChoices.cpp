#include "ui/DeviceChoices.h"

#include <QComboBox>

namespace {
constexpr const char* kNotConnected = " (not connected)";
}

void FillChoices(QComboBox* box, const QString& firstText, const QString& firstId,
                 const std::vector<wave::DeviceChoice>& choices, const std::string& chosen)
{
    box->clear();
    box->addItem(firstText, firstId);
    for (const wave::DeviceChoice& d : choices) {
        box->addItem(QString::fromStdString(d.description), QString::fromStdString(d.id));
        box->setItemData(box->count() - 1, QString::fromStdString(d.id), Qt::ToolTipRole);
    }
    const QString id = QString::fromStdString(chosen);
    int at = box->findData(id);
    if (at < 0) {
        box->addItem(id + kNotConnected, id);
        at = box->count() - 1;
    }
    box->setCurrentIndex(at);
}
