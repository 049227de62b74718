// netlib: internet commands. The program uses one: FetchUrl, a plain HTTP GET whose body
// comes back as a byte set, empty when nothing could be fetched.
//
// A response with an error status (400 and above) counts as nothing fetched: its body is
// the server's error page, not what was asked for. Redirects are followed (at most 10). A server that stops sending for a minute, or a
// body beyond 64 MiB, ends the download as a failure: the caller waits on this call with
// its window unanswered, so it must end.
//
// Plain http addresses reached directly are fetched by netlib itself (plain_http.h);
// libcurl, loaded only then, takes the rest: https, proxies, credentials.
#include "support/plain_http.h"
#include "support/support_library.h"

#include <curl/curl.h>

#include <mutex>
#include <string>

namespace nimbra::support {
namespace {

const RuntimeServices* g_runtime = nullptr;

constexpr size_t kBodyLimit = 64u << 20;

size_t append_body(char* data, size_t size, size_t count, void* body_ptr)
{
    auto* body = static_cast<std::string*>(body_ptr);
    size_t bytes = size * count;
    if (body->size() + bytes > kBodyLimit)
        return 0;  // makes curl fail the transfer
    body->append(data, bytes);
    return bytes;
}

bool fetch_with_libcurl(const char* address, std::string& body)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL* curl = curl_easy_init();
    if (!curl)
        return false;
    curl_easy_setopt(curl, CURLOPT_URL, address);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    return result == CURLE_OK && status < 400;
}

bool fetch(const char* address, std::string& body)
{
    std::string from(address);
    switch (plain_http_get(from, body, PlainHttpLimits{kBodyLimit})) {
    case PlainHttpOutcome::fetched: return true;
    case PlainHttpOutcome::failed: return false;
    case PlainHttpOutcome::needs_libcurl: break;
    }
    body.clear();
    return fetch_with_libcurl(from.c_str(), body);
}

// FetchUrl(address) -> byte set: the body of the response; empty on any failure.
uint64_t FetchUrl(const qx::ArgBlock* args)
{
    std::string body;
    if (!fetch(text_argument(args, 0), body))
        return 0;
    return byte_set_result(g_runtime, body.data(), static_cast<uint32_t>(body.size()));
}

const Command kCommands[] = {
    {qx::kCmdFetchUrl, FetchUrl, "FetchUrl"},
};

const LibraryExports kExports = {kSupportAbiVersion, "netlib", kCommands, 1, nullptr};

}  // namespace
}  // namespace nimbra::support

extern "C" __attribute__((visibility("default"))) const nimbra::support::LibraryExports*
nimbra_support_library(const nimbra::support::RuntimeServices* runtime)
{
    nimbra::support::g_runtime = runtime;
    return &nimbra::support::kExports;
}
