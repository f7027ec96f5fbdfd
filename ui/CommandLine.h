#pragma once
// The program's options: which sound server to play through (--audio= or the environment's
// VOBBLIX_AUDIO), whether JACK's ports are left for the user to patch, and --help.

#include "platform/wave/Backend.h"

#include <string>

struct CommandLine {
    wave::Backend backend = wave::Backend::Automatic;
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
