// One GET to the forecast provider, with timeouts short enough that a viewer waiting on
// the page never waits long, a body size limit, and the program's own User-Agent.
#pragma once

#include <optional>
#include <string>

namespace weatherd {

struct UpstreamAnswer {
    bool reached = false;  // false: no HTTP answer at all (refused, timed out, cut off)
    long status = 0;
    std::string body;
    std::optional<long> retry_after_seconds;  // from a Retry-After header in seconds
    std::string error;                        // why it was not reached
};

struct UpstreamLimits {
    double connect_seconds = 3;
    double total_seconds = 8;
    size_t max_body_bytes = 8 << 20;
};

// Thread-safe; call UpstreamClientInit once before threads start.
void UpstreamClientInit();
UpstreamAnswer FetchFromUpstream(const std::string& url, const UpstreamLimits& limits);

extern const char kUserAgent[];

}  // namespace weatherd
