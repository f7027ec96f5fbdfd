#pragma once
// A PipeWire client for tests and benchmarks that measures like jack_iodelay: one node
// with one input and one output port, so that what it plays and what it hears run on one
// clock, cycle for cycle. It plays a signal from its output and records its input; frame k
// of the recording was heard in the cycle in which frame k of the signal was played, so a
// sample that comes back at recording frame k + L came back L frames late.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class PwProbe {
public:
    // Connects a node of this name whose ports are "<name>:output" and "<name>:input". Ports
    // carry floats; S16 values are scaled by 1/32768.
    explicit PwProbe(std::vector<int16_t> signal, size_t recordFrames, const std::string& name = "vobblix-probe");
    ~PwProbe();
    PwProbe(const PwProbe&) = delete;
    PwProbe& operator=(const PwProbe&) = delete;

    bool connected() const;
    // Starts playing the signal (then silence) and recording, in the same cycle.
    void start();
    // Waits until the recording is full; false after timeoutMs.
    bool waitRecorded(int timeoutMs);
    // Waits until this many frames have gone by since start; false after timeoutMs.
    bool waitFor(size_t frames, int timeoutMs);
    std::vector<int16_t> recording() const;
    // The graph's period and rate as the probe saw them last.
    uint32_t quantum() const;
    uint32_t rate() const;
    // Cycles the graph skipped while the probe ran (the machine could not keep up).
    uint32_t skippedCycles() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Runs pw-link with these arguments; true when it succeeded.
bool PwLink(const std::string& from, const std::string& to, bool unlink = false);
// Waits until a port of this name exists in the graph (or, with present false, until none does).
bool WaitForPort(const std::string& port, int timeoutMs, bool present = true);
// Waits until the output port `from` is linked to the input port `to`.
bool WaitForLink(const std::string& from, const std::string& to, int timeoutMs);
// Forces the graph's rate and period (0: back to the server's own choice).
void ForceGraph(uint32_t rate, uint32_t quantum);

// The first frame at or after `from` whose magnitude reaches `threshold`; -1 when none.
long FirstAbove(const std::vector<int16_t>& samples, int threshold, size_t from = 0);
