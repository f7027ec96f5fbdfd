#include "support/PwMidiSender.h"

#include "platform/thread/BoundedQueue.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/control/control.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace testsupport {

namespace {

constexpr size_t kQueueCapacity = 1 << 16;
constexpr uint32_t kPerCycle = 64;
// Room a message takes in the sequence: its control header and its padded bytes.
constexpr uint32_t kRoomPerMessage = 32;

} // namespace

struct PwMidiSender::Impl {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_filter* filter = nullptr;
    void* out = nullptr;
    spa_hook listener{};
    pw_filter_events events{};
    std::string name;
    thread::BoundedQueue<MidiMessage> queue{kQueueCapacity};
    std::atomic<uint64_t> queued{0};
    std::atomic<uint64_t> sent{0};
    bool ok = false;

    // Called on PipeWire's realtime thread.
    static void Process(void* data, spa_io_position* position)
    {
        auto* self = static_cast<Impl*>(data);
        pw_buffer* b = pw_filter_dequeue_buffer(self->out);
        if (!b)
            return;
        spa_data* d = &b->buffer->datas[0];
        if (d->data) {
            spa_pod_builder builder;
            spa_pod_builder_init(&builder, d->data, d->maxsize);
            spa_pod_frame frame;
            spa_pod_builder_push_sequence(&builder, &frame, 0);
            const uint32_t frames = position ? uint32_t(position->clock.duration) : kPerCycle;
            const uint32_t most = std::min({kPerCycle, frames, uint32_t(d->maxsize / kRoomPerMessage)});
            MidiMessage m;
            for (uint32_t at = 0; at < most && self->queue.pop(m); ++at) {
                spa_pod_builder_control(&builder, at, SPA_CONTROL_Midi);
                spa_pod_builder_bytes(&builder, m.bytes.data(), m.size);
                self->sent.fetch_add(1, std::memory_order_release);
            }
            spa_pod_builder_pop(&builder, &frame);
            d->chunk->offset = 0;
            d->chunk->size = builder.state.offset;
            d->chunk->stride = 1;
            d->chunk->flags = 0;
        }
        pw_filter_queue_buffer(self->out, b);
    }
};

PwMidiSender::PwMidiSender(const std::string& name) : impl_(std::make_unique<Impl>())
{
    pw_init(nullptr, nullptr);
    impl_->name = name;
    impl_->loop = pw_thread_loop_new("midi-sender", nullptr);
    impl_->context = pw_context_new(pw_thread_loop_get_loop(impl_->loop), nullptr, 0);
    impl_->events.version = PW_VERSION_FILTER_EVENTS;
    impl_->events.process = &Impl::Process;
    pw_thread_loop_start(impl_->loop);
    pw_thread_loop_lock(impl_->loop);
    if (impl_->context)
        impl_->core = pw_context_connect(impl_->context, nullptr, 0);
    if (impl_->core)
        impl_->filter = pw_filter_new(impl_->core, name.c_str(),
                                      pw_properties_new(PW_KEY_MEDIA_TYPE, "Midi", PW_KEY_MEDIA_CATEGORY, "Playback",
                                                        PW_KEY_MEDIA_ROLE, "DSP", PW_KEY_MEDIA_CLASS, "Midi/Source",
                                                        PW_KEY_NODE_NAME, name.c_str(), PW_KEY_NODE_ALWAYS_PROCESS,
                                                        "true", nullptr));
    if (impl_->filter) {
        pw_filter_add_listener(impl_->filter, &impl_->listener, &impl_->events, impl_.get());
        impl_->out = pw_filter_add_port(impl_->filter, PW_DIRECTION_OUTPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                        pw_properties_new(PW_KEY_FORMAT_DSP, "8 bit raw midi", PW_KEY_PORT_NAME,
                                                          "midi_out", nullptr),
                                        nullptr, 0);
        impl_->ok = impl_->out && pw_filter_connect(impl_->filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) == 0;
    }
    pw_thread_loop_unlock(impl_->loop);
}

PwMidiSender::~PwMidiSender()
{
    pw_thread_loop_lock(impl_->loop);
    if (impl_->filter)
        pw_filter_destroy(impl_->filter);
    if (impl_->core)
        pw_core_disconnect(impl_->core);
    pw_thread_loop_unlock(impl_->loop);
    pw_thread_loop_stop(impl_->loop);
    if (impl_->context)
        pw_context_destroy(impl_->context);
    pw_thread_loop_destroy(impl_->loop);
}

bool PwMidiSender::connected() const { return impl_->ok; }

std::string PwMidiSender::port() const { return impl_->name + ":midi_out"; }

bool PwMidiSender::Send(const std::vector<MidiMessage>& messages)
{
    for (const MidiMessage& m : messages) {
        if (!impl_->queue.push(m))
            return false;
        impl_->queued.fetch_add(1, std::memory_order_release);
    }
    return true;
}

bool PwMidiSender::WaitSent(int timeoutMs) const
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (sent() < impl_->queued.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

uint64_t PwMidiSender::sent() const { return impl_->sent.load(std::memory_order_acquire); }

} // namespace testsupport
