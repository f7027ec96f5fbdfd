#include "recorder/SaveToFile.h"

#include "config/Settings.h"
#include "platform/report/Report.h"
#include "platform/thread/ByteRing.h"
#include "platform/thread/Doorbell.h"
#include "recorder/Rescue.h"
#include "recorder/WaveFormat.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

thread::LatestValue<thread::LabelText> RecordTimeText;

namespace recorder {
std::atomic<Ended> EndedByItself{Ended::No};
}

namespace {

constexpr size_t kHeaderBytes = recorder::wav::kHeaderBytes;
// The capture side queues blocks for the writer; this many seconds of sound may wait while
// the disk is slow before a recording has to stop.
constexpr size_t kQueueSeconds = 4;

// The file, the buffer and the header are used by the capture thread and by the start and
// stop on the UI thread; this lock keeps the capture thread off them while they are being
// created or released, and the final append off a capture-thread append.
std::mutex gLock;
int RecordFile = -1;
// The file's path: RecordFileName at the start, wherever the take was written anew since.
std::string gFilePath;
std::vector<uint8_t> RecordBuffer;
recorder::wav::Header WaveHeader{};
double RecordTimeValue = 0.0;
int64_t gSizeLimit = recorder::kMaxFileBytes;
// The file's size after the last complete append: what a failed write is cut back to.
int64_t gLastGoodSize = 0;

// Blocks queued by the capture side. Made at the first recording and kept, since the capture
// thread may be pushing while a recording stops; drained only with gLock held.
std::unique_ptr<thread::ByteRing> gQueue;
std::atomic<thread::ByteRing*> gQueueForCapture{nullptr};
std::atomic<uint64_t> gQueueLostBytes{0};
std::vector<uint8_t> gBlock;
thread::Doorbell gQueued;
std::thread gWriter;
std::atomic<bool> gWriterStop{false};
// Why a recording just ended by itself, and where a take was written anew, to be reported
// once the lock is let go.
std::string gUnreported;
std::string gUnreportedMove;

void WriterLoop();

bool WriteAll(const uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(RecordFile, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Ends the recording from the capture thread: the file is cut back to its last complete
// state and stays open until the UI closes it.
void EndByItself(recorder::Ended why, const std::string& text)
{
    Settings.Recording = false;
    if (::ftruncate(RecordFile, gLastGoodSize) != 0 || ::lseek(RecordFile, gLastGoodSize, SEEK_SET) < 0) {
        // The header still describes the last complete append; extra bytes past it are only
        // ignored by readers.
    }
    RecordBuffer.clear();
    recorder::EndedByItself = why;
    gUnreported = text;
}

// Shows what ended a recording, once the lock is let go: the box's nested event loop may
// close the file, which takes the lock.
void ReportUnlocked(std::unique_lock<std::mutex>& lock)
{
    std::string text = std::exchange(gUnreported, std::string());
    std::string moved = std::exchange(gUnreportedMove, std::string());
    lock.unlock();
    if (!moved.empty())
        report::Information(moved);
    if (!text.empty())
        report::Error(text);
}

std::string Reason() { return std::strerror(errno); }

// A file that lost its name gets the take written anew, which then records on; false when the
// recording had to end instead. Called with the lock held, at a flush.
bool KeepTheTakeNamed()
{
    if (!recorder::LostItsName(RecordFile, gFilePath))
        return true;
    recorder::Rescue rescue = recorder::RescueTake(RecordFile, gFilePath, gLastGoodSize);
    if (rescue.fd < 0) {
        EndByItself(recorder::Ended::WriteFailed, rescue.message);
        return false;
    }
    ::close(RecordFile);
    RecordFile = rescue.fd;
    gFilePath = std::move(rescue.path);
    gUnreportedMove = std::move(rescue.message);
    return true;
}

// Appends the buffer and rewrites the header's sizes. Called with the lock held.
void Flush()
{
    if (!KeepTheTakeNamed())
        return;
    const int64_t after = gLastGoodSize + int64_t(RecordBuffer.size());
    if (after > gSizeLimit) {
        EndByItself(recorder::Ended::SizeLimit, recorder::SizeLimitText(gFilePath));
        return;
    }
    struct stat st {};
    if (!WriteAll(RecordBuffer.data(), RecordBuffer.size()) || ::lseek(RecordFile, 0, SEEK_SET) < 0 ||
        ::fstat(RecordFile, &st) != 0) {
        EndByItself(recorder::Ended::WriteFailed, recorder::WriteFailedText(gFilePath, std::strerror(errno)));
        return;
    }
    recorder::wav::SetSizes(WaveHeader, uint32_t(st.st_size));
    if (!WriteAll(WaveHeader.data(), kHeaderBytes) || ::lseek(RecordFile, st.st_size, SEEK_SET) < 0) {
        EndByItself(recorder::Ended::WriteFailed, recorder::WriteFailedText(gFilePath, std::strerror(errno)));
        return;
    }
    gLastGoodSize = st.st_size;
    RecordBuffer.clear();
}

} // namespace

void WriteWaveHeader()
{
    WaveHeader = recorder::wav::MakeHeader(Settings.SampleRate);
    if (!WriteAll(WaveHeader.data(), kHeaderBytes))
        throw report::FrameworkError(recorder::CannotCreateText(Settings.RecordFileName, Reason()));
}

void StartRecordFile()
{
    std::lock_guard lock(gLock);
    const std::string& name = Settings.RecordFileName;
    // Emptied only once held: another program's open recording is never cut.
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        throw report::FrameworkError(recorder::CannotCreateText(name, Reason()));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, 0) != 0) {
        // Held by another program: its own recording, most likely.
        const std::string why = errno == EWOULDBLOCK ? "another program has it open" : Reason();
        ::close(fd);
        throw report::FrameworkError(recorder::CannotCreateText(name, why));
    }
    RecordFile = fd;
    gFilePath = name;
    RecordBuffer.clear();
    // A second and two blocks fit, so the capture thread never grows it.
    RecordBuffer.reserve(size_t(Settings.SampleRate) * 2 + size_t(Settings.memBlockLength) * 2);
    try {
        WriteWaveHeader();
    } catch (...) {
        ::close(RecordFile);
        RecordFile = -1;
        throw;
    }
    gLastGoodSize = int64_t(kHeaderBytes);
    RecordTimeValue = 0.0;
    recorder::EndedByItself = recorder::Ended::No;

    const size_t queueBytes = (size_t(Settings.SampleRate) * 2 + size_t(Settings.memBlockLength)) * kQueueSeconds;
    if (!gQueue) {
        gQueue = std::make_unique<thread::ByteRing>(queueBytes);
        gQueueForCapture.store(gQueue.get(), std::memory_order_release);
    }
    // Blocks of an earlier recording that were still on their way belong to it.
    while (gQueue->pop(gBlock)) {
    }
    gQueueLostBytes = 0;
    gBlock.reserve(size_t(Settings.memBlockLength) + 64);
    if (!gWriter.joinable()) {
        gWriterStop = false;
        gWriter = std::thread(WriterLoop);
    }
}

namespace {

// Takes one block into the buffer, appending it to the file once a second has gathered.
// Called with the lock held.
void AppendLocked(const uint8_t* bytes, size_t n, bool final)
{
    const uint64_t secondBytes = uint64_t(Settings.SampleRate) * 2;
    const uint64_t waiting = RecordBuffer.size();
    RecordBuffer.insert(RecordBuffer.end(), bytes, bytes + n);
    // Every block recorded counts, the one that brings the append too: the time shown is the
    // length of the take.
    if (n > 0) {
        RecordTimeValue += double(n) / double(secondBytes);
        thread::LabelText text;
        std::snprintf(text.chars.data(), text.chars.size(), "Record Time: %.2f Seconds.", RecordTimeValue);
        RecordTimeText.publish(text);
    }
    if (waiting >= secondBytes || final)
        Flush();
}

// Appends every queued block. Called with the lock held.
void DrainLocked()
{
    if (!gQueue)
        return;
    while (gQueue->pop(gBlock)) {
        if (RecordFile < 0 || recorder::EndedByItself.load() != recorder::Ended::No)
            continue;
        AppendLocked(gBlock.data(), gBlock.size(), false);
    }
    if (gQueueLostBytes.exchange(0) > 0 && RecordFile >= 0 && recorder::EndedByItself.load() == recorder::Ended::No)
        EndByItself(recorder::Ended::WriteFailed,
                    recorder::WriteFailedText(gFilePath, "the disk did not keep up with the sound"));
}

// The writer thread: appends what the capture side queued, woken by every block.
void WriterLoop()
{
    while (!gWriterStop.load(std::memory_order_acquire)) {
        gQueued.wait();
        std::unique_lock lock(gLock);
        DrainLocked();
        ReportUnlocked(lock);
    }
}

} // namespace

void RecordBlock(const void* buffer, int32_t count, bool final)
{
    if (!final) {
        // The capture side only queues: the file is written on the writer thread.
        thread::ByteRing* queue = gQueueForCapture.load(std::memory_order_acquire);
        if (!Settings.Recording.load() || !queue || count <= 0 || !buffer)
            return;
        if (!queue->push(buffer, uint32_t(count)))
            gQueueLostBytes.fetch_add(uint64_t(count), std::memory_order_relaxed);
        gQueued.ring();
        return;
    }
    std::unique_lock lock(gLock);
    DrainLocked();
    // A recording that failed to start, or already ended, has no file to touch.
    if (RecordFile >= 0 && recorder::EndedByItself.load() == recorder::Ended::No)
        AppendLocked(nullptr, 0, true);
    ReportUnlocked(lock);
}

void CloseRecordFile()
{
    if (gWriter.joinable()) {
        gWriterStop = true;
        gQueued.ring();
        gWriter.join();
    }
    std::lock_guard lock(gLock);
    if (RecordFile >= 0)
        ::close(RecordFile);
    RecordFile = -1;
    RecordBuffer.clear();
    RecordBuffer.shrink_to_fit();
}

namespace recorder {

HoldWriterForTests::HoldWriterForTests() { gLock.lock(); }
HoldWriterForTests::~HoldWriterForTests() { gLock.unlock(); }

void WriteQueued()
{
    std::unique_lock lock(gLock);
    DrainLocked();
    ReportUnlocked(lock);
}

std::string WriteFailedText(const std::string& file, const std::string& reason)
{
    return "Recording stopped: could not write to " + file + " (" + reason +
           "). The file keeps everything recorded up to the last second written.";
}

std::string CannotCreateText(const std::string& file, const std::string& reason)
{
    return "Cannot create file " + file + ": " + reason;
}

std::string SizeLimitText(const std::string& file)
{
    return "Recording stopped: " + file +
           " reached the largest size a WAV file can have. The file is complete up to this point.";
}

double RecordTime()
{
    std::lock_guard lock(gLock);
    return RecordTimeValue;
}

bool FileOpen()
{
    std::lock_guard lock(gLock);
    return RecordFile >= 0;
}

std::string FilePath()
{
    std::lock_guard lock(gLock);
    return gFilePath;
}

void SetSizeLimitForTests(int64_t bytes)
{
    std::lock_guard lock(gLock);
    gSizeLimit = bytes > 0 ? bytes : kMaxFileBytes;
}

} // namespace recorder
