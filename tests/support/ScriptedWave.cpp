#include "support/ScriptedWave.h"

#include <memory>

namespace wave {

ScriptedWaveService::ScriptedWaveService()
    : device_(new Device(*this)), engine_(std::unique_ptr<DuplexDevice>(device_))
{
}

void ScriptedWaveService::fail(Call call, MMRESULT code, int times)
{
    if (times < 0)
        always_[call] = code;
    else
        for (int i = 0; i < times; ++i)
            once_[call].push_back(code);
}

MMRESULT ScriptedWaveService::scripted(Call call, const std::string& name)
{
    log_.push_back(name);
    if (auto it = once_.find(call); it != once_.end() && !it->second.empty()) {
        const MMRESULT code = it->second.front();
        it->second.pop_front();
        return code;
    }
    if (auto it = always_.find(call); it != always_.end())
        return it->second;
    return MMSYSERR_NOERROR;
}

MMRESULT ScriptedWaveService::Device::open(Side, const StreamFormat& format, AudioClient& audio)
{
    client = &audio;
    blockBytes = format.blockBytes;
    return MMSYSERR_NOERROR;
}

void ScriptedWaveService::Device::addCounters(WaveCounters& c) const
{
    const WaveCounters& s = service.scriptedCounters;
    c.leadingSilenceFrames += s.leadingSilenceFrames;
    c.underrunFrames += s.underrunFrames;
    c.underruns += s.underruns;
    c.overrunFrames += s.overrunFrames;
    c.overruns += s.overruns;
    c.pauses += s.pauses;
    c.pausedNs += s.pausedNs;
}

void ScriptedWaveService::setBlockHint(uint32_t bytes)
{
    engine_.setBlockHint(bytes);
}

bool ScriptedWaveService::completeInput(const std::vector<int16_t>& fill)
{
    if (!device_->started || !device_->client || queuedInput() == 0 || fill.empty())
        return false;
    // A device moves whole samples only: an odd buffer's last byte is never filled.
    std::vector<int16_t> block(device_->blockBytes / 2);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = fill[i % fill.size()];
    device_->client->captured(reinterpret_cast<const uint8_t*>(block.data()), uint32_t(block.size() * 2));
    return true;
}

bool ScriptedWaveService::completeOutput()
{
    if (!device_->client || queuedOutput() == 0)
        return false;
    std::vector<uint8_t> played(device_->blockBytes & ~1u);
    device_->client->play(played.data(), uint32_t(played.size()));
    return true;
}

MMRESULT ScriptedWaveService::waveInOpen(HWAVEIN* device, uint32_t id, const PCMWAVEFORMAT& format,
                                         WaveInProc callback, uintptr_t instance, uint32_t flags)
{
    const bool asking = flags & WAVE_FORMAT_QUERY;
    if (MMRESULT r = scripted(asking ? Call::InQuery : Call::InOpen, asking ? "waveInOpen(query)" : "waveInOpen"))
        return r;
    return engine_.waveInOpen(device, id, format, callback, instance, flags);
}

MMRESULT ScriptedWaveService::waveOutOpen(HWAVEOUT* device, uint32_t id, const PCMWAVEFORMAT& format,
                                          WaveOutProc callback, uintptr_t instance, uint32_t flags)
{
    const bool asking = flags & WAVE_FORMAT_QUERY;
    if (MMRESULT r = scripted(asking ? Call::OutQuery : Call::OutOpen, asking ? "waveOutOpen(query)" : "waveOutOpen"))
        return r;
    return engine_.waveOutOpen(device, id, format, callback, instance, flags);
}

// Each call: its scripted result if any, else the engine's.
#define VOBBLIX_SCRIPTED(call, name, ...)              \
    if (MMRESULT r = scripted(Call::call, #name))     \
        return r;                                     \
    return engine_.name(__VA_ARGS__)

MMRESULT ScriptedWaveService::waveInPrepareHeader(HWAVEIN d, WAVEHDR* h) { VOBBLIX_SCRIPTED(InPrepare, waveInPrepareHeader, d, h); }
MMRESULT ScriptedWaveService::waveInUnprepareHeader(HWAVEIN d, WAVEHDR* h) { VOBBLIX_SCRIPTED(InUnprepare, waveInUnprepareHeader, d, h); }
MMRESULT ScriptedWaveService::waveInAddBuffer(HWAVEIN d, WAVEHDR* h) { VOBBLIX_SCRIPTED(InAddBuffer, waveInAddBuffer, d, h); }
MMRESULT ScriptedWaveService::waveInStart(HWAVEIN d) { VOBBLIX_SCRIPTED(InStart, waveInStart, d); }
MMRESULT ScriptedWaveService::waveInReset(HWAVEIN d) { VOBBLIX_SCRIPTED(InReset, waveInReset, d); }
MMRESULT ScriptedWaveService::waveInClose(HWAVEIN d) { VOBBLIX_SCRIPTED(InClose, waveInClose, d); }
MMRESULT ScriptedWaveService::waveOutPrepareHeader(HWAVEOUT d, WAVEHDR* h) { VOBBLIX_SCRIPTED(OutPrepare, waveOutPrepareHeader, d, h); }
MMRESULT ScriptedWaveService::waveOutUnprepareHeader(HWAVEOUT d, WAVEHDR* h) { VOBBLIX_SCRIPTED(OutUnprepare, waveOutUnprepareHeader, d, h); }
MMRESULT ScriptedWaveService::waveOutWrite(HWAVEOUT d, WAVEHDR* h) { VOBBLIX_SCRIPTED(OutWrite, waveOutWrite, d, h); }
MMRESULT ScriptedWaveService::waveOutReset(HWAVEOUT d) { VOBBLIX_SCRIPTED(OutReset, waveOutReset, d); }
MMRESULT ScriptedWaveService::waveOutClose(HWAVEOUT d) { VOBBLIX_SCRIPTED(OutClose, waveOutClose, d); }

#undef VOBBLIX_SCRIPTED

} // namespace wave
