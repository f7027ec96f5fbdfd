#include "support/JackProbe.h"

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <thread>

namespace testsupport {

JackProbe::JackProbe(size_t recordFrames) : recording_(recordFrames, 0.0f)
{
    jack_status_t status{};
    source_ = jack_client_open("vobblix-probe-src", JackNoStartServer, &status);
    sink_ = jack_client_open("vobblix-probe-sink", JackNoStartServer, &status);
    if (!ok())
        return;
    out_ = jack_port_register(source_, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    in_ = jack_port_register(sink_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(source_, &SourceProcess, this);
    jack_set_process_callback(sink_, &SinkProcess, this);
    jack_set_xrun_callback(
        source_, [](void* self) { static_cast<JackProbe*>(self)->xruns_.fetch_add(1); return 0; }, this);
    jack_activate(source_);
    jack_activate(sink_);
}

JackProbe::~JackProbe()
{
    for (jack_client_t* c : {source_, sink_})
        if (c) {
            jack_deactivate(c);
            jack_client_close(c);
        }
}

uint32_t JackProbe::rate() const { return jack_get_sample_rate(source_); }
uint32_t JackProbe::period() const { return jack_get_buffer_size(source_); }

bool JackProbe::Patch(const std::string& input, const std::string& output)
{
    // A retried patch finds its first half already made.
    const auto made = [](int r) { return r == 0 || r == EEXIST; };
    return made(jack_connect(source_, jack_port_name(out_), input.c_str())) &&
           made(jack_connect(sink_, output.c_str(), jack_port_name(in_)));
}

bool JackProbe::PatchProgramWhenReady()
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!HasPort("vobblix:output") || !Patch("vobblix:input", "vobblix:output")) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool JackProbe::WaitRecorded(size_t frames) const
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Recorded() < frames) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool JackProbe::LoopBack()
{
    const int r = jack_connect(source_, jack_port_name(out_), jack_port_name(in_));
    return r == 0 || r == EEXIST;
}

void JackProbe::Play(const std::vector<float>& signal)
{
    signal_ = signal;
    start_ = -1;
    recorded_ = 0;
    armed_.store(true, std::memory_order_release);
}

int JackProbe::SourceProcess(jack_nframes_t n, void* arg)
{
    auto* self = static_cast<JackProbe*>(arg);
    auto* out = static_cast<float*>(jack_port_get_buffer(self->out_, n));
    std::fill(out, out + n, 0.0f);
    if (!self->armed_.load(std::memory_order_acquire))
        return 0;
    const int64_t base = jack_last_frame_time(self->source_);
    int64_t start = self->start_.load(std::memory_order_acquire);
    if (start < 0) {
        start = base;
        self->start_.store(start, std::memory_order_release);
    }
    for (jack_nframes_t i = 0; i < n; ++i) {
        const int64_t at = base + i - start;
        if (at >= 0 && at < int64_t(self->signal_.size()))
            out[i] = self->signal_[size_t(at)];
    }
    return 0;
}

int JackProbe::SinkProcess(jack_nframes_t n, void* arg)
{
    auto* self = static_cast<JackProbe*>(arg);
    const auto* in = static_cast<const float*>(jack_port_get_buffer(self->in_, n));
    const jack_nframes_t now = jack_last_frame_time(self->sink_);
    if (self->nextCycle_ != 0 && now != self->nextCycle_)
        self->xruns_.fetch_add(1, std::memory_order_release);
    self->nextCycle_ = now + n;
    const int64_t start = self->start_.load(std::memory_order_acquire);
    if (start < 0)
        return 0;
    const int64_t base = jack_last_frame_time(self->sink_);
    size_t done = self->recorded_.load(std::memory_order_relaxed);
    for (jack_nframes_t i = 0; i < n; ++i) {
        const int64_t at = base + i - start;
        if (at >= 0 && at < int64_t(self->recording_.size())) {
            self->recording_[size_t(at)] = in[i];
            done = std::max(done, size_t(at) + 1);
        }
    }
    self->recorded_.store(done, std::memory_order_release);
    return 0;
}

uint32_t JackProbe::CaptureLatency(const std::string& port) const
{
    jack_port_t* p = jack_port_by_name(sink_, port.c_str());
    if (!p)
        return 0;
    jack_latency_range_t range{};
    jack_port_get_latency_range(p, JackCaptureLatency, &range);
    return range.min;
}

bool JackProbe::SetPeriod(uint32_t frames)
{
    return jack_set_buffer_size(source_, frames) == 0;
}

bool JackProbe::HasPort(const std::string& name) const
{
    return jack_port_by_name(source_, name.c_str()) != nullptr;
}

std::vector<std::string> JackProbe::Connections(const std::string& name) const
{
    std::vector<std::string> list;
    jack_port_t* port = jack_port_by_name(source_, name.c_str());
    if (!port)
        return list;
    if (const char** peers = jack_port_get_all_connections(source_, port)) {
        for (int i = 0; peers[i]; ++i)
            list.emplace_back(peers[i]);
        jack_free(peers);
    }
    std::sort(list.begin(), list.end());
    return list;
}

} // namespace testsupport
