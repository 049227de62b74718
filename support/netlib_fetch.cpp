#include "support/netlib_fetch.h"

#include <curl/curl.h>

#include <mutex>

#include "support/plain_http.h"

namespace nimbra::support {

namespace {

size_t append_body(char* data, size_t size, size_t count, void* body_ptr)
{
    auto* body = static_cast<std::string*>(body_ptr);
    size_t bytes = size * count;
    if (body->size() + bytes > kFetchBodyLimit)
        return 0;  // makes curl fail the transfer
    body->append(data, bytes);
    return bytes;
}

// libcurl and its thirty libraries are loaded on the first address netlib cannot fetch
// itself, not at start (platform/curl_on_demand.h).
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

}  // namespace

void prepare_fetching() {}

// Plain http addresses reached directly are fetched by netlib itself (plain_http.h);
// libcurl takes the rest: https, proxies, credentials.
bool fetch(const char* address, std::string& body)
{
    std::string from(address);
    switch (plain_http_get(from, body, PlainHttpLimits{kFetchBodyLimit})) {
    case PlainHttpOutcome::fetched: return true;
    case PlainHttpOutcome::failed: return false;
    case PlainHttpOutcome::needs_libcurl: break;
    }
    body.clear();
    return fetch_with_libcurl(from.c_str(), body);
}

}  // namespace nimbra::support
