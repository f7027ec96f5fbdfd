#include "ui/CommandLine.h"

#include <optional>
#include <string_view>

namespace {

constexpr std::string_view kAudioOption = "--audio=";

std::optional<wave::Backend> BackendNamed(std::string_view name)
{
    if (name == "pipewire")
        return wave::Backend::PipeWire;
    if (name == "jack")
        return wave::Backend::Jack;
    if (name == "pulse")
        return wave::Backend::Pulse;
    if (name == "sdl")
        return wave::Backend::Sdl;
    if (name == "auto")
        return wave::Backend::Automatic;
    return std::nullopt;
}

} // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv, const char* environment)
{
    CommandLine line;
    if (environment && *environment) {
        if (auto b = BackendNamed(environment))
            line.backend = *b;
        else
            line.error = "VOBBLIX_AUDIO must be pipewire, jack, pulse, sdl or auto, not '" + std::string(environment) + "'";
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else if (arg == "--no-connect") {
            line.noConnect = true;
        } else if (arg.substr(0, kAudioOption.size()) == kAudioOption) {
            if (auto b = BackendNamed(arg.substr(kAudioOption.size()))) {
                line.backend = *b;
                // A good option mends a bad environment.
                if (line.error.rfind("VOBBLIX_AUDIO", 0) == 0)
                    line.error.clear();
            } else {
                line.error = "--audio must be pipewire, jack, pulse, sdl or auto, not '" +
                             std::string(arg.substr(kAudioOption.size())) + "'";
            }
        } else {
            line.error = "unknown option '" + std::string(arg) + "'";
        }
    }
    return line;
}

std::string Usage()
{
    return "Usage: vobblix [--audio=pipewire|jack|pulse|sdl|auto] [--no-connect]\n"
           "A real-time guitar wah on the PC's sound card.\n"
           "\n"
           "  --audio=pipewire  play through the PipeWire sound server (the lowest latency)\n"
           "  --audio=jack      play as the JACK client \"vobblix\" (on jackd, or pw-jack)\n"
           "  --audio=pulse     play through the PulseAudio sound server\n"
           "  --audio=sdl       play through SDL (its driver: SDL_AUDIODRIVER, default\n"
           "                    pipewire, pulseaudio, alsa)\n"
           "  --audio=auto      PipeWire when its server answers, else JACK when a JACK\n"
           "                    server runs, else PulseAudio when its server answers,\n"
           "                    else SDL (the default)\n"
           "  --no-connect      JACK: leave the ports unconnected, to patch by hand\n"
           "  --help            show this text\n"
           "\n"
           "The environment variable VOBBLIX_AUDIO takes the same values; --audio wins.\n"
           "Settings: $XDG_CONFIG_HOME/Drenmarq/Vobblix 1.1.toml (~/.config by default).\n";
}
