#include "recorder/Rescue.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace recorder {
namespace {

// A take is written anew under its own name, or, where that name is taken by then, under the
// name with "-2" up to this number before its extension.
constexpr int kMaxRescueNames = 99;
// The take so far is copied to its new file in pieces of this size.
constexpr size_t kCopyBytes = 1 << 16;

std::string Reason() { return std::strerror(errno); }

// Copies the take so far from the old file to the new one.
bool CopyTake(int from, int to, int64_t bytes)
{
    std::vector<uint8_t> piece(kCopyBytes);
    for (int64_t at = 0; at < bytes;) {
        const size_t want = size_t(std::min<int64_t>(int64_t(piece.size()), bytes - at));
        const ssize_t n = ::pread(from, piece.data(), want, off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::pwrite(to, piece.data() + done, size_t(n - done), off_t(at + done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                if (w == 0)
                    errno = ENOSPC;
                return false;
            }
            done += w;
        }
        at += n;
    }
    return ::lseek(to, off_t(bytes), SEEK_SET) >= 0;
}

// Writes the take to a new file in the folder given, under the old file's name or, if that
// is taken, a numbered one. False, with errno set, when nothing could be written there.
bool RewriteTakeIn(const std::filesystem::path& folder, int from, const std::string& lost, int64_t bytes,
                   Rescue& rescue)
{
    const std::filesystem::path old(lost);
    const std::string stem = old.stem().string();
    const std::string extension = old.extension().string();
    for (int n = 1; n <= kMaxRescueNames; ++n) {
        const std::filesystem::path path =
            folder / (n == 1 ? old.filename().string() : stem + "-" + std::to_string(n) + extension);
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return false;
        ::flock(fd, LOCK_EX | LOCK_NB);
        if (!CopyTake(from, fd, bytes)) {
            const int error = errno;
            ::close(fd);
            ::unlink(path.c_str());
            errno = error;
            return false;
        }
        rescue.fd = fd;
        rescue.path = path.string();
        return true;
    }
    errno = EEXIST;
    return false;
}

// Where the take now is; and why, when it could not go back to its own folder.
std::string WhereTheTakeWent(const std::string& lost, const std::string& now, const std::string& why)
{
    std::string text = "The file " + lost + " was removed or moved while recording";
    if (!why.empty())
        text += ", and it could not be written again in its own folder (" + why + ")";
    return text + ". Vobblix wrote the whole take so far to " + now + (now == lost ? " again" : "") + " and records on.";
}

} // namespace

bool LostItsName(int fd, const std::string& path)
{
    struct stat open {};
    struct stat named {};
    if (::fstat(fd, &open) != 0)
        return false;
    if (open.st_nlink == 0)
        return true;
    if (::stat(path.c_str(), &named) != 0)
        return errno == ENOENT || errno == ENOTDIR;
    return named.st_dev != open.st_dev || named.st_ino != open.st_ino;
}

Rescue RescueTake(int fd, const std::string& lost, int64_t bytes)
{
    Rescue rescue;
    const std::filesystem::path named = std::filesystem::path(lost).parent_path();
    const std::filesystem::path folder = named.empty() ? std::filesystem::path(".") : named;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!ec && RewriteTakeIn(folder, fd, lost, bytes, rescue)) {
        rescue.message = WhereTheTakeWent(lost, rescue.path, {});
        return rescue;
    }
    const std::string why = ec ? ec.message() : Reason();
    std::string lastWhy = why;
    std::vector<std::filesystem::path> elsewhere;
    for (auto above = folder.parent_path(); !above.empty(); above = above.parent_path()) {
        if (std::filesystem::is_directory(above, ec)) {
            elsewhere.push_back(above);
            break;
        }
        if (above == above.root_path())
            break;
    }
    if (const char* home = std::getenv("HOME"); home && *home)
        elsewhere.emplace_back(home);
    for (const auto& place : elsewhere) {
        if (RewriteTakeIn(place, fd, lost, bytes, rescue)) {
            rescue.message = WhereTheTakeWent(lost, rescue.path, why);
            return rescue;
        }
        lastWhy = Reason();
    }
    rescue.message = "Recording stopped: the file " + lost +
                     " was removed or moved while recording, and the take could not be written anew (" + lastWhy +
                     ").";
    return rescue;
}

} // namespace recorder
