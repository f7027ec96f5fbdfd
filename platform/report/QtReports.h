#pragma once
// Reports as Qt message boxes. A report raised off the UI thread is queued to it; a report
// identical to one already on screen is not stacked again, so a failing device cannot open
// a box per buffer.

#include "platform/report/Report.h"

#include <QObject>

class QMessageBox;

#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace report {

class QtReports final : public QObject, public Sink {
public:
    // UI thread only.
    QtReports();
    ~QtReports() override;

    // Called on any thread.
    void show(Kind kind, std::string_view title, std::string_view text) override;
    // UI thread only.
    void dismissAll() override;

private:
    using Key = std::tuple<Kind, std::string, std::string>;
    // UI thread only.
    void showNow(const Key& key);

    std::set<Key> onScreen_;
    std::vector<QMessageBox*> boxes_;
    Sink* previous_ = nullptr;
};

} // namespace report
