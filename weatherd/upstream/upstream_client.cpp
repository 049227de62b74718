#include "weatherd/upstream/upstream_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace weatherd {

const char kUserAgent[] = "nimbra-weatherd/1.0 (Nimbra Weather's weather service)";

namespace {

struct Transfer {
    const Deadline* deadline = nullptr;
    std::string body;
    size_t limit = 0;
    bool too_long = false;
    std::optional<long> retry_after;
};

size_t take_body(char* data, size_t size, size_t count, void* context)
{
    auto* transfer = static_cast<Transfer*>(context);
    size_t bytes = size * count;
    if (transfer->body.size() + bytes > transfer->limit) {
        transfer->too_long = true;
        return 0;  // ends the transfer
    }
    transfer->body.append(data, bytes);
    return bytes;
}

// Only the seconds form of Retry-After is honoured; a date form is treated as absent.
size_t take_header(char* data, size_t size, size_t count, void* context)
{
    auto* transfer = static_cast<Transfer*>(context);
    std::string_view line(data, size * count);
    constexpr std::string_view kName = "retry-after:";
    if (line.size() > kName.size()) {
        bool match = true;
        for (size_t i = 0; i < kName.size() && match; ++i)
            match = std::tolower(static_cast<unsigned char>(line[i])) == kName[i];
        if (match) {
            std::string value(line.substr(kName.size()));
            char* end = nullptr;
            long seconds = std::strtol(value.c_str(), &end, 10);
            while (end && (*end == ' ' || *end == '\r' || *end == '\n'))
                ++end;
            if (end && *end == '\0' && seconds >= 0 && value.find_first_of("0123456789") != std::string::npos)
                transfer->retry_after = seconds;
        }
    }
    return size * count;
}

// Called by the transfer about once a second and at every piece: a stop ends it.
int check_stop(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Transfer*>(context)->deadline->stopping() ? 1 : 0;
}

struct CurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

}  // namespace

void upstream_client_init() { curl_global_init(CURL_GLOBAL_DEFAULT); }

UpstreamAnswer fetch_from_upstream(const std::string& url, const UpstreamLimits& limits, const Deadline& deadline)
{
    UpstreamAnswer answer;
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        answer.error = "cannot start a transfer";
        return answer;
    }
    Transfer transfer;
    transfer.deadline = &deadline;
    transfer.limit = limits.max_body_bytes;
    // A transfer the page's deadline ends early is not the provider's failure.
    double left = deadline.seconds_left();
    bool shortened = left < limits.total_seconds;
    double total = std::min(limits.total_seconds, left);
    if (total <= 0) {
        answer.error = "no time left to ask";
        answer.cut_short = true;
        return answer;
    }
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS,
                     std::max(1L, static_cast<long>(std::min(limits.connect_seconds, total) * 1000)));
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, std::max(1L, static_cast<long>(total * 1000)));
    curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, check_stop);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl.get(), CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, take_body);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, take_header);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &transfer);
    CURLcode result = curl_easy_perform(curl.get());
    if (result != CURLE_OK) {
        answer.error = transfer.too_long ? "answer longer than " + std::to_string(limits.max_body_bytes) + " bytes"
                                         : curl_easy_strerror(result);
        answer.cut_short = result == CURLE_ABORTED_BY_CALLBACK || (shortened && result == CURLE_OPERATION_TIMEDOUT);
        return answer;
    }
    answer.reached = true;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &answer.status);
    answer.body = std::move(transfer.body);
    answer.retry_after_seconds = transfer.retry_after;
    return answer;
}

}  // namespace weatherd
