// Choosing the wave service: the first server that answers, in the order PipeWire, JACK,
// PulseAudio, SDL; and what the user is told when the chosen one does not answer.

#include "platform/report/RecordingSink.h"
#include "platform/wave/Backend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

using wave::Backend;

TEST(OpenBackend, AServerThatDoesNotAnswerFallsBackToSdlLoudlyOnlyWhenItWasAskedFor)
{
    // A runtime folder with no server in it, and no server named elsewhere.
    const auto empty = std::filesystem::temp_directory_path() / ("vobblix-noserver-" + std::to_string(::getpid()));
    std::filesystem::create_directories(empty);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = runtime ? runtime : "";
    ::setenv("XDG_RUNTIME_DIR", empty.c_str(), 1);
    ::unsetenv("PIPEWIRE_REMOTE");
    // Nor a JACK server: its sockets are named after the server. Nor PulseAudio.
    ::setenv("JACK_DEFAULT_SERVER", "vobblix-test-no-such-server", 1);
    const char* pulse = std::getenv("PULSE_SERVER");
    const std::string savedPulse = pulse ? pulse : "";
    ::setenv("PULSE_SERVER", ("unix:" + (empty / "native").string()).c_str(), 1);
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    report::RecordingSink sink;

    auto chosen = wave::OpenBackend(Backend::PipeWire, true);
    ASSERT_EQ(sink.texts().size(), 1u);
    EXPECT_EQ(sink.texts()[0].rfind("Could not connect to the PipeWire sound server (", 0), 0u) << sink.texts()[0];
    EXPECT_NE(sink.texts()[0].find("Vobblix plays through SDL instead."), std::string::npos);
    EXPECT_EQ(std::string(chosen->name()).rfind("SDL", 0), 0u);
    chosen.reset();

    sink.clear();
    testing::internal::CaptureStderr();
    chosen = wave::OpenBackend(Backend::Automatic, true);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(sink.texts().empty());
    EXPECT_NE(err.find("vobblix: warning: no PipeWire server answered"), std::string::npos) << err;
    EXPECT_NE(err.find("and no JACK server is running and no PulseAudio server answered ("), std::string::npos) << err;
    EXPECT_NE(err.find("); playing through SDL"), std::string::npos) << err;
    EXPECT_EQ(std::string(chosen->name()).rfind("SDL", 0), 0u);
    chosen.reset();

    sink.clear();
    chosen = wave::OpenBackend(Backend::Jack, true);
    EXPECT_EQ(sink.texts(), std::vector<std::string>{"Could not connect to the JACK server (no JACK server is running). "
                                                     "Vobblix plays through SDL instead."});
    EXPECT_EQ(std::string(chosen->name()).rfind("SDL", 0), 0u);
    chosen.reset();

    sink.clear();
    chosen = wave::OpenBackend(Backend::Pulse, true);
    ASSERT_EQ(sink.texts().size(), 1u);
    EXPECT_EQ(sink.texts()[0], "Could not connect to the PulseAudio sound server (Connection refused). Vobblix plays "
                               "through SDL instead.");
    EXPECT_EQ(std::string(chosen->name()).rfind("SDL", 0), 0u);
    ::unsetenv("JACK_DEFAULT_SERVER");
    if (pulse)
        ::setenv("PULSE_SERVER", savedPulse.c_str(), 1);
    else
        ::unsetenv("PULSE_SERVER");

    if (runtime)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    std::filesystem::remove_all(empty);
}

// Each server the test command started stands in turn: PulseAudio alone, then JACK beside it,
// then PipeWire beside both.
TEST(OpenBackend, TheAutomaticChoiceTakesPipeWireThenJackThenPulseAudio)
{
    if (!std::getenv("VOBBLIX_PULSE_SESSION") || !std::getenv("VOBBLIX_JACK_SESSION") ||
        !std::getenv("VOBBLIX_PIPEWIRE_SESSION"))
        GTEST_SKIP() << "needs the private servers of scripts/with-pipewire.sh, with-jack.sh and with-pulse.sh";
    const auto empty = std::filesystem::temp_directory_path() / ("vobblix-onlypulse-" + std::to_string(::getpid()));
    std::filesystem::create_directories(empty);
    const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string jack = std::getenv("JACK_DEFAULT_SERVER");
    report::RecordingSink sink;
    const auto chosen = [] { return std::string(wave::OpenBackend(Backend::Automatic, false)->name()); };

    ::setenv("XDG_RUNTIME_DIR", empty.c_str(), 1);
    ::setenv("JACK_DEFAULT_SERVER", "vobblix-test-no-such-server", 1);
    EXPECT_EQ(chosen(), "PulseAudio");
    ::setenv("JACK_DEFAULT_SERVER", jack.c_str(), 1);
    EXPECT_EQ(chosen(), "JACK");
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    EXPECT_EQ(chosen(), "PipeWire");
    EXPECT_TRUE(sink.texts().empty());
    std::filesystem::remove_all(empty);
}

} // namespace
