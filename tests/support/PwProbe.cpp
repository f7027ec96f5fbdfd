#include "support/PwProbe.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr float kScale = 32768.0f;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

} // namespace

struct PwProbe::Impl {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_filter* filter = nullptr;
    void* in = nullptr;
    void* out = nullptr;
    spa_hook listener{};
    pw_filter_events events{};
    std::vector<int16_t> signal;
    std::vector<int16_t> recorded;
    size_t played = 0;
    std::atomic<size_t> heard{0};
    std::atomic<bool> running{false};
    std::atomic<uint32_t> quantum{0};
    std::atomic<uint32_t> rate{0};
    std::atomic<uint32_t> skips{0};
    uint64_t lastPosition = 0;
    uint64_t lastDuration = 0;
    bool ok = false;

    // Called on PipeWire's realtime thread.
    static void Process(void* data, spa_io_position* position)
    {
        auto* self = static_cast<Impl*>(data);
        const uint32_t n = position->clock.duration;
        // A cycle the graph skipped (an xrun of this machine) shows as a jump of its clock.
        if (self->lastPosition != 0 && position->clock.position != self->lastPosition + self->lastDuration)
            self->skips.fetch_add(1, std::memory_order_relaxed);
        self->lastPosition = position->clock.position;
        self->lastDuration = n;
        self->quantum.store(n, std::memory_order_relaxed);
        self->rate.store(position->clock.rate.denom, std::memory_order_relaxed);
        auto* input = static_cast<float*>(pw_filter_get_dsp_buffer(self->in, n));
        auto* output = static_cast<float*>(pw_filter_get_dsp_buffer(self->out, n));
        const bool running = self->running.load(std::memory_order_acquire);
        for (uint32_t i = 0; i < n; ++i) {
            float v = 0.0f;
            if (running && self->played < self->signal.size())
                v = float(self->signal[self->played++]) / kScale;
            if (output)
                output[i] = v;
        }
        if (!running)
            return;
        size_t at = self->heard.load(std::memory_order_relaxed);
        for (uint32_t i = 0; i < n && at < self->recorded.size(); ++i, ++at) {
            const float f = input ? input[i] * kScale : 0.0f;
            self->recorded[at] = int16_t(std::lrint(std::fmax(-32768.0f, std::fmin(32767.0f, f))));
        }
        self->heard.store(at, std::memory_order_release);
    }
};

PwProbe::PwProbe(std::vector<int16_t> signal, size_t recordFrames, const std::string& name)
    : impl_(std::make_unique<Impl>())
{
    pw_init(nullptr, nullptr);
    impl_->signal = std::move(signal);
    impl_->recorded.assign(recordFrames, 0);
    impl_->loop = pw_thread_loop_new("probe", nullptr);
    // A realtime client, as the program is, so that the probe measures the program's
    // steadiness rather than its own.
    impl_->context = pw_context_new(pw_thread_loop_get_loop(impl_->loop),
                                    pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    impl_->events.version = PW_VERSION_FILTER_EVENTS;
    impl_->events.process = &Impl::Process;
    pw_thread_loop_start(impl_->loop);
    pw_thread_loop_lock(impl_->loop);
    if (impl_->context)
        impl_->core = pw_context_connect(impl_->context, nullptr, 0);
    if (impl_->core)
        impl_->filter = pw_filter_new(impl_->core, name.c_str(),
                                      pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Duplex",
                                                        PW_KEY_MEDIA_ROLE, "DSP", PW_KEY_NODE_NAME, name.c_str(),
                                                        PW_KEY_NODE_ALWAYS_PROCESS, "true",
                                                        // What jack_iodelay asks through pw-jack: a
                                                        // graph left to its clients runs this period.
                                                        PW_KEY_NODE_LATENCY, "128/48000", nullptr));
    if (impl_->filter) {
        pw_filter_add_listener(impl_->filter, &impl_->listener, &impl_->events, impl_.get());
        impl_->in = pw_filter_add_port(impl_->filter, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                       pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                         PW_KEY_PORT_NAME, "input", nullptr),
                                       nullptr, 0);
        impl_->out = pw_filter_add_port(impl_->filter, PW_DIRECTION_OUTPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                        pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                          PW_KEY_PORT_NAME, "output", nullptr),
                                        nullptr, 0);
        impl_->ok = pw_filter_connect(impl_->filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) == 0;
    }
    pw_thread_loop_unlock(impl_->loop);
}

PwProbe::~PwProbe()
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

bool PwProbe::connected() const { return impl_->ok; }

void PwProbe::start() { impl_->running.store(true, std::memory_order_release); }

bool PwProbe::waitRecorded(int timeoutMs) { return waitFor(impl_->recorded.size(), timeoutMs); }

bool PwProbe::waitFor(size_t frames, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (impl_->heard.load(std::memory_order_acquire) < std::min(frames, impl_->recorded.size())) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<int16_t> PwProbe::recording() const
{
    std::vector<int16_t> r(impl_->recorded.begin(),
                           impl_->recorded.begin() + long(impl_->heard.load(std::memory_order_acquire)));
    return r;
}

uint32_t PwProbe::quantum() const { return impl_->quantum.load(); }
uint32_t PwProbe::rate() const { return impl_->rate.load(); }
uint32_t PwProbe::skippedCycles() const { return impl_->skips.load(); }

bool PwLink(const std::string& from, const std::string& to, bool unlink)
{
    const std::string cmd = std::string("pw-link ") + (unlink ? "-d " : "") + Quote(from) + " " + Quote(to) +
                            " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

bool WaitForPort(const std::string& port, int timeoutMs, bool present)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string cmd = "pw-link -io | grep -qxF " + Quote(port);
    while (std::chrono::steady_clock::now() < end) {
        if ((std::system(cmd.c_str()) == 0) == present)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

long FirstAbove(const std::vector<int16_t>& samples, int threshold, size_t from)
{
    for (size_t i = from; i < samples.size(); ++i)
        if (std::abs(int(samples[i])) >= threshold)
            return long(i);
    return -1;
}

namespace {

std::string Run(const std::string& cmd)
{
    std::string out;
    if (std::FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

} // namespace

bool WaitForLink(const std::string& from, const std::string& to, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // pw-link -l lists each output port, then its peers as "  |-> port".
    const std::string wanted = from + "\n  |-> " + to + "\n";
    while (std::chrono::steady_clock::now() < end) {
        const std::string links = Run("pw-link -lo 2>/dev/null");
        const size_t at = links.find(from + "\n");
        if (at != std::string::npos) {
            size_t line = at + from.size() + 1;
            while (line < links.size() && links.compare(line, 6, "  |-> ") == 0) {
                const size_t eol = links.find('\n', line);
                if (links.compare(line + 6, eol - line - 6, to) == 0)
                    return true;
                line = eol + 1;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void ForceGraph(uint32_t rate, uint32_t quantum)
{
    Run("pw-metadata -n settings 0 clock.force-rate " + std::to_string(rate) + " >/dev/null 2>&1");
    Run("pw-metadata -n settings 0 clock.force-quantum " + std::to_string(quantum) + " >/dev/null 2>&1");
}
