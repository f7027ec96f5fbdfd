// The program's options: the command line over the environment, and nonsense named.

#include "ui/CommandLine.h"

#include <gtest/gtest.h>

namespace {

using wave::Backend;

TEST(CommandLine, TheOptionWinsOverTheEnvironmentAndNonsenseIsNamed)
{
    const char* none[] = {"vobblix"};
    EXPECT_EQ(ParseCommandLine(1, none, nullptr).backend, Backend::Automatic);
    EXPECT_EQ(ParseCommandLine(1, none, "sdl").backend, Backend::Sdl);
    EXPECT_EQ(ParseCommandLine(1, none, "pulse").backend, Backend::Pulse);
    EXPECT_EQ(ParseCommandLine(1, none, "").backend, Backend::Automatic);
    const char* pw[] = {"vobblix", "--audio=pipewire"};
    EXPECT_EQ(ParseCommandLine(2, pw, "sdl").backend, Backend::PipeWire);
    // A good option mends a bad environment; a bad option is refused whatever the environment.
    const auto mended = ParseCommandLine(2, pw, "jackd");
    EXPECT_EQ(mended.backend, Backend::PipeWire);
    EXPECT_TRUE(mended.error.empty());
    EXPECT_EQ(ParseCommandLine(1, none, "jackd").error, "VOBBLIX_AUDIO must be pipewire, jack, pulse, sdl or auto, not 'jackd'");
    const char* bad[] = {"vobblix", "--audio=oss"};
    EXPECT_EQ(ParseCommandLine(2, bad, "sdl").error, "--audio must be pipewire, jack, pulse, sdl or auto, not 'oss'");
    const char* unknown[] = {"vobblix", "--fast"};
    EXPECT_EQ(ParseCommandLine(2, unknown, nullptr).error, "unknown option '--fast'");
    const char* help[] = {"vobblix", "--help"};
    EXPECT_TRUE(ParseCommandLine(2, help, nullptr).help);
    EXPECT_NE(Usage().find("--audio=pipewire|jack|pulse|sdl|auto"), std::string::npos);
    const char* jack[] = {"vobblix", "--audio=jack", "--no-connect"};
    const auto patched = ParseCommandLine(3, jack, nullptr);
    EXPECT_EQ(patched.backend, Backend::Jack);
    EXPECT_TRUE(patched.noConnect);
    EXPECT_TRUE(patched.error.empty());
}

} // namespace
