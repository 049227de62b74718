// What any cache of provider answers kept per place on disk must hold to, whatever the kind
// of answer (forecast, air quality): the file's shape, how it is written and read, the lock
// that lets several services share one directory, and when a kept answer is fresh.
//
// A kept file is one header line, "<kind header>fetched_at=<unix seconds>", then the answer
// as it came. The directory may be shared and its files planted by anyone who can write
// there, so:
//   - a file is written under a new name of its own (mkstemp, so O_EXCL: never through a
//     link planted beside it) and renamed over the kept name;
//   - a file is read only when it is itself a regular file (not a link, a FIFO, a device)
//     of a plausible size, and never blocks on opening;
//   - a stamp outside plausible times makes the file unusable; a stamp in the future makes
//     it stale, so a clock that was wrong when it was written cannot keep it fresh.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "weatherd/base/deadline.h"

namespace weatherd {

// Larger than any real answer (tens of KB), small enough to read whole.
constexpr size_t kLongestKeptFile = 1 << 20;

struct KeptFile {
    int64_t fetched_at = 0;  // unix seconds
    std::string body;
};

// The kept file at `path` whose first line starts with `header`; nothing, with `why`, when
// there is none, or it is not a regular file, longer than `longest`, or its header or stamp
// is not one this service writes. "No such file" leaves `why` empty.
std::optional<KeptFile> read_kept_file(const std::filesystem::path& path, std::string_view header, std::string& why,
                                       size_t longest = kLongestKeptFile);

// Writes `body` under `header` and the stamp; false with `why` when it cannot.
bool write_kept_file(const std::filesystem::path& path, std::string_view header, std::string_view body,
                     int64_t fetched_at, std::string& why);

// An exclusive lock on PATH (a ".lock" file beside the kept one) shared by every service
// on the machine: while one holds it, the others wait for that one's answer instead of
// asking the provider too. The wait ends by the deadline; a lock not had in time (waited()
// true), or a lock file that is not a regular file, leaves the place unlocked (held()
// false) and says why.
class PlaceLock {
public:
    PlaceLock(const std::filesystem::path& path, const Deadline& deadline);
    ~PlaceLock();
    PlaceLock(const PlaceLock&) = delete;
    PlaceLock& operator=(const PlaceLock&) = delete;
    bool held() const { return fd_ >= 0; }
    const std::string& why() const { return why_; }
    bool waited() const { return waited_; }  // another holder had it first

private:
    int fd_ = -1;
    bool waited_ = false;
    std::string why_;
};

// How a kept answer stands at `now` for a time-to-live of `ttl` seconds.
struct Freshness {
    bool fresh = false;
    int64_t age_seconds = 0;      // 0 for a stamp in the future
    int64_t max_age_seconds = 0;  // what a cache in front may keep a page made from it: 0 ... ttl
};
Freshness freshness_at(int64_t fetched_at, int64_t now, int64_t ttl);

}  // namespace weatherd
