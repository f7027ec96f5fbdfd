#include "platform/midi/PipeWirePedalPort.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/control/control.h>
#include <spa/pod/iter.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// What PipeWire's MIDI ports carry: raw MIDI bytes in a sequence of controls.
constexpr const char* kMidiFormat = "8 bit raw midi";
// The MIDI pedal's node, as people see it in a patchbay.
constexpr const char* kPedalNode = "vobblix.pedal";
constexpr const char* kPedalDescription = "Vobblix pedal";

} // namespace

namespace midi {

struct PipeWirePedalPort::PedalListener {
    spa_hook hook{};
    pw_filter_events events{};
};

namespace {

// Called on PipeWire's realtime thread.
void OnPedalProcess(void* data, spa_io_position*)
{
    static_cast<PipeWirePedalPort*>(data)->Read();
}

} // namespace

PipeWirePedalPort::PipeWirePedalPort(pw_thread_loop* loop, pw_core* core, const char* appName)
    : loop_(loop), core_(core), appName_(appName)
{
}

PipeWirePedalPort::~PipeWirePedalPort()
{
    // The loop's lock is recursive: the backend may hold it already.
    pw_thread_loop_lock(loop_);
    for (auto& [id, source] : linkedSources_)
        if (source.link)
            pw_proxy_destroy(source.link);
    linkedSources_.clear();
    if (pedal_) {
        spa_hook_remove(&pedalListener_->hook);
        pw_filter_destroy(pedal_);
    }
    pw_thread_loop_unlock(loop_);
    delete pedalListener_;
}

void PipeWirePedalPort::Removed(uint32_t id)
{
    std::lock_guard lock(lock_);
    midiPorts_.erase(id);
    // The server took the link with the source; the proxy is still ours to free, and its
    // port is free for the next one.
    if (const auto known = linkedSources_.find(id); known != linkedSources_.end()) {
        if (known->second.link)
            pw_proxy_destroy(known->second.link);
        linkedSources_.erase(known);
    }
    for (uint32_t& portId : slotPortIds_)
        if (portId == id)
            portId = 0;
}

void PipeWirePedalPort::PortAdded(uint32_t id, const spa_dict* props, const std::string& nodeName, bool bridge)
{
    const char* format = spa_dict_lookup(props, PW_KEY_FORMAT_DSP);
    const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
    const char* nodeId = spa_dict_lookup(props, PW_KEY_NODE_ID);
    const char* portName = spa_dict_lookup(props, PW_KEY_PORT_NAME);
    if (!format || std::strcmp(format, kMidiFormat) != 0 || !direction || !nodeId || !portName)
        return;
    const uint32_t node = uint32_t(std::strtoul(nodeId, nullptr, 10));
    {
        std::lock_guard lock(lock_);
        const bool output = std::strcmp(direction, "out") == 0;
        if (!output) {
            if (nodeName == kPedalNode) {
                pedalNodeId_ = node;
                for (uint32_t slot = 0; slot < kSourcesApart; ++slot)
                    if (PedalPortName(slot) == portName)
                        slotPortIds_[slot] = id;
            }
        } else {
            const char* physical = spa_dict_lookup(props, PW_KEY_PORT_PHYSICAL);
            const char* alias = spa_dict_lookup(props, PW_KEY_PORT_ALIAS);
            MidiPort port;
            port.node = node;
            port.name = nodeName + ":" + portName;
            port.description = alias && *alias ? alias : port.name;
            port.hardware = bridge || (physical && std::strcmp(physical, "true") == 0);
            midiPorts_[id] = port;
        }
    }
    Link();
}

void PipeWirePedalPort::Link()
{
    std::lock_guard lock(lock_);
    if (!pedal_)
        return;
    for (const auto& [id, port] : midiPorts_) {
        if (!Wanted(port) || port.node == pedalNodeId_)
            continue;
        auto known = linkedSources_.find(id);
        if (known == linkedSources_.end()) {
            const uint32_t slot = FreeSlot();
            if (slot >= slotsAdded_ && !AddPort(slot))
                continue;
            known = linkedSources_.emplace(id, SourceLink{slot, nullptr}).first;
            slotUses_[slot].fetch_add(1, std::memory_order_release);
        }
        SourceLink& source = known->second;
        // Linked once the graph shows our port: its announcement calls here again.
        if (source.link || slotPortIds_[source.slot] == 0)
            continue;
        pw_properties* props = pw_properties_new(nullptr, nullptr);
        if (!props)
            continue;
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", port.node);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", id);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", pedalNodeId_);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", slotPortIds_[source.slot]);
        // Gone with the program: a link another program or the user makes stays theirs.
        pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
        source.link = static_cast<pw_proxy*>(
            pw_core_create_object(core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
        pw_properties_free(props);
    }
}

uint32_t PipeWirePedalPort::FreeSlot() const
{
    std::array<bool, kSourcesApart> taken{};
    for (const auto& [id, source] : linkedSources_)
        taken[source.slot] = true;
    for (uint32_t slot = 0; slot < kSourcesApart; ++slot)
        if (!taken[slot])
            return slot;
    return kSourcesApart - 1;
}

bool PipeWirePedalPort::AddPort(uint32_t slot)
{
    // Ports are added in order, so that the realtime thread's walk stops at the first gap.
    for (; slotsAdded_ <= slot; ++slotsAdded_) {
        const std::string name = PedalPortName(slotsAdded_);
        void* port = pw_filter_add_port(pedal_, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                        pw_properties_new(PW_KEY_FORMAT_DSP, kMidiFormat, PW_KEY_PORT_NAME,
                                                          name.c_str(), nullptr),
                                        nullptr, 0);
        if (!port)
            return false;
        slotPorts_[slotsAdded_].store(port, std::memory_order_release);
    }
    return true;
}

bool PipeWirePedalPort::Wanted(const MidiPort& port) const
{
    return midiSource_ == kAllSources ? port.hardware : port.name == midiSource_;
}

void PipeWirePedalPort::setInput(MidiSink* sink, const std::string& source)
{
    if (!sink)
        return;
    midiSink_.store(sink, std::memory_order_release);
    pw_thread_loop_lock(loop_);
    {
        std::lock_guard lock(lock_);
        midiSource_ = source;
        // Another choice: the links made for the old one go, the new one's are made below.
        for (auto it = linkedSources_.begin(); it != linkedSources_.end();) {
            const auto port = midiPorts_.find(it->first);
            if (port != midiPorts_.end() && Wanted(port->second)) {
                ++it;
                continue;
            }
            if (it->second.link)
                pw_proxy_destroy(it->second.link);
            it = linkedSources_.erase(it);
        }
    }
    if (pedal_) {
        Link();
        pw_thread_loop_unlock(loop_);
        return;
    }
    pedalListener_ = new PedalListener;
    pedalListener_->events.version = PW_VERSION_FILTER_EVENTS;
    pedalListener_->events.process = &OnPedalProcess;
    pedal_ = pw_filter_new(core_, kPedalDescription,
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Midi", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Production", PW_KEY_APP_NAME, appName_,
                                             PW_KEY_NODE_NAME, kPedalNode, PW_KEY_NODE_DESCRIPTION,
                                             kPedalDescription, nullptr));
    if (pedal_) {
        pw_filter_add_listener(pedal_, &pedalListener_->hook, &pedalListener_->events, this);
        // The first port is there whatever is linked, for a user who patches by hand.
        if (!AddPort(0) || pw_filter_connect(pedal_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) {
            spa_hook_remove(&pedalListener_->hook);
            pw_filter_destroy(pedal_);
            pedal_ = nullptr;
            for (auto& port : slotPorts_)
                port.store(nullptr, std::memory_order_relaxed);
            slotsAdded_ = 0;
        }
    }
    if (pedal_)
        Link();
    pw_thread_loop_unlock(loop_);
}

void PipeWirePedalPort::Read()
{
    MidiSink* sink = midiSink_.load(std::memory_order_acquire);
    for (uint32_t slot = 0; slot < kSourcesApart; ++slot) {
        void* port = slotPorts_[slot].load(std::memory_order_acquire);
        if (!port)
            return;
        pw_buffer* b = pw_filter_dequeue_buffer(port);
        if (!b)
            continue;
        const uint32_t from = slot + kSourcesApart * slotUses_[slot].load(std::memory_order_acquire);
        spa_data& d = b->buffer->datas[0];
        if (sink && d.data && d.chunk) {
            const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
            const uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
            auto* pod = static_cast<spa_pod*>(spa_pod_from_data(d.data, d.maxsize, offset, size));
            if (pod && spa_pod_is_sequence(pod)) {
                auto* sequence = reinterpret_cast<spa_pod_sequence*>(pod);
                spa_pod_control* c = nullptr;
                SPA_POD_SEQUENCE_FOREACH(sequence, c)
                {
                    if (c->type == SPA_CONTROL_Midi)
                        sink->receive(from, static_cast<const uint8_t*>(SPA_POD_BODY(&c->value)),
                                      SPA_POD_BODY_SIZE(&c->value));
                }
            }
        }
        pw_filter_queue_buffer(port, b);
    }
}

std::vector<Source> PipeWirePedalPort::sources() const
{
    std::vector<Source> list;
    std::lock_guard lock(lock_);
    for (const auto& [id, port] : midiPorts_)
        if (port.node != pedalNodeId_)
            list.push_back({port.name, port.description});
    return list;
}

} // namespace midi
