#pragma once
// Where a native server's MIDI input port hands what it received: the backends call it from
// their realtime cycle, before the cycle's sound is filtered.

#include <cstdint>
#include <string>

namespace midi {

// The source that stands for every hardware MIDI output the server has.
inline constexpr const char* kAllSources = "All";

// A MIDI output a pedal port can listen to: the server's name for it, and what people see.
struct Source {
    std::string id;
    std::string description;
};

class MidiSink {
public:
    virtual ~MidiSink() = default;
    // One MIDI message as the port received it (status byte first), in arrival order.
    // Called on the audio thread.
    virtual void receive(const uint8_t* message, uint32_t size) = 0;
};

} // namespace midi
