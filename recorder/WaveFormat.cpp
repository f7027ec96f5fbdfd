#include "recorder/WaveFormat.h"

#include <cstring>

namespace recorder::wav {
namespace {

constexpr uint32_t kFormatChunkBytes = 16;
constexpr uint16_t kPcm = 1;
constexpr uint16_t kChannels = 1;
constexpr uint16_t kBlockAlign = 2;
constexpr uint16_t kBitsPerSample = 16;
constexpr size_t kRiffSizeAt = 4;
constexpr size_t kDataSizeAt = 40;
// The RIFF size counts everything after its own field.
constexpr uint32_t kRiffPreamble = 8;

void Put16(Header& header, size_t at, uint16_t v)
{
    header[at] = uint8_t(v);
    header[at + 1] = uint8_t(v >> 8);
}

void Put32(Header& header, size_t at, uint32_t v)
{
    for (size_t i = 0; i < 4; ++i)
        header[at + i] = uint8_t(v >> (8 * i));
}

void PutTag(Header& header, size_t at, const char (&tag)[5]) { std::memcpy(&header[at], tag, 4); }

} // namespace

Header MakeHeader(uint32_t sampleRate)
{
    Header header{};
    PutTag(header, 0, "RIFF");
    PutTag(header, 8, "WAVE");
    PutTag(header, 12, "fmt ");
    Put32(header, 16, kFormatChunkBytes);
    Put16(header, 20, kPcm);
    Put16(header, 22, kChannels);
    Put32(header, 24, sampleRate);
    Put32(header, 28, sampleRate * kBlockAlign);
    Put16(header, 32, kBlockAlign);
    Put16(header, 34, kBitsPerSample);
    PutTag(header, 36, "data");
    return header;
}

void SetSizes(Header& header, uint32_t fileBytes)
{
    Put32(header, kRiffSizeAt, fileBytes - kRiffPreamble);
    Put32(header, kDataSizeAt, fileBytes - uint32_t(kHeaderBytes));
}

} // namespace recorder::wav
