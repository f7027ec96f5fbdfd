#pragma once
// A WAV file's samples as libsndfile, an independent reader, sees them; empty when it cannot
// read the file.

#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <vector>

namespace testsupport {

inline std::vector<int16_t> ReadWav(const std::filesystem::path& p)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(p.c_str(), SFM_READ, &info);
    if (!f)
        return {};
    std::vector<int16_t> s(size_t(info.frames));
    sf_read_short(f, s.data(), sf_count_t(s.size()));
    sf_close(f);
    return s;
}

} // namespace testsupport
