#pragma once
// Which wave service the program plays through: PipeWire when a PipeWire server answers,
// else JACK when a JACK server runs, else SDL; the command line's --audio= or the
// environment's VOBBLIX_AUDIO decides instead.

#include "platform/wave/Wave.h"

#include <memory>
#include <optional>
#include <string>

namespace wave {

enum class Backend { Automatic, PipeWire, Jack, Sdl };

struct CommandLine {
    Backend backend = Backend::Automatic;
    bool help = false;
    // JACK only: leave the ports unconnected, for the user to patch.
    bool noConnect = false;
    // Set when the arguments could not be understood: what to tell the user.
    std::string error;
};

// Reads the options (argv[0] is the program); `environment` is VOBBLIX_AUDIO's value or null.
// The command line wins over the environment.
CommandLine ParseCommandLine(int argc, const char* const* argv, const char* environment);
// What --help prints.
std::string Usage();

// Opens the chosen service. A chosen PipeWire or JACK without a server is an error box, an
// automatic choice that falls back a warning line; either way SDL then plays. UI thread only.
std::unique_ptr<WaveService> OpenBackend(const CommandLine& line);

} // namespace wave
