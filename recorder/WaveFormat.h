#pragma once
// The WAV file's layout: the canonical 44-byte header of 16-bit mono PCM in a RIFF container,
// followed directly by the samples.

#include <array>
#include <cstddef>
#include <cstdint>

namespace recorder::wav {

inline constexpr size_t kHeaderBytes = 44;
using Header = std::array<uint8_t, kHeaderBytes>;

// The header of a file at this rate with both sizes 0, as it stands until the first append.
Header MakeHeader(uint32_t sampleRate);
// Sets the RIFF and data chunk sizes for a file of this many bytes, header included.
void SetSizes(Header& header, uint32_t fileBytes);

} // namespace recorder::wav
