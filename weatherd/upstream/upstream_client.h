// One GET to the forecast provider, with timeouts short enough that a viewer waiting on
// the page never waits long, a body size limit, and the program's own User-Agent.
#pragma once

#include <optional>
#include <string>

#include "weatherd/base/deadline.h"

namespace weatherd {

struct UpstreamAnswer {
    bool reached = false;  // false: no HTTP answer at all (refused, timed out, cut off)
    long status = 0;
    std::string body;
    std::optional<long> retry_after_seconds;  // from a Retry-After header in seconds
    std::string error;                        // why it was not reached
    bool cut_short = false;  // not reached because the page's deadline came first, or the service stops
};

struct UpstreamLimits {
    double connect_seconds = 3;
    double total_seconds = 8;
    size_t max_body_bytes = 8 << 20;
};

// Thread-safe; call upstream_client_init once before threads start.
void upstream_client_init();
// The transfer ends by `deadline` at the latest (its limits permitting less), and at once
// when the service stops.
UpstreamAnswer fetch_from_upstream(const std::string& url, const UpstreamLimits& limits, const Deadline& deadline);

extern const char kUserAgent[];

}  // namespace weatherd
