#pragma once
// A test's own JACK client with a MIDI output port, which sends the messages a test queues
// from its next cycles on, in order, as a foot controller on a MIDI interface would.

#include "support/MidiMessages.h"

#include "platform/thread/BoundedQueue.h"

#include <jack/jack.h>

#include <atomic>
#include <string>
#include <vector>

namespace testsupport {

class JackMidiSender {
public:
    // Opens the client on the running server; ok() says whether its port is up. As
    // `hardware`, the port says it is a device's, as a bridge's are.
    explicit JackMidiSender(const std::string& client = "vobblix-midi-sender", bool hardware = false);
    ~JackMidiSender();
    JackMidiSender(const JackMidiSender&) = delete;
    JackMidiSender& operator=(const JackMidiSender&) = delete;

    bool ok() const { return port_ != nullptr; }
    // "<client>:midi_out".
    std::string port() const;
    // Connects the output to a MIDI input port, e.g. "vobblix:pedal", once this client sees it.
    bool Connect(const std::string& input) const;
    // Whether the output is connected to that port now.
    bool Connected(const std::string& input) const;
    // Queues messages; false when they do not all fit. Test thread only.
    bool Send(const std::vector<MidiMessage>& messages);
    // Waits until every queued message went out; false after timeoutMs.
    bool WaitSent(int timeoutMs) const;
    uint64_t sent() const { return sent_.load(std::memory_order_acquire); }
    // When the cycle that sent the latest message ran, on the steady clock, in nanoseconds.
    int64_t sentAtNs() const { return sentAtNs_.load(std::memory_order_acquire); }

private:
    static int Process(jack_nframes_t frames, void* self);

    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    thread::BoundedQueue<MidiMessage> queue_;
    std::atomic<uint64_t> queued_{0};
    std::atomic<uint64_t> sent_{0};
    std::atomic<int64_t> sentAtNs_{0};
    // The process thread's own: a message the last cycle's buffer had no room for.
    MidiMessage held_;
    bool holding_ = false;
};

} // namespace testsupport
