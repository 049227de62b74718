// netlib's own HTTP/1.1 GET, for plain http:// addresses reached without a proxy: the
// version notice that every start fetches goes this way, so a start needs no libcurl
// (platform/curl_on_demand.cpp). Everything else (https, a proxy from the environment,
// a redirect to https, credentials in the address) is left to libcurl.
//
// Its rules are FetchUrl's: redirects followed (at most 10), an error status (400 and
// above) or a broken transfer is nothing fetched, a server silent for a minute or a body
// beyond the limit ends the download as a failure.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace nimbra::support {

struct PlainHttpLimits {
    size_t body = 64u << 20;
    int redirects = 10;
    std::chrono::milliseconds connect{30'000};
    std::chrono::milliseconds silence{60'000};
};

enum class PlainHttpOutcome {
    fetched,       // `body` holds the response body
    failed,        // nothing fetched
    needs_libcurl  // the address (`address`, after any redirects) is one for libcurl
};

// Fetches `address` (its scheme left out means http). On needs_libcurl, `address` is
// the address libcurl should take on from.
PlainHttpOutcome plain_http_get(std::string& address, std::string& body, const PlainHttpLimits& limits = {});

// True when the environment names a proxy that libcurl would use for http addresses.
bool environment_names_http_proxy();

}  // namespace nimbra::support
