#pragma once
// An event loop the test drives: it runs the callbacks of watched descriptors that have
// something to read when asked, and timers only when the test says their time came. What is
// armed can be counted, so "nothing on a timer" is a fact, not a measurement.

#include "platform/joystick/Joystick.h"

#include <poll.h>

#include <map>

namespace testsupport {

class ScriptedLoop final : public joystick::EventLoop {
public:
    std::unique_ptr<joystick::Wake> WhenReadable(int fd, std::function<void()> onReadable) override
    {
        watches_[next_] = {fd, std::move(onReadable)};
        return std::make_unique<Handle>(watches_, next_++);
    }
    std::unique_ptr<joystick::Wake> After(uint32_t ms, std::function<void()> onTime) override
    {
        timers_[next_] = {int(ms), std::move(onTime)};
        return std::make_unique<Handle>(timers_, next_++);
    }

    // Runs the callbacks of the readable descriptors until none is; gives back how many ran.
    int RunReady()
    {
        int ran = 0;
        for (bool any = true; any;) {
            any = false;
            for (auto it = watches_.begin(); it != watches_.end(); ++it) {
                pollfd p{it->second.first, POLLIN, 0};
                if (poll(&p, 1, 0) != 1)
                    continue;
                // A copy: the callback may drop its own watch, or others.
                auto callback = it->second.second;
                callback();
                ++ran;
                any = true;
                break;
            }
        }
        return ran;
    }
    // Runs the timers armed now as if their time had come.
    void FireTimers()
    {
        const auto due = timers_;
        timers_.clear();
        for (const auto& [id, timer] : due)
            timer.second();
    }
    size_t watches() const { return watches_.size(); }
    size_t timers() const { return timers_.size(); }
    // The delays of the armed timers, in milliseconds.
    std::vector<int> delays() const
    {
        std::vector<int> out;
        for (const auto& [id, timer] : timers_)
            out.push_back(timer.first);
        return out;
    }

private:
    using Entries = std::map<int, std::pair<int, std::function<void()>>>;
    class Handle final : public joystick::Wake {
    public:
        Handle(Entries& entries, int id) : entries_(entries), id_(id) {}
        ~Handle() override { entries_.erase(id_); }

    private:
        Entries& entries_;
        int id_;
    };

    Entries watches_;
    Entries timers_;
    int next_ = 0;
};

} // namespace testsupport
