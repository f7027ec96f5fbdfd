#pragma once
// One program per settings file. The first start holds a lock named after the store and
// listens beside it; a later start finds the lock held, asks the first to raise its window,
// and ends without touching the store: two programs would both grab the sound card, and the
// last to close would undo the other's settings.

#include <QObject>

#include <filesystem>
#include <functional>
#include <string>

class QLocalServer;

class SingleInstance final : public QObject {
public:
    // UI thread only; a QApplication must exist.
    explicit SingleInstance(const std::filesystem::path& storeFile);
    ~SingleInstance() override;

    // True when no other program holds this store.
    bool first() const { return lockFd_ >= 0; }
    // Asks the program that holds the store to raise its window; false when it did not answer.
    bool RaiseFirst() const;
    // What to do when a later start asks (the first program only).
    void OnRaise(std::function<void()> raise) { raise_ = std::move(raise); }

private:
    int lockFd_ = -1;
    std::string socketPath_;
    QLocalServer* server_ = nullptr;
    std::function<void()> raise_;
};
