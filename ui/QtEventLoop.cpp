#include "ui/QtEventLoop.h"

#include <QSocketNotifier>
#include <QTimer>

namespace {

// Holds the notifier or timer; one dropped from its own callback is deleted once the
// callback has returned.
class QtWake final : public joystick::Wake {
public:
    QtWake(QObject* source, std::shared_ptr<bool> running) : source_(source), running_(std::move(running)) {}
    ~QtWake() override
    {
        source_->disconnect();
        if (auto* notifier = qobject_cast<QSocketNotifier*>(source_))
            notifier->setEnabled(false);
        if (auto* timer = qobject_cast<QTimer*>(source_))
            timer->stop();
        if (*running_)
            source_->deleteLater();
        else
            delete source_;
    }
    QtWake(const QtWake&) = delete;
    QtWake& operator=(const QtWake&) = delete;

private:
    QObject* source_ = nullptr;
    std::shared_ptr<bool> running_;
};

// Runs the callback with the flag set that tells the wake it is inside it.
std::function<void()> Flagged(std::function<void()> callback, const std::shared_ptr<bool>& running)
{
    return [callback = std::move(callback), running] {
        *running = true;
        callback();
        *running = false;
    };
}

} // namespace

std::unique_ptr<joystick::Wake> QtEventLoop::WhenReadable(int fd, std::function<void()> onReadable)
{
    auto running = std::make_shared<bool>(false);
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, Flagged(std::move(onReadable), running));
    return std::make_unique<QtWake>(notifier, running);
}

std::unique_ptr<joystick::Wake> QtEventLoop::After(uint32_t ms, std::function<void()> onTime)
{
    auto running = std::make_shared<bool>(false);
    auto* timer = new QTimer;
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, timer, Flagged(std::move(onTime), running));
    timer->start(int(ms));
    return std::make_unique<QtWake>(timer, running);
}
