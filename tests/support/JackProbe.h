#pragma once
// A test's own JACK clients on the server the program plays on: a source that plays a known
// signal from a chosen cycle on and a sink that records what arrives, both on the server's
// one clock, so that the program's delay is read in exact frames. Two clients, not one: a
// client looped through the program would make a cycle in the graph, which JACK breaks with
// a period of delay.

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class JackProbe {
public:
    // Opens "vobblix-probe-src" and "vobblix-probe-sink" on the running server, recording at
    // most `recordFrames`. ok() says whether both came up.
    explicit JackProbe(size_t recordFrames);
    ~JackProbe();
    JackProbe(const JackProbe&) = delete;
    JackProbe& operator=(const JackProbe&) = delete;

    bool ok() const { return source_ && sink_; }
    uint32_t rate() const;
    uint32_t period() const;
    // Connects the source to `input` and `output` to the sink.
    bool Patch(const std::string& input, const std::string& output);
    // Patches through the program's ports once its client is active (its ports show before
    // it is, and JACK connects only active clients); false after 20 s.
    bool PatchProgramWhenReady();
    // Waits until this many frames are recorded; false after 30 s.
    bool WaitRecorded(size_t frames) const;
    // Connects the source straight to the sink: the floor a client in between is measured
    // against.
    bool LoopBack();
    // Plays the signal from the next cycle on, and records from the same frame.
    void Play(const std::vector<float>& signal);
    // Frames recorded since Play, from the signal's first frame on.
    size_t Recorded() const { return recorded_.load(std::memory_order_acquire); }
    const std::vector<float>& recording() const { return recording_; }
    // The capture latency the port reports, in frames (its minimum).
    uint32_t CaptureLatency(const std::string& port) const;
    // Changes the server's period, as jack_bufsize does.
    bool SetPeriod(uint32_t frames);
    // Cycles the server reported late (xruns), or skipped (the sink's frame time jumped, which
    // is how PipeWire's JACK shows them), since the probe opened: a recording made across one
    // is the machine's doing, not the program's.
    uint64_t xruns() const { return xruns_.load(std::memory_order_acquire); }
    // Whether a port of that name exists now.
    bool HasPort(const std::string& name) const;
    // The ports connected to that one, sorted.
    std::vector<std::string> Connections(const std::string& name) const;

private:
    static int SourceProcess(jack_nframes_t n, void* self);
    static int SinkProcess(jack_nframes_t n, void* self);

    jack_client_t* source_ = nullptr;
    jack_client_t* sink_ = nullptr;
    jack_port_t* out_ = nullptr;
    jack_port_t* in_ = nullptr;
    std::vector<float> signal_;
    std::vector<float> recording_;
    std::atomic<bool> armed_{false};
    // The absolute frame at which the signal starts; set by the source's first armed cycle.
    std::atomic<int64_t> start_{-1};
    std::atomic<size_t> recorded_{0};
    std::atomic<uint64_t> xruns_{0};
    jack_nframes_t nextCycle_ = 0; // the sink's: the frame time its next cycle starts at
};

} // namespace testsupport
