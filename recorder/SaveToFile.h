#pragma once
// The WAV recorder: the processed blocks gathered in memory and appended to the file once a
// second of sound has gathered, the header's sizes rewritten after every append, so that the
// file on disk is always a complete WAV file of everything appended so far.

#include "platform/thread/LatestValue.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

// Creates RecordFile from RecordFileName (held exclusively), an empty RecordBuffer, writes
// the header and sets RecordTime to 0. Throws report::FrameworkError "Cannot create file %s"
// with the system's reason.
// UI thread only.
void StartRecordFile();
// Fills the 44-byte header from SampleRate with both sizes 0 and writes it where the file
// stands. UI thread only, inside StartRecordFile.
void WriteWaveHeader();
// Takes one processed block (final false): while recording, queues it for the writer thread
// without waiting, locking or allocating. The stop's last call (null, 0, final true) writes
// every queued block and the rest of the buffer. A flush that finds the file has lost its
// name (deleted or moved, or its folder) first writes the whole take so far to a new file,
// from the old one, at the same path or as near it as it can, says where, and records on.
// Called on the capture callback thread, and on the UI thread for the final call.
void RecordBlock(const void* buffer, int32_t count, bool final);
// Stops the writer thread, closes the file and releases the buffer. UI thread only.
void CloseRecordFile();

// The record-time label's latest text, for the UI thread to pick up.
extern thread::LatestValue<thread::LabelText> RecordTimeText;

namespace recorder {

// Why a recording ended by itself; the UI picks it up and returns to idle.
enum class Ended { No, WriteFailed, SizeLimit };

// Set on the capture callback thread when a recording ended by itself. UI thread reads and
// clears it.
extern std::atomic<Ended> EndedByItself;

// The largest file a recording may grow to: the header's sizes are 32-bit and the file's
// positions are signed 32-bit offsets.
inline constexpr int64_t kMaxFileBytes = 2147483647;

// The texts the user sees when a recording cannot start or ends by itself.
std::string CannotCreateText(const std::string& file, const std::string& reason);
std::string WriteFailedText(const std::string& file, const std::string& reason);
std::string SizeLimitText(const std::string& file);

// Writes the blocks queued so far on the calling thread, as the writer thread would.
// UI thread or tests.
void WriteQueued();

// Keeps the writer thread (and every other drain) out while it lives, as a disk that does
// not answer would. Tests only.
class HoldWriterForTests {
public:
    HoldWriterForTests();
    ~HoldWriterForTests();
    HoldWriterForTests(const HoldWriterForTests&) = delete;
    HoldWriterForTests& operator=(const HoldWriterForTests&) = delete;
};

// State for tests.
double RecordTime();
bool FileOpen();
// Where the take is being written: RecordFileName, or where it was written anew.
// Any thread but the capture callback's.
std::string FilePath();
// A smaller size limit, for tests. 0 restores the real one.
void SetSizeLimitForTests(int64_t bytes);

} // namespace recorder
