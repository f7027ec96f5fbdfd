#include "platform/wave/Wave.h"

namespace wave {
namespace {

constexpr uint32_t kLowestRate = 1000;
constexpr uint32_t kHighestRate = 384000;

} // namespace

MMRESULT PrepareHeader(WAVEHDR* header)
{
    if (!header || !header->lpData)
        return MMSYSERR_INVALPARAM;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT UnprepareHeader(WAVEHDR* header)
{
    if (!header)
        return MMSYSERR_INVALPARAM;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT EnqueueHeader(WAVEHDR* header)
{
    if (!header)
        return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    // A buffer shorter than one sample can never be filled or played.
    if (header->dwBufferLength < 2)
        return MMSYSERR_INVALPARAM;
    header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
    header->dwBytesRecorded = 0;
    return MMSYSERR_NOERROR;
}

bool IsSupportedFormat(const PCMWAVEFORMAT& f)
{
    return f.wFormatTag == WAVE_FORMAT_PCM && f.nChannels == 1 && f.wBitsPerSample == 16 && f.nBlockAlign == 2 &&
           f.nSamplesPerSec >= kLowestRate && f.nSamplesPerSec <= kHighestRate &&
           f.nAvgBytesPerSec == f.nSamplesPerSec * 2;
}

} // namespace wave
