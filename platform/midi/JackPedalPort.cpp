#include "platform/midi/JackPedalPort.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <string_view>

namespace midi {
void JackPedalPort::open(jack_client_t* client)
{
    // The ports of a client the server dropped went with it.
    for (auto& port : ports_)
        port.store(nullptr, std::memory_order_relaxed);
    slotOf_.clear();
    client_ = client;
    ports_[0].store(jack_port_register(client_, kPedalPort, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0),
                    std::memory_order_release);
}

void JackPedalPort::Read(uint32_t frames)
{
    MidiSink* sink = sink_.load(std::memory_order_acquire);
    if (!sink)
        return;
    for (uint32_t slot = 0; slot < kSourcesApart; ++slot) {
        jack_port_t* port = ports_[slot].load(std::memory_order_acquire);
        if (!port)
            return;
        void* events = jack_port_get_buffer(port, frames);
        if (!events)
            continue;
        const uint32_t from = slot + kSourcesApart * slotUses_[slot].load(std::memory_order_acquire);
        const uint32_t count = jack_midi_get_event_count(events);
        for (uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t e{};
            if (jack_midi_event_get(&e, events, i) == 0 && e.size > 0)
                sink->receive(from, e.buffer, static_cast<uint32_t>(e.size));
        }
    }
}

std::vector<Source> JackPedalPort::sources() const
{
    std::vector<Source> list;
    if (!client_)
        return list;
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
    if (!ports)
        return list;
    const std::string ours = std::string(jack_get_client_name(client_)) + ":";
    for (int i = 0; ports[i]; ++i)
        if (std::string_view(ports[i]).substr(0, ours.size()) != ours)
            list.push_back({ports[i], ports[i]});
    jack_free(ports);
    return list;
}

void JackPedalPort::setInput(MidiSink* sink, const std::string& source, bool connect)
{
    sink_.store(sink, std::memory_order_release);
    if (!client_ || !registered() || !connect || !sink)
        return;
    // Another choice: what the ports listened to before goes.
    if (source != source_ && !source_.empty()) {
        for (auto& port : ports_)
            if (jack_port_t* p = port.load(std::memory_order_relaxed))
                jack_port_disconnect(client_, p);
        slotOf_.clear();
    }
    source_ = source;
    connect_ = true;
    Connect();
}

void JackPedalPort::PortsChanged()
{
    portsChanged_.store(true, std::memory_order_release);
}

void JackPedalPort::follow()
{
    if (connect_ && portsChanged_.exchange(false, std::memory_order_acq_rel))
        Connect();
}

void JackPedalPort::Connect()
{
    if (source_ != kAllSources) {
        ConnectApart(source_.c_str());
        return;
    }
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsPhysical | JackPortIsOutput);
    if (!ports)
        return;
    for (int i = 0; ports[i]; ++i)
        ConnectApart(ports[i]);
    jack_free(ports);
}

void JackPedalPort::ConnectApart(const char* source)
{
    auto known = slotOf_.find(source);
    if (known == slotOf_.end()) {
        // A source that went and came back keeps its port; past the last, they share it.
        const uint32_t slot = std::min<uint32_t>(uint32_t(slotOf_.size()), kSourcesApart - 1);
        known = slotOf_.emplace(source, slot).first;
        slotUses_[slot].fetch_add(1, std::memory_order_release);
    }
    const uint32_t slot = known->second;
    for (uint32_t s = 1; s <= slot; ++s) {
        if (ports_[s].load(std::memory_order_relaxed))
            continue;
        jack_port_t* port =
            jack_port_register(client_, PedalPortName(s).c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (!port)
            return;
        ports_[s].store(port, std::memory_order_release);
    }
    // A connection that stands already is refused, harmlessly.
    jack_connect(client_, source, jack_port_name(ports_[slot].load(std::memory_order_relaxed)));
}

} // namespace midi
