// The recorder against its worked schedule, byte for byte and through libsndfile as an
// independent reader; and the failures that must leave a valid file behind.

#include "recorder/SaveToFile.h"

#include "config/Settings.h"
#include "platform/report/RecordingSink.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// What libsndfile makes of the file: its samples, or a failure.
std::vector<int16_t> ReadWithSndfile(const fs::path& p, int* rate = nullptr)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(p.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    if (!f)
        return {};
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    if (rate)
        *rate = info.samplerate;
    std::vector<int16_t> samples(size_t(info.frames));
    EXPECT_EQ(sf_read_short(f, samples.data(), sf_count_t(samples.size())), sf_count_t(samples.size()));
    sf_close(f);
    return samples;
}

std::string TakeLabel()
{
    thread::LabelText text;
    std::string last = "(none)";
    while (RecordTimeText.take(text))
        last = text.c_str();
    return last;
}

class Recorder : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "vobblix-rec-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
        Settings.SampleRate = 44100;
        Settings.memBlockLength = 1000;
        Settings.RecordFileName = (dir / "take.wav").string();
        TakeLabel();
    }
    void TearDown() override
    {
        Settings.Recording = false;
        CloseRecordFile();
        recorder::SetSizeLimitForTests(0);
        recorder::EndedByItself = recorder::Ended::No;
        fs::remove_all(dir);
    }
    void Start()
    {
        StartRecordFile();
        Settings.Recording = true;
    }
    void Stop()
    {
        Settings.Recording = false;
        RecordBlock(nullptr, 0, true);
        CloseRecordFile();
    }
    // Block k holds the sample values k*1000 + i, so order and content show in the file.
    static std::vector<int16_t> Block(int k)
    {
        std::vector<int16_t> b(500);
        for (int i = 0; i < 500; ++i)
            b[size_t(i)] = int16_t(k * 7 + i);
        return b;
    }
    // Every sample the blocks from..to hold, in order.
    static std::vector<int16_t> Samples(int from, int to)
    {
        std::vector<int16_t> all;
        for (int k = from; k < to; ++k) {
            const auto b = Block(k);
            all.insert(all.end(), b.begin(), b.end());
        }
        return all;
    }
    void Feed(int from, int to)
    {
        for (int k = from; k < to; ++k) {
            const auto b = Block(k);
            RecordBlock(b.data(), 1000, false);
            // Faster than real time: the queue is written block by block, as the writer
            // thread keeps up with real-time blocks.
            recorder::WriteQueued();
        }
    }

    fs::path dir;
    report::RecordingSink sink;
};

TEST_F(Recorder, TheWorkedScheduleAtFortyFourKilohertz)
{
    Start();
    auto bytes = ReadFile(Settings.RecordFileName);
    const std::vector<uint8_t> header{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                      16, 0, 0, 0, 1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0x88, 0x58, 0x01, 0,
                                      2, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    EXPECT_EQ(bytes, header);

    Feed(0, 89);
    EXPECT_EQ(TakeLabel(), "Record Time: 1.01 Seconds.");
    EXPECT_EQ(ReadFile(Settings.RecordFileName).size(), 44u);

    Feed(89, 90);
    bytes = ReadFile(Settings.RecordFileName);
    EXPECT_EQ(bytes.size(), 90044u);
    EXPECT_EQ(Le32(bytes, 4), 90036u);
    EXPECT_EQ(Le32(bytes, 40), 90000u);
    // The block that brings the append counts like any other.
    EXPECT_EQ(TakeLabel(), "Record Time: 1.02 Seconds.");

    Feed(90, 180);
    EXPECT_EQ(TakeLabel(), "Record Time: 2.04 Seconds.");
    EXPECT_NEAR(recorder::RecordTime(), 180 * 1000.0 / 88200.0, 1e-9);
    Stop();
    bytes = ReadFile(Settings.RecordFileName);
    EXPECT_EQ(bytes.size(), 180044u);
    EXPECT_EQ(Le32(bytes, 40), 180000u);

    int rate = 0;
    const auto samples = ReadWithSndfile(Settings.RecordFileName, &rate);
    EXPECT_EQ(rate, 44100);
    std::vector<int16_t> expected;
    for (int k = 0; k < 180; ++k) {
        const auto b = Block(k);
        expected.insert(expected.end(), b.begin(), b.end());
    }
    EXPECT_EQ(samples, expected);
}


// A minute of sound, block by block as the capture side hands it over: the time shown is the
// take's length within one block, and equals what the file holds, at every rate.
TEST_F(Recorder, TheTimeShownIsTheLengthOfTheTake)
{
    const std::pair<uint32_t, uint32_t> formats[] = {{44100, 1000}, {22050, 4096}, {11025, 222}};
    for (const auto& [rate, blockBytes] : formats) {
        SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(blockBytes) + "-byte blocks");
        Settings.SampleRate = rate;
        Settings.memBlockLength = blockBytes;
        Start();
        const double second = rate * 2.0;
        const std::vector<uint8_t> block(blockBytes, 0x11);
        for (uint64_t fed = 0; fed < uint64_t(60 * second); fed += blockBytes) {
            RecordBlock(block.data(), int32_t(blockBytes), false);
            recorder::WriteQueued();
        }
        const std::string label = TakeLabel();
        EXPECT_NEAR(recorder::RecordTime(), 60.0, blockBytes / second);
        char shown[64];
        std::snprintf(shown, sizeof shown, "Record Time: %.2f Seconds.", recorder::RecordTime());
        EXPECT_EQ(label, shown);
        Stop();
        const auto bytes = ReadFile(Settings.RecordFileName);
        ASSERT_GE(bytes.size(), 44u);
        EXPECT_NEAR(recorder::RecordTime(), Le32(bytes, 40) / second, 1e-9);
        EXPECT_EQ(Le32(bytes, 40), bytes.size() - 44);
    }
}
TEST_F(Recorder, StopBeforeAnyBlockLeavesAnEmptyValidFileAndBlocksWhileIdleAreIgnored)
{
    Feed(0, 5);
    EXPECT_FALSE(fs::exists(Settings.RecordFileName));
    Start();
    Stop();
    const auto bytes = ReadFile(Settings.RecordFileName);
    EXPECT_EQ(bytes.size(), 44u);
    EXPECT_EQ(Le32(bytes, 4), 36u);
    EXPECT_EQ(Le32(bytes, 40), 0u);
    EXPECT_TRUE(ReadWithSndfile(Settings.RecordFileName).empty());
    Feed(0, 5);
    EXPECT_EQ(ReadFile(Settings.RecordFileName).size(), 44u);

    // Half a second: the final flush writes it all at once, at another rate too.
    Settings.SampleRate = 11025;
    Start();
    Feed(0, 11);
    Stop();
    int rate = 0;
    EXPECT_EQ(ReadWithSndfile(Settings.RecordFileName, &rate).size(), 5500u);
    EXPECT_EQ(rate, 11025);
}

TEST_F(Recorder, AFileThatCannotBeCreatedOrIsHeldElsewhereIsNotTouched)
{
    Settings.RecordFileName = (dir / "missing-folder/take.wav").string();
    try {
        StartRecordFile();
        ADD_FAILURE() << "no error";
    } catch (const report::FrameworkError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file " + Settings.RecordFileName + ": No such file or directory");
    }
    EXPECT_FALSE(recorder::FileOpen());
    // Even a final call finds nothing to write to.
    RecordBlock(nullptr, 0, true);

    // A file another recording holds is neither emptied nor shared.
    Settings.RecordFileName = (dir / "held.wav").string();
    std::ofstream(Settings.RecordFileName) << "someone else's take";
    const int other = ::open(Settings.RecordFileName.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    try {
        StartRecordFile();
        ADD_FAILURE() << "no error";
    } catch (const report::FrameworkError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file " + Settings.RecordFileName + ": another program has it open");
    }
    EXPECT_EQ(fs::file_size(Settings.RecordFileName), 19u);
    ::close(other);

    Start();
    const int again = ::open(Settings.RecordFileName.c_str(), O_RDONLY);
    EXPECT_NE(::flock(again, LOCK_EX | LOCK_NB), 0);
    ::close(again);
    Stop();
}

TEST_F(Recorder, AFullDiskStopsTheRecordingAndKeepsTheLastCompleteSecond)
{
    Start();
    Feed(0, 90); // one flush: 90,044 bytes
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = 150000;
    setrlimit(RLIMIT_FSIZE, &limit);
    Feed(90, 200);
    setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_FALSE(Settings.Recording);
    EXPECT_EQ(recorder::EndedByItself, recorder::Ended::WriteFailed);
    // The stop that follows writes nothing more; the report is looked at once stopped, as
    // the writer thread may be the one that says it.
    Stop();
    ASSERT_EQ(sink.shown().size(), 1u);
    EXPECT_EQ(sink.shown()[0].kind, report::Kind::Error);
    EXPECT_NE(sink.shown()[0].text.find("Recording stopped: could not write to " + Settings.RecordFileName),
              std::string::npos);
    EXPECT_EQ(fs::file_size(Settings.RecordFileName), 90044u);
    EXPECT_EQ(ReadWithSndfile(Settings.RecordFileName).size(), 45000u);
}

TEST_F(Recorder, ARecordingStopsCleanlyBeforeTheSizeLimit)
{
    recorder::SetSizeLimitForTests(44 + 90000 * 2 + 50000);
    Start();
    Feed(0, 400);
    EXPECT_FALSE(Settings.Recording);
    EXPECT_EQ(recorder::EndedByItself, recorder::Ended::SizeLimit);
    Stop();
    // Said once; looked at once stopped, as the writer thread may be the one that says it.
    EXPECT_EQ(sink.texts(), std::vector<std::string>{recorder::SizeLimitText(Settings.RecordFileName)});
    EXPECT_EQ(fs::file_size(Settings.RecordFileName), 44u + 180000u);
    EXPECT_EQ(ReadWithSndfile(Settings.RecordFileName).size(), 90000u);
}

} // namespace

namespace {

TEST_F(Recorder, BlocksStillQueuedAtTheStopAreWrittenAndAQueueTheDiskCannotDrainEndsTheRecording)
{
    // The capture side only queues; the stop writes what was queued before it.
    Start();
    for (int k = 0; k < 30; ++k) {
        const auto b = Block(k);
        RecordBlock(b.data(), 1000, false);
    }
    Stop();
    EXPECT_EQ(ReadWithSndfile(Settings.RecordFileName).size(), 15000u);

    // A disk that holds the writer back for longer than the queue lasts: what could not be
    // queued is not silently skipped, the recording stops and says so.
    Settings.RecordFileName = (dir / "slow.wav").string();
    Start();
    {
        const auto b = Block(0);
        recorder::HoldWriterForTests hold;
        // More than the queue's four seconds.
        for (int k = 0; k < 600; ++k)
            RecordBlock(b.data(), 1000, false);
    }
    recorder::WriteQueued();
    EXPECT_FALSE(Settings.Recording);
    EXPECT_EQ(recorder::EndedByItself, recorder::Ended::WriteFailed);
    Stop();
    // Said once; looked at once stopped, as the writer thread may be the one that says it.
    EXPECT_EQ(sink.texts(), std::vector<std::string>{recorder::WriteFailedText(
                                Settings.RecordFileName, "the disk did not keep up with the sound")});
    // Every flush (90 blocks) appended before the stop is in the file, whole.
    const auto samples = ReadWithSndfile(Settings.RecordFileName);
    EXPECT_GT(samples.size(), 0u);
    EXPECT_EQ(samples.size() % 45000, 0u);
}

// A take whose file loses its name mid-recording is written whole to a new file at its next
// flush, from what the recorder already has, and goes on there: the folder deleted, the file
// deleted, the file moved away, the name taken by another file meanwhile, the folder replaced
// by a file of its name.
TEST_F(Recorder, ATakeWhoseFileLostItsNameIsWrittenWholeToANewFileAndGoesOn)
{
    const std::vector<int16_t> firstSecond = Samples(0, 90);
    struct Case {
        const char* what;
        std::function<void(const fs::path& take)> lose;
        std::string where; // relative to dir
        std::function<void(const fs::path& take)> untouched;
    };
    const auto none = [](const fs::path&) {};
    const Case cases[] = {
        {"folder deleted", [](const fs::path& take) { fs::remove_all(take.parent_path()); }, "takes/today/take.wav",
         none},
        {"file deleted", [](const fs::path& take) { fs::remove(take); }, "takes/today/take.wav", none},
        {"file moved", [](const fs::path& take) { fs::rename(take, take.parent_path() / "moved.wav"); },
         "takes/today/take.wav",
         // What was moved away keeps what it had when it was moved.
         [&](const fs::path& take) { EXPECT_EQ(ReadWithSndfile(take.parent_path() / "moved.wav"), firstSecond); }},
        {"name taken",
         [](const fs::path& take) {
             fs::remove(take);
             std::ofstream(take) << "another program's file";
         },
         "takes/today/take-2.wav",
         [](const fs::path& take) { EXPECT_EQ(fs::file_size(take), 22u); }},
        {"folder replaced by a file",
         [](const fs::path& take) {
             fs::remove_all(take.parent_path());
             std::ofstream(take.parent_path()) << "x";
         },
         "takes/take.wav", none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir / "takes");
        fs::create_directories(dir / "takes/today");
        const fs::path take = dir / "takes/today/take.wav";
        Settings.RecordFileName = take.string();
        sink.clear();
        Start();
        Feed(0, 100); // one flush, of 90 blocks; 10 wait
        c.lose(take);
        Feed(100, 185); // the next flush, of blocks 90 to 179, finds the name gone
        const fs::path now = dir / c.where;
        EXPECT_EQ(recorder::FilePath(), now.string());
        EXPECT_TRUE(Settings.Recording);
        // The new file is at once a complete WAV of the whole take so far.
        EXPECT_EQ(ReadWithSndfile(now), Samples(0, 180));
        Feed(185, 300);
        Stop();
        EXPECT_EQ(ReadWithSndfile(now), Samples(0, 300));
        c.untouched(take);
        // Said once, where the take went (the writer thread is done once stopped).
        ASSERT_EQ(sink.shown().size(), 1u);
        EXPECT_EQ(sink.shown()[0].kind, report::Kind::Information);
        const std::string said = sink.shown()[0].text;
        EXPECT_TRUE(said.starts_with("The file " + take.string() + " was removed or moved while recording")) << said;
        EXPECT_NE(said.find("wrote the whole take so far to " + now.string()), std::string::npos) << said;
    }
}

// Where neither the take's folder nor any folder above it takes a file (here the path leads,
// through a link, into /proc), the take goes to the home folder, and the message says why.
TEST_F(Recorder, ATakeWithNowhereNearToGoIsWrittenAnewInTheHomeFolder)
{
    const fs::path real = dir / "real";
    fs::create_directories(real / "inner");
    fs::create_directory_symlink(real, dir / "top");
    const fs::path home = dir / "home";
    fs::create_directories(home);
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", home.c_str(), 1);
    Settings.RecordFileName = (dir / "top/inner/take.wav").string();
    Start();
    Feed(0, 100);
    fs::remove_all(real / "inner");
    fs::remove(dir / "top");
    fs::create_directory_symlink("/proc", dir / "top");
    Feed(100, 200);
    Stop();
    ::setenv("HOME", oldHome.c_str(), 1);
    EXPECT_EQ(ReadWithSndfile(home / "take.wav"), Samples(0, 200));
    ASSERT_EQ(sink.shown().size(), 1u);
    const std::string said = sink.shown()[0].text;
    EXPECT_NE(said.find(", and it could not be written again in its own folder ("), std::string::npos) << said;
    EXPECT_NE(said.find("wrote the whole take so far to " + (home / "take.wav").string() + " and records on."),
              std::string::npos)
        << said;
}

// The stop's own flush notices too: a take whose folder went just before "Stop record" is
// not lost.
TEST_F(Recorder, TheFinalFlushWritesTheTakeAnewWhenItsFolderIsGone)
{
    fs::create_directories(dir / "gone");
    Settings.RecordFileName = (dir / "gone/take.wav").string();
    Start();
    Feed(0, 50);
    fs::remove_all(dir / "gone");
    Stop();
    EXPECT_EQ(ReadWithSndfile(dir / "gone/take.wav"), Samples(0, 50));
    EXPECT_EQ(sink.shown().size(), 1u);
}

} // namespace
