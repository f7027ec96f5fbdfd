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

template <typename D, typename Handle, typename Proc>
MMRESULT ScriptedWaveService::open(std::unique_ptr<D>& slot, Call query, Call real, const char* name, Handle* device,
                                   const PCMWAVEFORMAT& format, Proc callback, uintptr_t instance, uint32_t flags)
{
    const bool asking = flags & WAVE_FORMAT_QUERY;
    if (MMRESULT r = scripted(asking ? query : real, asking ? std::string(name) + "(query)" : std::string(name)))
        return r;
    if (!IsSupportedFormat(format))
        return WAVERR_BADFORMAT;
    if (asking)
        return MMSYSERR_NOERROR;
    slot = std::make_unique<D>();
    slot->callback = callback;
    slot->instance = instance;
    *device = slot.get();
    return MMSYSERR_NOERROR;
}

template <typename D>
bool ScriptedWaveService::complete(D* d, uint32_t msg)
{
    if (!d || d->queue.empty())
        return false;
    WAVEHDR* h = d->queue.front();
    d->queue.pop_front();
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    d->callback(d, msg, d->instance, reinterpret_cast<uintptr_t>(h), 0);
    return true;
}

template <typename D>
MMRESULT ScriptedWaveService::enqueue(D* d, Call call, const char* name, WAVEHDR* header)
{
    if (MMRESULT r = scripted(call, name))
        return r;
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = EnqueueHeader(header))
        return r;
    d->queue.push_back(header);
    return MMSYSERR_NOERROR;
}

template <typename D>
MMRESULT ScriptedWaveService::close(std::unique_ptr<D>& slot, D* d, Call call, const char* name, uint32_t msg)
{
    if (MMRESULT r = scripted(call, name))
        return r;
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (!d->queue.empty())
        return WAVERR_STILLPLAYING;
    d->callback(d, msg, d->instance, 0, 0);
    slot.reset();
    return MMSYSERR_NOERROR;
}

MMRESULT ScriptedWaveService::waveInOpen(HWAVEIN* device, uint32_t, const PCMWAVEFORMAT& format, WaveInProc callback,
                                         uintptr_t instance, uint32_t flags)
{
    return open(input_, Call::InQuery, Call::InOpen, "waveInOpen", device, format, callback, instance, flags);
}

MMRESULT ScriptedWaveService::waveOutOpen(HWAVEOUT* device, uint32_t, const PCMWAVEFORMAT& format,
                                          WaveOutProc callback, uintptr_t instance, uint32_t flags)
{
    return open(output_, Call::OutQuery, Call::OutOpen, "waveOutOpen", device, format, callback, instance, flags);
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
    return enqueue(in(device), Call::InAddBuffer, "waveInAddBuffer", header);
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
    auto* samples = reinterpret_cast<int16_t*>(h->lpData);
    const size_t count = h->dwBufferLength / 2;
    for (size_t i = 0; i < count; ++i)
        samples[i] = fill.empty() ? int16_t{0} : fill[i % fill.size()];
    h->dwBytesRecorded = static_cast<uint32_t>(count * 2);
    return complete(d, WIM_DATA);
}

MMRESULT ScriptedWaveService::waveInReset(HWAVEIN device)
{
    if (MMRESULT r = scripted(Call::InReset, "waveInReset"))
        return r;
    In* d = in(device);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    d->started = false;
    while (complete(d, WIM_DATA)) {
    }
    return MMSYSERR_NOERROR;
}

MMRESULT ScriptedWaveService::waveInClose(HWAVEIN device)
{
    return close(input_, in(device), Call::InClose, "waveInClose", WIM_CLOSE);
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
    return enqueue(out(device), Call::OutWrite, "waveOutWrite", header);
}

bool ScriptedWaveService::completeOutput()
{
    return complete(output_.get(), WOM_DONE);
}

MMRESULT ScriptedWaveService::waveOutReset(HWAVEOUT device)
{
    if (MMRESULT r = scripted(Call::OutReset, "waveOutReset"))
        return r;
    Out* d = out(device);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    while (complete(d, WOM_DONE)) {
    }
    return MMSYSERR_NOERROR;
}

MMRESULT ScriptedWaveService::waveOutClose(HWAVEOUT device)
{
    return close(output_, out(device), Call::OutClose, "waveOutClose", WOM_CLOSE);
}

} // namespace wave
