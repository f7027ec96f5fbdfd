#include "ui/SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr int kAnswerMs = 1000;
constexpr const char* kRaise = "raise\n";
constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

// The store's name folded into something a file name can carry.
std::string Fingerprint(const std::filesystem::path& storeFile)
{
    std::error_code ec;
    auto path = std::filesystem::weakly_canonical(storeFile, ec);
    if (ec)
        path = storeFile;
    uint64_t hash = kFnvOffset;
    for (const unsigned char c : path.string())
        hash = (hash ^ c) * kFnvPrime;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

// The per-user runtime folder, which a logout clears; the temporary folder without one.
std::filesystem::path LockFolder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    if (runtime && *runtime && std::filesystem::is_directory(runtime, ec))
        return runtime;
    return std::filesystem::temp_directory_path(ec);
}

} // namespace

SingleInstance::SingleInstance(const std::filesystem::path& storeFile)
{
    const std::string base = (LockFolder() / ("vobblix-" + std::to_string(::getuid()) + "-" + Fingerprint(storeFile))).string();
    socketPath_ = base + ".socket";
    const int fd = ::open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        // Nowhere to keep a lock: better two programs than none.
        lockFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        return;
    }
    // The kernel lets the lock go when the program dies, however it dies.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    lockFd_ = fd;
    // The lock is ours, so a socket left there is a dead program's.
    QLocalServer::removeServer(QString::fromStdString(socketPath_));
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(QString::fromStdString(socketPath_)))
        return;
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->readAll().startsWith("raise") && raise_)
                    raise_();
            });
        }
    });
}

SingleInstance::~SingleInstance()
{
    if (server_)
        server_->close();
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

bool SingleInstance::RaiseFirst() const
{
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(socketPath_));
    if (!socket.waitForConnected(kAnswerMs))
        return false;
    socket.write(kRaise);
    const bool sent = socket.waitForBytesWritten(kAnswerMs);
    socket.disconnectFromServer();
    return sent;
}
