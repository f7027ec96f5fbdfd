#pragma once
// The MIDI pedal's input on a PipeWire graph: a "Vobblix pedal" node with raw MIDI input
// ports, on the sound backend's connection. It hears of the graph's MIDI ports from the
// backend's one follower of the registry and links a port of its own to the chosen source, or
// with "All" to each hardware one, also those plugged in later: a port per source, because
// PipeWire merges what one port hears and the pedal must tell the sources apart. The node runs
// in its sources' cycle, apart from the sound's: a MIDI source's driver must not become the
// sound's.

#include "platform/midi/MidiSink.h"

#include <array>
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
    // Links a port of ours to each source chosen that has not been yet. On the loop thread,
    // or with the loop's lock held.
    void Link();
    struct MidiPort;
    // Whether the choice takes this port; under lock_.
    bool Wanted(const MidiPort& port) const;
    // The lowest of our ports no source is linked to, or the last one when all are taken;
    // under lock_.
    uint32_t FreeSlot() const;
    // Adds our port numbered `slot` to the node; with the loop's lock held.
    bool AddPort(uint32_t slot);

    pw_thread_loop* loop_ = nullptr;
    pw_core* core_ = nullptr;
    const char* appName_ = "";

    // The MIDI outputs; the sources given a port of ours, and the link made once that port
    // showed; the pedal's node and the graph's ids of its ports (the loop thread's, under
    // lock_).
    struct MidiPort {
        uint32_t node = 0;
        std::string name;
        std::string description;
        bool hardware = false;
    };
    struct SourceLink {
        uint32_t slot = 0;
        pw_proxy* link = nullptr;
    };
    mutable std::mutex lock_;
    std::map<uint32_t, MidiPort> midiPorts_;
    std::map<uint32_t, SourceLink> linkedSources_;
    uint32_t pedalNodeId_ = 0;
    std::array<uint32_t, kSourcesApart> slotPortIds_{};
    std::string midiSource_;

    pw_filter* pedal_ = nullptr;
    // Our ports as the node has them, read by the realtime thread; added, never removed, while
    // the node lives (the loop thread's, with the loop's lock held).
    std::array<std::atomic<void*>, kSourcesApart> slotPorts_{};
    // How many sources each port was given, so that a new one is numbered anew.
    std::array<std::atomic<uint32_t>, kSourcesApart> slotUses_{};
    uint32_t slotsAdded_ = 0;
    struct PedalListener;
    PedalListener* pedalListener_ = nullptr;
    std::atomic<MidiSink*> midiSink_{nullptr};
};

} // namespace midi
