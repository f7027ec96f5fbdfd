// Choosing the wave service: what the user is told when the chosen server does not answer.

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
    // Nor a JACK server: its sockets are named after the server.
    ::setenv("JACK_DEFAULT_SERVER", "vobblix-test-no-such-server", 1);
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
    EXPECT_NE(err.find("and no JACK server is running; playing through SDL"), std::string::npos) << err;
    EXPECT_EQ(std::string(chosen->name()).rfind("SDL", 0), 0u);
    chosen.reset();

    sink.clear();
    chosen = wave::OpenBackend(Backend::Jack, true);
    EXPECT_EQ(sink.texts(), std::vector<std::string>{"Could not connect to the JACK server (no JACK server is running). "
                                                     "Vobblix plays through SDL instead."});
    EXPECT_EQ(std::string(chosen->name()).rfind("SDL", 0), 0u);
    ::unsetenv("JACK_DEFAULT_SERVER");

    if (runtime)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    std::filesystem::remove_all(empty);
}

} // namespace
