// Whole files as the runtime's file commands and the browser control use them. Paths are
// UTF-8 in the system's own form (made wide for the system on Windows).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra::platform {

// The bytes of the regular file at `path`. nullopt for a path that is empty, missing or
// unreadable, for anything but a regular file (a FIFO or device by that name is never
// waited on), for a read error and for a file of more than `limit` bytes (one that grows
// while it is read included).
std::optional<std::string> read_regular_file(const std::string& path, uint64_t limit);

// Creates or empties the file and writes `parts` in order; false on any failure.
bool write_file_parts(const std::string& path, const std::vector<std::string_view>& parts);

// False when the file is not there or cannot be removed.
bool delete_file(const std::string& path);

}  // namespace nimbra::platform
