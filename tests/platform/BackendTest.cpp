// Choosing the wave service: the command line over the environment, and what the user is
// told when the PipeWire server does not answer.

#include "platform/report/RecordingSink.h"
#include "platform/wave/Backend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

using wave::Backend;
using wave::ParseCommandLine;

TEST(CommandLine, TheOptionWinsOverTheEnvironmentAndNonsenseIsNamed)
{
    const char* none[] = {"vobblix"};
    EXPECT_EQ(ParseCommandLine(1, none, nullptr).backend, Backend::Automatic);
    EXPECT_EQ(ParseCommandLine(1, none, "sdl").backend, Backend::Sdl);
    EXPECT_EQ(ParseCommandLine(1, none, "").backend, Backend::Automatic);
    const char* pw[] = {"vobblix", "--audio=pipewire"};
    EXPECT_EQ(ParseCommandLine(2, pw, "sdl").backend, Backend::PipeWire);
    // A good option mends a bad environment; a bad option is refused whatever the environment.
    const auto mended = ParseCommandLine(2, pw, "jackd");
    EXPECT_EQ(mended.backend, Backend::PipeWire);
    EXPECT_TRUE(mended.error.empty());
    EXPECT_EQ(ParseCommandLine(1, none, "jackd").error, "VOBBLIX_AUDIO must be pipewire, jack, sdl or auto, not 'jackd'");
    const char* bad[] = {"vobblix", "--audio=oss"};
    EXPECT_EQ(ParseCommandLine(2, bad, "sdl").error, "--audio must be pipewire, jack, sdl or auto, not 'oss'");
    const char* unknown[] = {"vobblix", "--fast"};
    EXPECT_EQ(ParseCommandLine(2, unknown, nullptr).error, "unknown option '--fast'");
    const char* help[] = {"vobblix", "--help"};
    EXPECT_TRUE(ParseCommandLine(2, help, nullptr).help);
    EXPECT_NE(wave::Usage().find("--audio=pipewire|jack|sdl|auto"), std::string::npos);
    const char* jack[] = {"vobblix", "--audio=jack", "--no-connect"};
    const auto patched = ParseCommandLine(3, jack, nullptr);
    EXPECT_EQ(patched.backend, Backend::Jack);
    EXPECT_TRUE(patched.noConnect);
    EXPECT_TRUE(patched.error.empty());
}

wave::CommandLine Asking(Backend backend)
{
    wave::CommandLine line;
    line.backend = backend;
    return line;
}

TEST(OpenBackend, AServerThatDoesNotAnswerFallsBackToSdlLoudlyOnlyWhenItWasAskedFor)
{
    // A runtime folder with no server in it, and no server named elsewhere.
    const auto empty = std::filesystem::temp_directory_path() / ("vobblix-noserver-" + std::to_string(::getpid()));
    std::filesystem::create_directories(empty);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = runtime ? runtime : "";
    ::setenv("XDG_RUNTIME_DIR", empty.c_str(), 1);
    ::unsetenv("PIPEWIRE_REMOTE");
    // Nor a JACK server: its sockets are named after the server.
    ::setenv("JACK_DEFAULT_SERVER", "vobblix-test-no-such-server", 1);
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    report::RecordingSink sink;

    auto chosen = wave::OpenBackend(Asking(Backend::PipeWire));
    ASSERT_EQ(sink.texts().size(), 1u);
    EXPECT_EQ(sink.texts()[0].rfind("Could not connect to the PipeWire sound server (", 0), 0u) << sink.texts()[0];
    EXPECT_NE(sink.texts()[0].find("Vobblix plays through SDL instead."), std::string::npos);
    EXPECT_EQ(std::string(chosen->name()).rfind("SDL", 0), 0u);
    chosen.reset();

    sink.clear();
    testing::internal::CaptureStderr();
    chosen = wave::OpenBackend(Asking(Backend::Automatic));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(sink.texts().empty());
    EXPECT_NE(err.find("vobblix: warning: no PipeWire server answered"), std::string::npos) << err;
    EXPECT_NE(err.find("and no JACK server is running; playing through SDL"), std::string::npos) << err;
    EXPECT_EQ(std::string(chosen->name()).rfind("SDL", 0), 0u);
    chosen.reset();

    sink.clear();
    chosen = wave::OpenBackend(Asking(Backend::Jack));
    EXPECT_EQ(sink.texts(), std::vector<std::string>{"Could not connect to the JACK server (no JACK server is running). "
                                                     "Vobblix plays through SDL instead."});
    EXPECT_EQ(std::string(chosen->name()).rfind("SDL", 0), 0u);
    ::unsetenv("JACK_DEFAULT_SERVER");

    if (runtime)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    std::filesystem::remove_all(empty);
}

} // namespace
