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
    // port to `source`, or with "All" to every physical MIDI output, in place of what it
    // listened to before. UI thread only.
    void setInput(MidiSink* sink, const std::string& source, bool connect);
    // A port came or went on the server. Called on a JACK thread.
    void PortsChanged();
    // Connects a chosen source that appeared since the last look. UI thread only.
    void follow();
    // Hands the cycle's messages on. Called on JACK's realtime thread, in the process callback.
    void Read(uint32_t frames);

private:
    // Connects the port to the chosen sources that are there. UI thread only.
    void Connect();

    _jack_client* client_ = nullptr;
    std::string source_;  // the UI thread's own
    bool connect_ = false; // the UI thread's own
    std::atomic<bool> portsChanged_{false};
    _jack_port* port_ = nullptr;
    std::atomic<MidiSink*> sink_{nullptr};
};

} // namespace midi
