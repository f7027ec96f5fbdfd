#pragma once
// Which sound server the program plays through: PipeWire when a PipeWire server answers,
// else JACK when a JACK server runs, else PulseAudio when its server answers, else SDL; or
// the one the user chose. Every backend is
// the one wave engine over that server's duplex device.

#include "platform/wave/Engine.h"

#include <memory>
#include <string>

namespace wave {

enum class Backend { Automatic, PipeWire, Jack, Pulse, Sdl };

// Each gives null when its server does not answer, and then says why in `why`.
// UI thread only.
std::unique_ptr<WaveEngine> OpenPipeWire(std::string* why = nullptr);
// `connectPorts` false leaves the JACK ports for the user to patch.
std::unique_ptr<WaveEngine> OpenJack(bool connectPorts, std::string* why = nullptr);
std::unique_ptr<WaveEngine> OpenPulse(std::string* why = nullptr);
std::unique_ptr<WaveEngine> OpenSdl();

// Opens the chosen service. A chosen PipeWire, JACK or PulseAudio without a server is an error box, an
// automatic choice that falls back a warning line; either way SDL then plays. UI thread only.
std::unique_ptr<WaveEngine> OpenBackend(Backend backend, bool connectPorts);

} // namespace wave
