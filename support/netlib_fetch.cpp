#include "support/netlib_fetch.h"

#include <curl/curl.h>

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

}  // namespace

void prepare_fetching() { curl_global_init(CURL_GLOBAL_DEFAULT); }

bool fetch(const char* address, std::string& body)
{
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

}  // namespace nimbra::support
