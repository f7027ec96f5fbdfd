#include "support/JackMidiSender.h"

#include <jack/midiport.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace testsupport {

namespace {

constexpr size_t kQueueCapacity = 1 << 16;
// Spread over the cycle: one message a frame, at most this many a cycle, like a busy
// controller on a 31250-baud cable (about 1000 messages a second) and then some.
constexpr jack_nframes_t kPerCycle = 64;
// PipeWire's JACK learns of another client's new port a moment after it was registered.
constexpr auto kPortShowsWithin = std::chrono::seconds(5);

} // namespace

JackMidiSender::JackMidiSender(const std::string& client, bool hardware) : queue_(kQueueCapacity)
{
    jack_status_t status{};
    client_ = jack_client_open(client.c_str(), JackNoStartServer, &status);
    if (!client_)
        return;
    const unsigned long flags = JackPortIsOutput | (hardware ? JackPortIsPhysical | JackPortIsTerminal : 0ul);
    port_ = jack_port_register(client_, "midi_out", JACK_DEFAULT_MIDI_TYPE, flags, 0);
    if (!port_ || jack_set_process_callback(client_, &Process, this) != 0 || jack_activate(client_) != 0)
        port_ = nullptr;
}

JackMidiSender::~JackMidiSender()
{
    if (client_) {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
}

std::string JackMidiSender::port() const
{
    return port_ ? jack_port_name(port_) : std::string();
}

bool JackMidiSender::Connect(const std::string& input) const
{
    if (!port_)
        return false;
    const auto end = std::chrono::steady_clock::now() + kPortShowsWithin;
    while (!jack_port_by_name(client_, input.c_str())) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const int r = jack_connect(client_, jack_port_name(port_), input.c_str());
    return r == 0 || r == EEXIST;
}

bool JackMidiSender::Connected(const std::string& input) const
{
    return port_ && jack_port_connected_to(port_, input.c_str());
}

bool JackMidiSender::Send(const std::vector<MidiMessage>& messages)
{
    for (const MidiMessage& m : messages) {
        if (!queue_.push(m))
            return false;
        queued_.fetch_add(1, std::memory_order_release);
    }
    return true;
}

bool JackMidiSender::WaitSent(int timeoutMs) const
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (sent() < queued_.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int JackMidiSender::Process(jack_nframes_t frames, void* arg)
{
    auto* self = static_cast<JackMidiSender*>(arg);
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    void* buffer = jack_port_get_buffer(self->port_, frames);
    jack_midi_clear_buffer(buffer);
    const jack_nframes_t most = frames < kPerCycle ? frames : kPerCycle;
    for (jack_nframes_t at = 0; at < most; ++at) {
        if (!self->holding_ && !self->queue_.pop(self->held_))
            break;
        self->holding_ = true;
        if (jack_midi_event_write(buffer, at, self->held_.bytes.data(), self->held_.size) != 0)
            break; // the buffer is full: the message goes first next cycle
        self->holding_ = false;
        self->sentAtNs_.store(now, std::memory_order_relaxed);
        self->sent_.fetch_add(1, std::memory_order_release);
    }
    return 0;
}

} // namespace testsupport
