#pragma once
// A take whose file lost its name while recording (the file or a folder above it deleted or
// moved) is written whole to a new file, at the same path or as near it as can be, from the
// old file, which stays readable through its descriptor.

#include <cstdint>
#include <string>

namespace recorder {

// True when the open file is no longer the one its path names. A path that cannot be looked
// at for another reason (a folder's permissions) counts as named: the file still takes the
// writes.
// Called on the recorder's writer thread, or the UI thread at the stop.
bool LostItsName(int fd, const std::string& path);

struct Rescue {
    int fd = -1;         // the new file, positioned at its end; -1 when none could be written
    std::string path;    // where it is
    std::string message; // what the user is told: where the take went, or why it could not go
};

// Copies the first `bytes` bytes of the open file (header and samples) to a new file: in its
// own folder, made again where it can be; else in the deepest folder above it that still
// exists; else in the home folder; under its own name or, where that is taken, a numbered
// one. The caller closes the old file.
// Called on the recorder's writer thread, or the UI thread at the stop.
Rescue RescueTake(int fd, const std::string& path, int64_t bytes);

} // namespace recorder
