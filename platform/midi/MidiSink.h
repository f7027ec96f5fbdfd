#pragma once
// A native server's MIDI input for the pedal: the port a sound device carries, and the sink it
// hands what it received to from its realtime cycle, before the cycle's sound is filtered.

#include <cstdint>
#include <string>
#include <vector>

namespace midi {

// The source that stands for every hardware MIDI output the server has.
inline constexpr const char* kAllSources = "All";
// How many sources a port keeps apart, each on its own way in; any more share the last one.
// A way in given to another source is numbered anew: its number plus a multiple of this.
inline constexpr uint32_t kSourcesApart = 16;
// The pedal's ports as people see them in a patchbay, one per way in.
inline constexpr const char* kPedalPort = "pedal";

// The first port is "pedal", the next ones "pedal 2", "pedal 3"...
inline std::string PedalPortName(uint32_t slot)
{
    return slot == 0 ? std::string(kPedalPort) : std::string(kPedalPort) + " " + std::to_string(slot + 1);
}

// A MIDI output a pedal port can listen to: the server's name for it, and what people see.
struct Source {
    std::string id;
    std::string description;
};

class MidiSink {
public:
    virtual ~MidiSink() = default;
    // One MIDI message as the port received it (status byte first), in arrival order, from
    // the source numbered `from`: messages of one number come from one source, and numbers
    // alike modulo kSourcesApart share a way in. Called on the audio thread.
    virtual void receive(uint32_t from, const uint8_t* message, uint32_t size) = 0;
};

// A server's MIDI input for the pedal, as a sound device carries it on its cycle: the pedal
// source holds it and says where its messages go and which source feeds them.
class PedalPort {
public:
    virtual ~PedalPort() = default;
    // The server's MIDI outputs, by the names people know. UI thread only.
    virtual std::vector<Source> sources() const = 0;
    // Where the messages go, and which source feeds them ("All": every hardware source).
    // UI thread only; a later call moves the links to the new source at once.
    virtual void setInput(MidiSink* sink, const std::string& source) = 0;
};

} // namespace midi
