#include "support/PwMidiSender.h"

#include "support/PwFilterNode.h"

#include "platform/thread/BoundedQueue.h"

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
    std::string name;
    thread::BoundedQueue<MidiMessage> queue{kQueueCapacity};
    std::atomic<uint64_t> queued{0};
    std::atomic<uint64_t> sent{0};
    std::atomic<int64_t> sentAtNs{0};
    // Last, so that it stops calling Process before the rest goes.
    std::unique_ptr<PwFilterNode> node;

    // Called on PipeWire's realtime thread.
    static void Process(void* data, spa_io_position* position)
    {
        auto* self = static_cast<Impl*>(data);
        const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
        void* out = self->node->port();
        pw_buffer* b = pw_filter_dequeue_buffer(out);
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
                self->sentAtNs.store(now, std::memory_order_relaxed);
                self->sent.fetch_add(1, std::memory_order_release);
            }
            spa_pod_builder_pop(&builder, &frame);
            d->chunk->offset = 0;
            d->chunk->size = builder.state.offset;
            d->chunk->stride = 1;
            d->chunk->flags = 0;
        }
        pw_filter_queue_buffer(out, b);
    }
};

PwMidiSender::PwMidiSender(const std::string& name, bool hardware) : impl_(std::make_unique<Impl>())
{
    impl_->name = name;
    impl_->node = std::make_unique<PwFilterNode>(
        name,
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Midi", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "DSP",
                          PW_KEY_MEDIA_CLASS, hardware ? "Midi/Bridge" : "Midi/Source", PW_KEY_NODE_NAME, name.c_str(),
                          PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr),
        PW_DIRECTION_OUTPUT, "8 bit raw midi", "midi_out", &Impl::Process, impl_.get());
}

PwMidiSender::~PwMidiSender() = default;

bool PwMidiSender::connected() const { return impl_->node->ok(); }

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

int64_t PwMidiSender::sentAtNs() const { return impl_->sentAtNs.load(std::memory_order_acquire); }

} // namespace testsupport
