#pragma once
// A test's own PipeWire node with a MIDI output port ("8 bit raw midi"), which sends the
// messages a test queues from its next cycles on, in order, as a foot controller's MIDI
// source node would.

#include "support/MidiMessages.h"

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class PwMidiSender {
public:
    // Connects a node of this name with one output port, "<name>:midi_out"; as `hardware`,
    // it bridges a device, as the sequencer's node does.
    explicit PwMidiSender(const std::string& name = "vobblix-midi-sender", bool hardware = false);
    ~PwMidiSender();
    PwMidiSender(const PwMidiSender&) = delete;
    PwMidiSender& operator=(const PwMidiSender&) = delete;

    bool connected() const;
    std::string port() const;
    // Queues messages; false when they do not all fit. Test thread only.
    bool Send(const std::vector<MidiMessage>& messages);
    // Waits until every queued message went out; false after timeoutMs.
    bool WaitSent(int timeoutMs) const;
    uint64_t sent() const;
    // When the cycle that sent the latest message ran, on the steady clock, in nanoseconds.
    int64_t sentAtNs() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace testsupport
