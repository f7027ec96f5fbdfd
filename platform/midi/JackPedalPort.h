#pragma once
// The MIDI pedal's input on a JACK server: a MIDI input port `<client>:pedal` of the sound
// backend's client, read in that client's process callback before the cycle's sound, so that
// the cycle already glides toward where the pedal is.

#include "platform/midi/MidiSink.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct _jack_client;
struct _jack_port;

namespace midi {

class JackPedalPort {
public:
    // Registers the port on the client, before the client is activated. UI thread only.
    void open(_jack_client* client);
    // Whether the server took the port. Any thread.
    bool registered() const { return port_ != nullptr; }

    // The server's MIDI outputs but the client's own, by their full port names. UI thread only.
    std::vector<Source> sources() const;
    // Where the port's messages go (null: nowhere). Unless told not to connect, connects the
    // port to `source`, or with "All" to every physical MIDI output. UI thread only.
    void setInput(MidiSink* sink, const std::string& source, bool connect);
    // Hands the cycle's messages on. Called on JACK's realtime thread, in the process callback.
    void Read(uint32_t frames);

private:
    _jack_client* client_ = nullptr;
    _jack_port* port_ = nullptr;
    std::atomic<MidiSink*> sink_{nullptr};
};

} // namespace midi
