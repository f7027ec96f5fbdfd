#include "platform/midi/JackPedalPort.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <string_view>

namespace midi {
namespace {

constexpr const char* kPedalPort = "pedal";

} // namespace

void JackPedalPort::open(jack_client_t* client)
{
    client_ = client;
    port_ = jack_port_register(client_, kPedalPort, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
}

void JackPedalPort::Read(uint32_t frames)
{
    MidiSink* sink = sink_.load(std::memory_order_acquire);
    if (!sink || !port_)
        return;
    void* events = jack_port_get_buffer(port_, frames);
    const uint32_t count = jack_midi_get_event_count(events);
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t e{};
        if (jack_midi_event_get(&e, events, i) == 0 && e.size > 0)
            sink->receive(e.buffer, static_cast<uint32_t>(e.size));
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
    if (!client_ || !port_ || !connect || !sink)
        return;
    // Another choice: what the port listened to before goes.
    if (source != source_ && !source_.empty())
        jack_port_disconnect(client_, port_);
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
    // A connection that stands already is refused, harmlessly.
    const char* pedal = jack_port_name(port_);
    if (source_ != kAllSources) {
        jack_connect(client_, source_.c_str(), pedal);
        return;
    }
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsPhysical | JackPortIsOutput);
    if (!ports)
        return;
    for (int i = 0; ports[i]; ++i)
        jack_connect(client_, ports[i], pedal);
    jack_free(ports);
}

} // namespace midi
