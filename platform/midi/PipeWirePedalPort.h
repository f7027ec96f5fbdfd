#pragma once
// The MIDI pedal's input on a PipeWire graph: a "Vobblix pedal" node with one raw MIDI input
// port, on the sound backend's connection. It hears of the graph's MIDI ports from the
// backend's one follower of the registry and links its port to the chosen source, or with "All" to every hardware
// one, also those plugged in later. The node runs in its source's cycle, apart from the
// sound's: a MIDI source's driver must not become the sound's.

#include "platform/midi/MidiSink.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct pw_thread_loop;
struct pw_core;
struct pw_filter;
struct pw_proxy;
struct spa_dict;

namespace midi {

class PipeWirePedalPort {
public:
    // `appName` is what the node says it belongs to. Called with the loop's lock held, right
    // after the registry is bound, so that no port is missed.
    PipeWirePedalPort(pw_thread_loop* loop, pw_core* core, const char* appName);
    // Unlinks and removes the node. UI thread only, before the registry and core go.
    ~PipeWirePedalPort();
    PipeWirePedalPort(const PipeWirePedalPort&) = delete;
    PipeWirePedalPort& operator=(const PipeWirePedalPort&) = delete;

    // The graph's MIDI outputs but ours, by "node:port" as pw-link names them, shown by their
    // aliases. UI thread only.
    std::vector<Source> sources() const;
    // Creates the node, whose messages go to `sink`, linked to `source` once its port shows;
    // a later call moves the links to the new source at once. UI thread only.
    void setInput(MidiSink* sink, const std::string& source);

    // Called on PipeWire's loop thread, as the registry announces ports, with the name of the
    // node that has the port and whether that node bridges hardware MIDI.
    void PortAdded(uint32_t id, const spa_dict* props, const std::string& nodeName, bool bridge);
    // Called on PipeWire's loop thread, as the registry removes any object.
    void Removed(uint32_t id);
    // Called on PipeWire's realtime thread: hands the port's messages on.
    void Read();

private:
    // Links the port to the sources chosen that have not been yet. On the loop thread, or with
    // the loop's lock held.
    void Link();
    struct MidiPort;
    // Whether the choice takes this port; under lock_.
    bool Wanted(const MidiPort& port) const;

    pw_thread_loop* loop_ = nullptr;
    pw_core* core_ = nullptr;
    const char* appName_ = "";

    // The MIDI outputs; the links made to the pedal port; the pedal's node and port (the loop
    // thread's, under lock_).
    struct MidiPort {
        uint32_t node = 0;
        std::string name;
        std::string description;
        bool hardware = false;
    };
    mutable std::mutex lock_;
    std::map<uint32_t, MidiPort> midiPorts_;
    std::map<uint32_t, pw_proxy*> linkedSources_;
    uint32_t pedalNodeId_ = 0;
    uint32_t pedalPortId_ = 0;
    std::string midiSource_;

    pw_filter* pedal_ = nullptr;
    void* pedalPort_ = nullptr;
    struct PedalListener;
    PedalListener* pedalListener_ = nullptr;
    std::atomic<MidiSink*> midiSink_{nullptr};
};

} // namespace midi
