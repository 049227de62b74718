// One HTTP request handle: the exchange behind HttpSendRequestA, InternetReadFile and
// HttpQueryInfoA, on a libcurl multi handle that the calling thread drives itself.
//
// Nothing runs in the background. Sending drives the transfer until the final response's
// headers are in (following redirects by hand, so that every hop gets its own cookies
// and proxy), each read drives it only until some body bytes are buffered or the body
// ends, and between calls the transfer rests: the socket's own buffers and TCP flow
// control hold the server back. Body bytes wait in a buffer of at most kMaxBufferedBody
// bytes; beyond that the transfer is paused.
#pragma once

#include "platform/wininet/cookies.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

typedef void CURL;
typedef void CURLM;
struct curl_slist;

namespace nimbra::wininet {

inline constexpr size_t kMaxHeaderLine = 64 * 1024;
inline constexpr size_t kMaxResponseHeaders = 256 * 1024;
inline constexpr size_t kMaxRequestHeaders = 256 * 1024;
inline constexpr size_t kMaxBufferedBody = 1024 * 1024;
inline constexpr int kMaxRedirects = 20;

struct Timeouts {
    std::chrono::milliseconds connect{60'000};
    std::chrono::milliseconds receive{30'000};  // longest silence while waiting for bytes
    std::chrono::milliseconds headers{60'000};  // the whole response head, once connected
};

// From InternetOpenA. An empty proxy means direct access for that scheme.
struct SessionSettings {
    std::string agent;
    std::string http_proxy;
    std::string https_proxy;
    std::vector<std::string> bypass;  // lower case; "<local>" and "*." suffixes as WinINet reads them
    Timeouts timeouts;
};

// Everything a request needs from its session, connection and HttpOpenRequestA.
struct RequestSettings {
    SessionSettings session;
    std::string host;   // lower case, no port
    uint32_t port = 0;  // 0: the scheme's default
    std::string user;
    std::string password;
    std::string verb;    // never empty
    std::string object;  // begins with "/", unsafe bytes escaped
    bool http10 = false;
    std::string referrer;
    std::string accept;  // from the accept types, empty for none
    uint32_t flags = 0;  // HttpOpenRequestA's flags with InternetConnectA's
};

class Request {
public:
    // Throws std::bad_alloc when libcurl cannot make its handles.
    explicit Request(RequestSettings settings);
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // Each returns 0 on success or the error number for the last error.
    uint32_t send(std::string_view headers, std::string_view body);
    uint32_t read(void* buffer, uint32_t size, uint32_t& count);
    // The final response's status line and headers, each ending in CR LF, and an empty
    // line; fails until the headers have arrived.
    uint32_t raw_headers(std::string& out);
    uint32_t status_code(uint32_t& out);

    // From any thread: a send or read under way gives up with kErrorOperationCancelled.
    void cancel();

private:
    enum class Phase { Idle, Body, Ended, Failed };
    struct HeaderLine {
        std::string name;
        std::string line;  // as the caller wrote it, without CR LF
    };

    static size_t on_header(char* data, size_t size, size_t count, void* self);
    static size_t on_body(char* data, size_t size, size_t count, void* self);
    static int on_progress(void* self, int64_t, int64_t, int64_t, int64_t uploaded);
    static int on_connected(void* self, char*, char*, int, int);

    uint32_t parse_caller_headers(std::string_view headers);
    uint32_t start_hop();
    curl_slist* build_header_list(bool with_body);
    std::string proxy_for(const std::string& url) const;
    uint32_t pump(bool for_headers);
    bool follow_redirect(uint32_t& error);
    void remember_hop_cookies();
    uint32_t failure_of_transfer() const;
    void stop_transfer();
    size_t buffered() const { return hop_.buffer.size() - hop_.buffer_start; }
    uint32_t fail(uint32_t error);

    const RequestSettings settings_;
    std::mutex mutex_;  // one send or read at a time
    std::atomic<bool> cancelled_{false};
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    curl_slist* header_list_ = nullptr;
    bool in_multi_ = false;

    // The exchange as the caller asked for it, and the hop under way.
    std::vector<HeaderLine> caller_headers_;
    std::string body_;
    bool body_given_ = false;
    std::string url_;
    std::string origin_host_;
    std::string verb_;
    int hops_ = 0;
    CookieStore hop_cookies_;  // set by redirect responses on the way

    Phase phase_ = Phase::Idle;
    uint32_t failure_ = 0;

    std::string final_head_;

    // One hop of the exchange: what its transfer has brought so far, filled by libcurl's
    // callbacks while the calling thread drives it. A new hop replaces it whole, so nothing
    // of a redirect's response (its head, a body byte, an error, a pause) reaches the next.
    struct Hop {
        bool send_body = false;
        std::string head_block;
        size_t head_bytes = 0;
        uint32_t status = 0;
        bool head_done = false;
        uint32_t callback_error = 0;
        std::string buffer;
        size_t buffer_start = 0;
        bool paused = false;
        bool transfer_done = false;
        int transfer_result = 0;
        bool connected = false;
        int64_t uploaded = 0;
        std::chrono::steady_clock::time_point last_activity;
        std::chrono::steady_clock::time_point connected_at;
        std::chrono::steady_clock::time_point started;
    };
    Hop hop_;
};

}  // namespace nimbra::wininet
