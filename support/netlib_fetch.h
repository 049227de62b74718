// netlib's download: a plain HTTP GET of an address, on the platform's HTTP client
// (libcurl on Linux, netlib_fetch.cpp; the system's WinINet on Windows,
// windows/netlib_fetch.cpp).
//
// A response with an error status (400 and above) counts as nothing fetched: its body is
// the server's error page, not what was asked for. Redirects are followed (at most 10).
// A server that stops sending for a minute, or a body beyond 64 MiB, ends the download
// as a failure: the caller waits on this call with its window unanswered, so it must end.
#pragma once

#include <cstddef>
#include <string>

namespace nimbra::support {

inline constexpr size_t kFetchBodyLimit = 64u << 20;

// Once, before the first fetch.
void prepare_fetching();

// `address` is the program's text (GBK). False on any failure; `body` is then not to be used.
bool fetch(const char* address, std::string& body);

}  // namespace nimbra::support
