#pragma once
// The scripted wave service with a MIDI input as the native backends have one: the test
// decides whether the service has MIDI and which sources it lists, and feeds the sink the
// program handed over as a port's realtime cycle would. Everything else is the scripted
// service's, which it wraps.

#include "platform/midi/MidiSink.h"
#include "support/ScriptedWave.h"

#include <string>
#include <vector>

namespace testsupport {

class MidiWaveService final : public wave::WaveService {
public:
    wave::ScriptedWaveService device;
    bool capable = true;
    std::vector<wave::DeviceChoice> sources;
    // What the program handed over at start.
    midi::MidiSink* sink = nullptr;
    std::string source;
    int handedOver = 0;

    // Sends one message to the sink, as a port's cycle would.
    void send(std::vector<uint8_t> message)
    {
        if (sink)
            sink->receive(0, message.data(), uint32_t(message.size()));
    }

    midi::PedalPort* midiPort() override { return capable ? &port_ : nullptr; }

    using MMRESULT = wave::MMRESULT;
    MMRESULT waveInOpen(wave::HWAVEIN* d, uint32_t id, const wave::PCMWAVEFORMAT& f, wave::WaveInProc cb,
                        uintptr_t instance, uint32_t flags) override
    {
        return device.waveInOpen(d, id, f, cb, instance, flags);
    }
    MMRESULT waveOutOpen(wave::HWAVEOUT* d, uint32_t id, const wave::PCMWAVEFORMAT& f, wave::WaveOutProc cb,
                         uintptr_t instance, uint32_t flags) override
    {
        return device.waveOutOpen(d, id, f, cb, instance, flags);
    }
    MMRESULT waveInPrepareHeader(wave::HWAVEIN d, wave::WAVEHDR* h) override { return device.waveInPrepareHeader(d, h); }
    MMRESULT waveInUnprepareHeader(wave::HWAVEIN d, wave::WAVEHDR* h) override
    {
        return device.waveInUnprepareHeader(d, h);
    }
    MMRESULT waveInAddBuffer(wave::HWAVEIN d, wave::WAVEHDR* h) override { return device.waveInAddBuffer(d, h); }
    MMRESULT waveInStart(wave::HWAVEIN d) override { return device.waveInStart(d); }
    MMRESULT waveInReset(wave::HWAVEIN d) override { return device.waveInReset(d); }
    MMRESULT waveInClose(wave::HWAVEIN d) override { return device.waveInClose(d); }
    MMRESULT waveOutPrepareHeader(wave::HWAVEOUT d, wave::WAVEHDR* h) override
    {
        return device.waveOutPrepareHeader(d, h);
    }
    MMRESULT waveOutUnprepareHeader(wave::HWAVEOUT d, wave::WAVEHDR* h) override
    {
        return device.waveOutUnprepareHeader(d, h);
    }
    MMRESULT waveOutWrite(wave::HWAVEOUT d, wave::WAVEHDR* h) override { return device.waveOutWrite(d, h); }
    MMRESULT waveOutReset(wave::HWAVEOUT d) override { return device.waveOutReset(d); }
    MMRESULT waveOutClose(wave::HWAVEOUT d) override { return device.waveOutClose(d); }
    void setBlockHint(uint32_t bytes) override { device.setBlockHint(bytes); }
    std::vector<wave::DeviceChoice> devices(bool capture) const override { return device.devices(capture); }
    wave::WaveCounters counters() const override { return device.counters(); }
    const char* name() const override { return device.name(); }
    double latencyMs() const override { return device.latencyMs(); }
    std::string takeFault() override { return device.takeFault(); }
    std::string takeNotice() override { return device.takeNotice(); }
    bool faulted() const override { return device.faulted(); }

private:
    // The port the service carries: what the test scripted, and what it was handed.
    class Port final : public midi::PedalPort {
    public:
        explicit Port(MidiWaveService& service) : service_(service) {}
        std::vector<midi::Source> sources() const override
        {
            std::vector<midi::Source> list;
            for (const wave::DeviceChoice& c : service_.sources)
                list.push_back({c.id, c.description});
            return list;
        }
        void setInput(midi::MidiSink* s, const std::string& from) override
        {
            service_.sink = s;
            service_.source = from;
            ++service_.handedOver;
        }

    private:
        MidiWaveService& service_;
    };
    Port port_{*this};
};

} // namespace testsupport
