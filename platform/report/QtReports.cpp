#include "platform/report/QtReports.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>

#include <algorithm>

namespace report {

QtReports::QtReports()
{
    previous_ = Install(this);
}

QtReports::~QtReports()
{
    Install(previous_);
}

void QtReports::show(Kind kind, std::string_view title, std::string_view text)
{
    Key key{kind, std::string(title), std::string(text)};
    if (QThread::currentThread() == thread()) {
        showNow(key);
        return;
    }
    QMetaObject::invokeMethod(this, [this, key] { showNow(key); }, Qt::QueuedConnection);
}

void QtReports::dismissAll()
{
    // Each box's nested event loop returns once its exec() sees the result.
    for (QMessageBox* box : std::vector<QMessageBox*>(boxes_))
        box->done(QMessageBox::Ok);
}

void QtReports::showNow(const Key& key)
{
    // A report queued from another thread may arrive after the program was told to end.
    if (Hushed() || !onScreen_.insert(key).second)
        return;
    const auto& [kind, title, text] = key;
    QMessageBox box;
    box.setWindowTitle(QString::fromStdString(title));
    box.setText(QString::fromStdString(text));
    box.setStandardButtons(QMessageBox::Ok);
    switch (kind) {
    case Kind::Error:
    case Kind::Unhandled: box.setIcon(QMessageBox::Critical); break;
    case Kind::Information: box.setIcon(QMessageBox::Information); break;
    case Kind::Plain: box.setIcon(QMessageBox::NoIcon); break;
    }
    boxes_.push_back(&box);
    box.exec();
    std::erase(boxes_, &box);
    onScreen_.erase(key);
}

} // namespace report
