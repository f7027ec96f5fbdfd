#include "ui/SaveDialog.h"

#include "ui/Main.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

std::optional<std::string> QtSaveDialog::Execute(const std::string& initialDir, const std::string& proposedName)
{
    QFileDialog dialog(frmMain, QString(), QString::fromStdString(initialDir), "Wav files (*.wav)");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setSizeGripEnabled(true);
    if (!proposedName.empty())
        dialog.selectFile(QString::fromStdString(proposedName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().front().toStdString();
}

bool QtSaveDialog::ConfirmOverwrite(const std::string& path)
{
    const QString name = QString::fromStdString(path);
    return QMessageBox::warning(frmMain, "Confirm Save As",
                                QFileInfo(name).fileName() + " already exists.\nDo you want to replace it?",
                                QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}
