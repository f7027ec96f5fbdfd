#pragma once
// A WAV file's samples as libsndfile, an independent reader, sees them; empty when it cannot
// read the file.

#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <type_traits>
#include <vector>

namespace testsupport {

// As 16-bit values, or as floats (full scale 1.0) for a file of floats.
template <typename Sample = int16_t>
std::vector<Sample> ReadWav(const std::filesystem::path& p)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(p.c_str(), SFM_READ, &info);
    if (!f)
        return {};
    std::vector<Sample> s(size_t(info.frames));
    if constexpr (std::is_same_v<Sample, float>)
        sf_read_float(f, s.data(), sf_count_t(s.size()));
    else
        sf_read_short(f, s.data(), sf_count_t(s.size()));
    sf_close(f);
    return s;
}

} // namespace testsupport
