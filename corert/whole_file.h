// Reading a whole file, for every part of the runtime that does: the file commands and
// the browser control's local pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace corert {

// A byte set's size is a u32, with room for its header: no file read is larger.
inline constexpr size_t kMaxWholeFileBytes = UINT32_MAX - 64;

// The bytes of the regular file at `path` (POSIX, UTF-8). nullopt for a path that is
// empty, missing or unreadable, for anything but a regular file (a directory cannot be
// read, and a FIFO or device by that name could block the window for good; it is not
// even opened for reading in a way that waits), for a read error, and for a file larger
// than kMaxWholeFileBytes. Never throws.
std::optional<std::string> read_whole_file(const std::string& path);

}  // namespace corert
