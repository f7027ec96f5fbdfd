#pragma once
// The duplex device over PipeWire: a capture stream and a playback stream in one node
// group, so one driver schedules both on one clock. The capture stream's process callback,
// on PipeWire's realtime thread, hands the cycle's input to the engine, takes the cycle's
// output from it and triggers the playback stream: a block captured in a cycle can be heard
// in that same cycle. Both streams are S16 mono at the stream's rate; PipeWire's adapters
// convert to the graph and connect them to the default or the chosen devices.
//
// A server that goes away is followed until it is back: then the streams and the MIDI pedal
// return under the same names, to the same chosen devices and sources.

#include "platform/midi/MidiSink.h"
#include "platform/thread/Doorbell.h"
#include "platform/wave/Duplex.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_data_loop;
struct pw_registry;
struct spa_source;
struct spa_dict;

namespace midi { class PipeWirePedalPort; }

namespace wave {

class PipeWireDevice final : public DuplexDevice, private midi::PedalPort {
public:
    // Connects to the user's PipeWire server; never waits for it beyond the socket's connect.
    // UI thread only.
    PipeWireDevice();
    ~PipeWireDevice() override;
    PipeWireDevice(const PipeWireDevice&) = delete;
    PipeWireDevice& operator=(const PipeWireDevice&) = delete;

    // Whether a server answered; when not, why. Any thread.
    bool connected() const { return connected_; }
    const std::string& connectError() const { return connectError_; }

    const char* name() const override { return "PipeWire"; }
    bool supports(uint32_t rate) const override { return connected_ && rate > 0; }
    MMRESULT open(Side side, const StreamFormat& format, AudioClient& client) override;
    MMRESULT start() override;
    void stop() override;
    void close(Side side) override;
    // Runs fn on the realtime thread, or in its place while it waits, and returns after it.
    void exclusive(const std::function<void()>& fn) override;
    // The output's wait behind the input, and the cycle the graph takes to play a block.
    double latencyMs(uint32_t leadFrames) const override;
    // The graph's sources and sinks by node name, shown by their descriptions.
    std::vector<DeviceChoice> devices(bool capture) const override;
    std::string takeFault() override;
    std::string takeNotice() override;
    std::string takeOutageNews() override;
    // A "Vobblix pedal" node on this connection, in its sources' cycle.
    midi::PedalPort* midiPort() override { return connected_ ? this : nullptr; }

    struct Stream;

    // Called on PipeWire's realtime thread: the capture stream's cycle.
    void Process();
    // Called on PipeWire's realtime thread: the playback stream's cycle, right after.
    void Play();
    // Called on PipeWire's loop thread. Quiet while the server is away: what a lost
    // connection breaks comes back with it.
    void Fault(const std::string& text);
    // Called on PipeWire's loop thread when the connection to the server is lost.
    void Lost();
    // Called on PipeWire's loop thread, a while after the server went away: connects again
    // and brings the streams and the pedal back, or tries again later.
    void Retry();
    // Called on PipeWire's loop thread, as the registry announces nodes and ports and removes
    // any object: the one follower of the graph, for the device lists and the MIDI pedal.
    void NodeAdded(uint32_t id, const char* mediaClass, const char* name, const char* description);
    void PortAdded(uint32_t id, const spa_dict* props);
    void NodeRemoved(uint32_t id);
    // Called on PipeWire's loop thread when the server has answered the sync of this number.
    void Synced(int seq);

private:
    // The graph's MIDI outputs, by "node:port" as pw-link names them, shown by their aliases.
    // UI thread only.
    std::vector<midi::Source> sources() const override;
    // Makes the pedal's node, linked to the chosen source or every hardware one; kept for a
    // server that comes back. UI thread only.
    void setInput(midi::MidiSink* sink, const std::string& source) override;

    // Connects to the server, follows its registry and sets up the pedal's node there; with
    // the loop's lock held. False when no server answers.
    bool Connect();
    // Lets go of the connection and all that was made on it; with the loop's lock held.
    void Disconnect();
    // Creates and connects the side's stream from the format it was opened with; with the
    // loop's lock held.
    bool ConnectStream(Stream& stream);
    // Waits, briefly, until the registry has told all the server had when asked. UI thread only.
    void Sync() const;

    bool connected_ = false;
    std::string connectError_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_data_loop* dataLoop_ = nullptr;
    struct Listener;
    Listener* coreListener_ = nullptr;
    pw_registry* registry_ = nullptr;
    struct RegistryListener;
    RegistryListener* registryListener_ = nullptr;
    // The MIDI pedal's node, following the graph on this connection's registry.
    std::unique_ptr<midi::PipeWirePedalPort> pedal_;
    // What the pedal was given, to give it again after the server's return (loop's lock).
    midi::MidiSink* midiSink_ = nullptr;
    std::string midiSource_;

    // While the server is away, a timer on the loop tries to connect again (loop's lock).
    spa_source* retry_ = nullptr;
    bool away_ = false;
    bool stale_ = false; // the lost connection is still to be let go
    // When the server went away and when sound came back, in ns of boot time; 0 when not.
    // The loop thread stamps the first, the realtime thread the second.
    std::atomic<uint64_t> goneAt_{0};
    std::atomic<uint64_t> backAt_{0};
    // The realtime thread tells the engine of the return at the first cycle after it.
    std::atomic<bool> rejoining_{false};
    uint64_t toldGone_ = 0; // the UI thread's own

    // The graph's nodes as the registry told them; the loop thread writes, the UI reads.
    struct Node {
        std::string name;
        std::string description;
        bool source = false;     // an audio device to capture from
        bool sink = false;       // an audio device to play to
        bool midiBridge = false; // hardware MIDI
    };
    mutable std::mutex nodesLock_;
    std::map<uint32_t, Node> nodes_;
    mutable int syncAsked_ = -1; // under the loop's lock
    int syncDone_ = -1;          // under the loop's lock

    uint32_t rate_ = 0;
    AudioClient* client_ = nullptr;
    // Each side's open, to open it again after the server's return (loop's lock).
    StreamFormat formats_[2];
    std::atomic<Stream*> in_{nullptr};
    std::atomic<Stream*> out_{nullptr};
    std::atomic<bool> started_{false};

    // The realtime thread's own.
    bool phased_ = false;
    uint32_t cycleFrames_ = 0; // captured in this cycle
    bool resampled_ = false;   // the graph runs at another rate than the stream
    uint64_t lastTicks_ = 0;
    uint32_t lastQuantum_ = 0;
    // The graph's period once two cycles agree on it, and its rate.
    std::atomic<uint32_t> quantum_{0};
    std::atomic<uint32_t> graphRate_{0};
    uint32_t noticedQuantum_ = 0; // the UI thread's own

    // Rung by each call run on the realtime thread for exclusive().
    thread::Doorbell invokeRan_;

    FaultLatch fault_;
};

} // namespace wave
