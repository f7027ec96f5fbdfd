#pragma once
// The MIDI pedal's input on a JACK server: MIDI input ports `<client>:pedal` (then "pedal 2"...)
// of the sound backend's client, read in that client's process callback before the cycle's
// sound, so that the cycle already glides toward where the pedal is. Each source connected
// gets a port of its own, because JACK merges what one port hears and the pedal must tell the
// sources apart.

#include "platform/midi/MidiSink.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct _jack_client;
struct _jack_port;

namespace midi {

class JackPedalPort {
public:
    // Registers the first port on a new client, before it is activated; what the ports were
    // connected to before is forgotten. UI thread only.
    void open(_jack_client* client);
    // Whether the server took the first port. Any thread.
    bool registered() const { return ports_[0].load(std::memory_order_relaxed) != nullptr; }

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
    // Connects a port of ours to each chosen source that is there. UI thread only.
    void Connect();
    // Connects `source` to the port it had, or to the lowest one no source has, registered
    // now if need be. UI thread only.
    void ConnectApart(const char* source);

    _jack_client* client_ = nullptr;
    // The UI thread's own: the choice, and which of our ports each source was given.
    std::string source_;
    bool connect_ = false;
    std::map<std::string, uint32_t> slotOf_;
    std::atomic<bool> portsChanged_{false};
    // Registered in order, read by the realtime thread up to the first gap.
    std::array<std::atomic<_jack_port*>, kSourcesApart> ports_{};
    // How many sources each port was given, so that a new one is numbered anew.
    std::array<std::atomic<uint32_t>, kSourcesApart> slotUses_{};
    std::atomic<MidiSink*> sink_{nullptr};
};

} // namespace midi
