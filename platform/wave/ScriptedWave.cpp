#include "platform/wave/ScriptedWave.h"

#include <algorithm>
#include <cstring>

namespace wave {

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

ScriptedWaveService::In* ScriptedWaveService::in(HWAVEIN device) const
{
    return device && device == input_.get() ? input_.get() : nullptr;
}

ScriptedWaveService::Out* ScriptedWaveService::out(HWAVEOUT device) const
{
    return device && device == output_.get() ? output_.get() : nullptr;
}

MMRESULT ScriptedWaveService::waveInOpen(HWAVEIN* device, uint32_t, const PCMWAVEFORMAT& format, WaveInProc callback,
                                         uintptr_t instance, uint32_t flags)
{
    const bool query = flags & WAVE_FORMAT_QUERY;
    if (MMRESULT r = scripted(query ? Call::InQuery : Call::InOpen, query ? "waveInOpen(query)" : "waveInOpen"))
        return r;
    if (!IsSupportedFormat(format))
        return WAVERR_BADFORMAT;
    if (query)
        return MMSYSERR_NOERROR;
    input_ = std::make_unique<In>();
    input_->callback = callback;
    input_->instance = instance;
    *device = input_.get();
    return MMSYSERR_NOERROR;
}

MMRESULT ScriptedWaveService::waveOutOpen(HWAVEOUT* device, uint32_t, const PCMWAVEFORMAT& format,
                                          WaveOutProc callback, uintptr_t instance, uint32_t flags)
{
    const bool query = flags & WAVE_FORMAT_QUERY;
    if (MMRESULT r = scripted(query ? Call::OutQuery : Call::OutOpen, query ? "waveOutOpen(query)" : "waveOutOpen"))
        return r;
    if (!IsSupportedFormat(format))
        return WAVERR_BADFORMAT;
    if (query)
        return MMSYSERR_NOERROR;
    output_ = std::make_unique<Out>();
    output_->callback = callback;
    output_->instance = instance;
    *device = output_.get();
    return MMSYSERR_NOERROR;
}

MMRESULT ScriptedWaveService::waveInPrepareHeader(HWAVEIN device, WAVEHDR* header)
{
    if (MMRESULT r = scripted(Call::InPrepare, "waveInPrepareHeader"))
        return r;
    return in(device) ? PrepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT ScriptedWaveService::waveInUnprepareHeader(HWAVEIN device, WAVEHDR* header)
{
    if (MMRESULT r = scripted(Call::InUnprepare, "waveInUnprepareHeader"))
        return r;
    return in(device) ? UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT ScriptedWaveService::waveInAddBuffer(HWAVEIN device, WAVEHDR* header)
{
    if (MMRESULT r = scripted(Call::InAddBuffer, "waveInAddBuffer"))
        return r;
    In* d = in(device);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = EnqueueHeader(header))
        return r;
    d->queue.push_back(header);
    return MMSYSERR_NOERROR;
}

MMRESULT ScriptedWaveService::waveInStart(HWAVEIN device)
{
    if (MMRESULT r = scripted(Call::InStart, "waveInStart"))
        return r;
    In* d = in(device);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    d->started = true;
    return MMSYSERR_NOERROR;
}

bool ScriptedWaveService::completeInput(const std::vector<int16_t>& fill)
{
    In* d = input_.get();
    if (!d || !d->started || d->queue.empty())
        return false;
    WAVEHDR* h = d->queue.front();
    d->queue.pop_front();
    auto* samples = reinterpret_cast<int16_t*>(h->lpData);
    const size_t count = h->dwBufferLength / 2;
    for (size_t i = 0; i < count; ++i)
        samples[i] = fill.empty() ? int16_t{0} : fill[i % fill.size()];
    h->dwBytesRecorded = static_cast<uint32_t>(count * 2);
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    d->callback(d, WIM_DATA, d->instance, reinterpret_cast<uintptr_t>(h), 0);
    return true;
}

MMRESULT ScriptedWaveService::waveInReset(HWAVEIN device)
{
    if (MMRESULT r = scripted(Call::InReset, "waveInReset"))
        return r;
    In* d = in(device);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    d->started = false;
    while (!d->queue.empty()) {
        WAVEHDR* h = d->queue.front();
        d->queue.pop_front();
        h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        d->callback(d, WIM_DATA, d->instance, reinterpret_cast<uintptr_t>(h), 0);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT ScriptedWaveService::waveInClose(HWAVEIN device)
{
    if (MMRESULT r = scripted(Call::InClose, "waveInClose"))
        return r;
    In* d = in(device);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (!d->queue.empty())
        return WAVERR_STILLPLAYING;
    d->callback(d, WIM_CLOSE, d->instance, 0, 0);
    input_.reset();
    return MMSYSERR_NOERROR;
}

MMRESULT ScriptedWaveService::waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header)
{
    if (MMRESULT r = scripted(Call::OutPrepare, "waveOutPrepareHeader"))
        return r;
    return out(device) ? PrepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT ScriptedWaveService::waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header)
{
    if (MMRESULT r = scripted(Call::OutUnprepare, "waveOutUnprepareHeader"))
        return r;
    return out(device) ? UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT ScriptedWaveService::waveOutWrite(HWAVEOUT device, WAVEHDR* header)
{
    if (MMRESULT r = scripted(Call::OutWrite, "waveOutWrite"))
        return r;
    Out* d = out(device);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = EnqueueHeader(header))
        return r;
    d->queue.push_back(header);
    return MMSYSERR_NOERROR;
}

bool ScriptedWaveService::completeOutput()
{
    Out* d = output_.get();
    if (!d || d->queue.empty())
        return false;
    WAVEHDR* h = d->queue.front();
    d->queue.pop_front();
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    d->callback(d, WOM_DONE, d->instance, reinterpret_cast<uintptr_t>(h), 0);
    return true;
}

MMRESULT ScriptedWaveService::waveOutReset(HWAVEOUT device)
{
    if (MMRESULT r = scripted(Call::OutReset, "waveOutReset"))
        return r;
    if (!out(device))
        return MMSYSERR_INVALHANDLE;
    while (completeOutput()) {
    }
    return MMSYSERR_NOERROR;
}

MMRESULT ScriptedWaveService::waveOutClose(HWAVEOUT device)
{
    if (MMRESULT r = scripted(Call::OutClose, "waveOutClose"))
        return r;
    Out* d = out(device);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (!d->queue.empty())
        return WAVERR_STILLPLAYING;
    d->callback(d, WOM_CLOSE, d->instance, 0, 0);
    output_.reset();
    return MMSYSERR_NOERROR;
}

} // namespace wave
