#pragma once
// A sink that keeps every report, for tests that assert the exact texts.

#include "platform/report/Report.h"

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace report {

struct Shown {
    Kind kind;
    std::string title;
    std::string text;
    bool operator==(const Shown&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Shown& s)
    {
        return out << "{kind " << int(s.kind) << ", \"" << s.title << "\", \"" << s.text << "\"}";
    }
};

class RecordingSink final : public Sink {
public:
    RecordingSink() { previous_ = Install(this); }
    ~RecordingSink() override { Install(previous_); }
    RecordingSink(const RecordingSink&) = delete;
    RecordingSink& operator=(const RecordingSink&) = delete;

    // Called on any thread.
    void show(Kind kind, std::string_view title, std::string_view text) override
    {
        std::lock_guard lock(mutex_);
        shown_.push_back({kind, std::string(title), std::string(text)});
    }

    // Any thread.
    std::vector<Shown> shown() const
    {
        std::lock_guard lock(mutex_);
        return shown_;
    }

    // The texts alone, in order.
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const auto& s : shown())
            out.push_back(s.text);
        return out;
    }

    void clear()
    {
        std::lock_guard lock(mutex_);
        shown_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<Shown> shown_;
    Sink* previous_ = nullptr;
};

} // namespace report
