#include "platform/wininet/request.h"

#include "platform/wininet/text.h"
#include "platform/wininet/wininet.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace nimbra::wininet {

namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for the network lasts before the loop looks again at cancellation
// and its own deadlines; libcurl wakes it earlier as soon as a socket is ready.
constexpr int kPollSliceMs = 100;
// What libcurl takes from the socket at a time (its default is 16 KB): a large body then
// costs a few dozen receives instead of hundreds.
constexpr long kReceiveBuffer = 256 * 1024;

bool is_token_char(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::strchr("!#$%&'*+-.^_`|~", c);
}

bool is_token(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), is_token_char); }

uint32_t error_of(CURLcode code)
{
    switch (code) {
    case CURLE_OK: return 0;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return kErrorNameNotResolved;
    case CURLE_COULDNT_CONNECT: return kErrorCannotConnect;
    case CURLE_OPERATION_TIMEDOUT: return kErrorTimeout;
    case CURLE_PEER_FAILED_VERIFICATION: return kErrorInvalidCa;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE: return kErrorSecureChannel;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR: return kErrorConnectionReset;
    case CURLE_PARTIAL_FILE: return kErrorConnectionAborted;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_OUT_OF_MEMORY:  // also how libcurl turns down a response head it will not hold
        return kErrorInvalidServerResponse;
    case CURLE_URL_MALFORMAT: return kErrorInvalidUrl;
    case CURLE_UNSUPPORTED_PROTOCOL: return kErrorUnrecognizedScheme;
    case CURLE_ABORTED_BY_CALLBACK: return kErrorOperationCancelled;
    default: return kErrorInternal;
    }
}

// The value of the first header `name` in a raw response head, trimmed.
std::string header_value(std::string_view head, std::string_view name)
{
    size_t at = head.find("\r\n");
    while (at != std::string_view::npos && at + 2 < head.size()) {
        size_t start = at + 2;
        size_t end = head.find("\r\n", start);
        std::string_view line = head.substr(start, end - start);
        size_t colon = line.find(':');
        if (colon != std::string_view::npos && iequals(trim(line.substr(0, colon)), name))
            return std::string(trim(line.substr(colon + 1)));
        at = end;
    }
    return {};
}

// `location` resolved against `base`; empty unless the result is an http or https URL.
std::string resolve_location(const std::string& base, const std::string& location)
{
    CURLU* url = curl_url();
    if (!url)
        return {};
    std::string result;
    char* scheme = nullptr;
    char* full = nullptr;
    if (curl_url_set(url, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
        curl_url_set(url, CURLUPART_URL, location.c_str(), CURLU_URLENCODE) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        (iequals(scheme, "http") || iequals(scheme, "https")) &&
        curl_url_get(url, CURLUPART_URL, &full, 0) == CURLUE_OK)
        result = full;
    curl_free(scheme);
    curl_free(full);
    curl_url_cleanup(url);
    return result;
}

std::string url_host(const std::string& url)
{
    CURLU* handle = curl_url();
    std::string host;
    char* part = nullptr;
    if (handle && curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_HOST, &part, 0) == CURLUE_OK)
        host = lower(part);
    curl_free(part);
    curl_url_cleanup(handle);
    return host;
}

bool bypasses_proxy(const std::vector<std::string>& bypass, const std::string& host)
{
    for (const std::string& entry : bypass) {
        if (entry == "<local>"       ? host.find('.') == std::string::npos
            : entry.starts_with('*') ? host.ends_with(std::string_view(entry).substr(1))
                                     : host == entry)
            return true;
    }
    return false;
}

}  // namespace

Request::Request(RequestSettings settings) : settings_(std::move(settings))
{
    multi_ = curl_multi_init();
    easy_ = curl_easy_init();
    if (!multi_ || !easy_) {
        if (easy_)
            curl_easy_cleanup(easy_);
        if (multi_)
            curl_multi_cleanup(multi_);
        throw std::bad_alloc();
    }
}

Request::~Request()
{
    stop_transfer();
    curl_easy_cleanup(easy_);
    curl_multi_cleanup(multi_);
    curl_slist_free_all(header_list_);
}

void Request::cancel()
{
    cancelled_ = true;
    curl_multi_wakeup(multi_);
}

uint32_t Request::fail(uint32_t error)
{
    phase_ = Phase::Failed;
    failure_ = error;
    stop_transfer();
    return error;
}

void Request::stop_transfer()
{
    if (in_multi_)
        curl_multi_remove_handle(multi_, easy_);
    in_multi_ = false;
}

// The caller's lines, split on CR LF (a bare LF counts too). A line that is not
// "name: value" is refused rather than sent, since it could only garble the request.
uint32_t Request::parse_caller_headers(std::string_view headers)
{
    caller_headers_.clear();
    if (headers.size() > kMaxRequestHeaders)
        return kErrorInvalidParameter;
    while (!headers.empty()) {
        size_t end = headers.find('\n');
        std::string_view line = headers.substr(0, end);
        headers = end == std::string_view::npos ? std::string_view() : headers.substr(end + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (trim(line).empty())
            continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || !is_token(line.substr(0, colon)) ||
            line.find('\r') != std::string_view::npos)
            return kErrorInvalidHeader;
        caller_headers_.push_back({lower(line.substr(0, colon)), std::string(line)});
    }
    return 0;
}

uint32_t Request::send(std::string_view headers, std::string_view body)
{
    std::lock_guard lock(mutex_);
    if (cancelled_)
        return kErrorOperationCancelled;
    stop_transfer();
    phase_ = Phase::Idle;
    final_head_.clear();
    if (uint32_t error = parse_caller_headers(headers))
        return fail(error);
    body_ = std::string(body);
    body_given_ = !body.empty() || settings_.verb == "POST" || settings_.verb == "PUT";
    verb_ = settings_.verb;
    hop_cookies_.clear();
    hops_ = 0;
    bool https = settings_.flags & kFlagSecure;
    uint32_t port = settings_.port ? settings_.port : (https ? kDefaultHttpsPort : 80);
    std::string host = settings_.host.find(':') != std::string::npos && settings_.host.front() != '['
                           ? "[" + settings_.host + "]"
                           : settings_.host;
    url_ = std::string(https ? "https://" : "http://") + host + ":" + std::to_string(port) + settings_.object;
    origin_host_ = url_host(url_);

    for (;;) {
        if (uint32_t error = start_hop())
            return fail(error);
        if (uint32_t error = pump(true))
            return fail(error);
        if (!hop_.head_done)
            return fail(failure_of_transfer() ? failure_of_transfer() : kErrorInvalidServerResponse);
        uint32_t error = 0;
        if (!follow_redirect(error))
            break;
        if (error)
            return fail(error);
    }
    final_head_ = hop_.head_block + "\r\n";
    phase_ = Phase::Body;
    return 0;
}

// After a hop's head: true when it was a redirect that is to be followed (url_ and
// verb_ are then set for the next hop), false when this response is the final one.
bool Request::follow_redirect(uint32_t& error)
{
    static constexpr uint32_t kRedirects[] = {301, 302, 303, 307, 308};
    if ((settings_.flags & kFlagNoAutoRedirect) ||
        std::find(std::begin(kRedirects), std::end(kRedirects), hop_.status) == std::end(kRedirects))
        return false;
    std::string location = header_value(hop_.head_block, "location");
    std::string next = location.empty() ? std::string() : resolve_location(url_, location);
    if (next.empty())
        return false;
    if (++hops_ > kMaxRedirects) {
        error = kErrorRedirectFailed;
        return true;
    }
    remember_hop_cookies();
    // As browsers do: 303 turns any request but HEAD into a GET, and 301 and 302 turn a
    // POST into one; the body is then left behind.
    if ((hop_.status == 303 && verb_ != "HEAD") || ((hop_.status == 301 || hop_.status == 302) && verb_ == "POST")) {
        verb_ = "GET";
        body_given_ = false;
    }
    url_ = next;
    return true;
}

// Cookies that a redirect response sets go out with the later hops of the same request,
// as a browser would send them; like all server-set cookies they do not enter the
// process store.
void Request::remember_hop_cookies()
{
    auto url = parse_cookie_url(url_);
    if (!url)
        return;
    size_t at = hop_.head_block.find("\r\n");
    while (at != std::string::npos && at + 2 < hop_.head_block.size()) {
        size_t start = at + 2;
        size_t end = hop_.head_block.find("\r\n", start);
        std::string_view line = std::string_view(hop_.head_block).substr(start, end - start);
        if (istarts_with(line, "set-cookie:"))
            hop_cookies_.set(*url, "", trim(line.substr(11)), std::time(nullptr));
        at = end;
    }
}

std::string Request::proxy_for(const std::string& url) const
{
    const std::string& proxy =
        istarts_with(url, "https://") ? settings_.session.https_proxy : settings_.session.http_proxy;
    if (proxy.empty() || bypasses_proxy(settings_.session.bypass, url_host(url)))
        return {};
    return "http://" + proxy;
}

curl_slist* Request::build_header_list(bool with_body)
{
    auto has = [this](std::string_view name) {
        return std::any_of(caller_headers_.begin(), caller_headers_.end(),
                           [&](const HeaderLine& h) { return h.name == name; });
    };
    std::vector<std::string> lines;
    if (!settings_.session.agent.empty() && !has("user-agent"))
        lines.push_back("User-Agent: " + settings_.session.agent);
    if (!settings_.referrer.empty() && !has("referer"))
        lines.push_back("Referer: " + settings_.referrer);
    if (!settings_.accept.empty() && !has("accept"))
        lines.push_back("Accept: " + settings_.accept);

    std::string cookies;
    if (!(settings_.flags & kFlagNoCookies)) {
        if (auto url = parse_cookie_url(url_)) {
            time_t now = std::time(nullptr);
            cookies = process_cookie_store().header_for(*url, now);
            std::string from_hops = hop_cookies_.header_for(*url, now);
            if (!from_hops.empty())
                cookies += (cookies.empty() ? "" : "; ") + from_hops;
        }
    }
    for (const HeaderLine& h : caller_headers_) {
        // The body's length is always the real one; a body left behind by a redirect
        // takes its type along.
        if (h.name == "content-length" || (!with_body && h.name == "content-type" && !body_.empty()))
            continue;
        std::string line = h.line;
        if (h.name == "cookie" && !cookies.empty()) {
            line += "; " + cookies;
            cookies.clear();
        }
        // libcurl reads "Name:" as "leave this header out" and "Name;" as the empty value.
        if (trim(std::string_view(line).substr(h.name.size() + 1)).empty())
            line = line.substr(0, h.name.size()) + ";";
        lines.push_back(std::move(line));
    }
    if (!cookies.empty())
        lines.push_back("Cookie: " + cookies);
    // Leave out what libcurl would add of its own accord and WinINet does not send.
    if (!has("accept") && settings_.accept.empty())
        lines.push_back("Accept:");
    if (!has("expect"))
        lines.push_back("Expect:");
    if (with_body && !has("content-type"))
        lines.push_back("Content-Type:");

    curl_slist* list = nullptr;
    for (const std::string& line : lines) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (!grown) {
            curl_slist_free_all(list);
            return nullptr;
        }
        list = grown;
    }
    return list;
}

uint32_t Request::start_hop()
{
    stop_transfer();
    curl_easy_reset(easy_);
    hop_ = Hop{};
    hop_.started = Clock::now();
    hop_.send_body = body_given_;
    curl_slist_free_all(header_list_);
    header_list_ = build_header_list(hop_.send_body);
    if (!header_list_)
        return kErrorNotEnoughMemory;

    CURL* e = easy_;
    curl_easy_setopt(e, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, settings_.http10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, header_list_);
    // Empty means no proxy at all, whatever the environment says.
    std::string proxy = proxy_for(url_);
    curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings_.session.timeouts.connect.count()));
    if (const char* ca = std::getenv("NIMBRA_WININET_CA_FILE"); ca && *ca)
        curl_easy_setopt(e, CURLOPT_CAINFO, ca);

    // The connection's credentials go only to its own host, never to where a redirect leads.
    if (!settings_.user.empty() && url_host(url_) == origin_host_) {
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(e, CURLOPT_USERNAME, settings_.user.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, settings_.password.c_str());
    }

    if (verb_ == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (hop_.send_body) {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, body_.data());
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
        if (verb_ != "POST")
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, verb_.c_str());
    } else {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
        if (verb_ != "GET")
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, verb_.c_str());
    }

    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Request::on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Request::on_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Request::on_progress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &Request::on_connected);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, this);

    if (curl_multi_add_handle(multi_, e) != CURLM_OK)
        return kErrorInternal;
    in_multi_ = true;
    return 0;
}

size_t Request::on_header(char* data, size_t size, size_t count, void* self_pointer)
{
    auto* self = static_cast<Request*>(self_pointer);
    size_t bytes = size * count;
    std::string_view line(data, bytes);
    self->hop_.last_activity = Clock::now();
    self->hop_.head_bytes += bytes;
    if (bytes > kMaxHeaderLine || self->hop_.head_bytes > kMaxResponseHeaders) {
        self->hop_.callback_error = kErrorInvalidServerResponse;
        return 0;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
        // A new response begins: after an interim 1xx or an authentication round.
        self->hop_.head_block.clear();
        self->hop_.head_done = false;
        size_t space = line.find(' ');
        self->hop_.status = space == std::string_view::npos
                                ? 0
                                : static_cast<uint32_t>(std::atoi(std::string(line.substr(space + 1, 3)).c_str()));
    } else if (line.empty()) {
        if (self->hop_.status >= 200)
            self->hop_.head_done = true;
        return bytes;
    }
    self->hop_.head_block.append(line);
    self->hop_.head_block += "\r\n";
    return bytes;
}

size_t Request::on_body(char* data, size_t size, size_t count, void* self_pointer)
{
    auto* self = static_cast<Request*>(self_pointer);
    size_t bytes = size * count;
    if (self->cancelled_)
        return CURL_WRITEFUNC_ERROR;
    self->hop_.last_activity = Clock::now();
    if (self->buffered() >= kMaxBufferedBody) {
        self->hop_.paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (self->hop_.buffer_start > 0 && self->hop_.buffer_start >= self->hop_.buffer.size() / 2) {
        self->hop_.buffer.erase(0, self->hop_.buffer_start);
        self->hop_.buffer_start = 0;
    }
    self->hop_.buffer.append(data, bytes);
    return bytes;
}

int Request::on_progress(void* self_pointer, int64_t, int64_t, int64_t, int64_t uploaded)
{
    auto* self = static_cast<Request*>(self_pointer);
    if (uploaded != self->hop_.uploaded) {
        self->hop_.uploaded = uploaded;
        self->hop_.last_activity = Clock::now();
    }
    return self->cancelled_ ? 1 : 0;
}

int Request::on_connected(void* self_pointer, char*, char*, int, int)
{
    auto* self = static_cast<Request*>(self_pointer);
    self->hop_.connected = true;
    self->hop_.connected_at = self->hop_.last_activity = Clock::now();
    return CURL_PREREQFUNC_OK;
}

uint32_t Request::failure_of_transfer() const
{
    if (hop_.callback_error)
        return hop_.callback_error;
    if (cancelled_)
        return kErrorOperationCancelled;
    return error_of(static_cast<CURLcode>(hop_.transfer_result));
}

// Drives the transfer until the head is complete (for_headers) or some body bytes are
// buffered, or the transfer has ended either way. Returns an error only for what the
// transfer's own result cannot say: cancellation, libcurl trouble and the timeouts kept
// here. libcurl keeps the connect timeout; silence and the head's total time are kept
// here, since between the caller's reads nobody drives the transfer and that time must
// not count as the server's silence.
uint32_t Request::pump(bool for_headers)
{
    auto ready = [&] { return hop_.transfer_done || (for_headers ? hop_.head_done : buffered() > 0); };
    const Timeouts& timeouts = settings_.session.timeouts;
    hop_.last_activity = Clock::now();
    if (hop_.paused && buffered() < kMaxBufferedBody) {
        hop_.paused = false;
        curl_easy_pause(easy_, CURLPAUSE_CONT);
    }
    for (;;) {
        if (cancelled_)
            return kErrorOperationCancelled;
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK)
            return kErrorInternal;
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
                hop_.transfer_done = true;
                hop_.transfer_result = message->data.result;
            }
        }
        if (ready())
            return 0;
        if (hop_.paused)
            return 0;  // the buffer is full; the caller drains it first
        auto now = Clock::now();
        if (hop_.connected && now - hop_.last_activity > timeouts.receive)
            return kErrorTimeout;
        if (for_headers && hop_.connected && now - hop_.connected_at > timeouts.headers)
            return kErrorTimeout;
        // libcurl keeps the connect timeout; this only makes sure no stage goes unwatched.
        if (!hop_.connected && now - hop_.started > timeouts.connect + timeouts.receive)
            return kErrorTimeout;
        curl_multi_poll(multi_, nullptr, 0, kPollSliceMs, nullptr);
    }
}

uint32_t Request::read(void* buffer, uint32_t size, uint32_t& count)
{
    std::lock_guard lock(mutex_);
    count = 0;
    switch (phase_) {
    case Phase::Idle: return kErrorIncorrectHandleState;
    case Phase::Failed: return failure_;
    case Phase::Ended: return 0;
    case Phase::Body: break;
    }
    if (size == 0)
        return 0;
    if (buffered() == 0 && !hop_.transfer_done) {
        if (uint32_t error = pump(false))
            return fail(error);
    }
    if (buffered() > 0) {
        count = static_cast<uint32_t>(std::min<size_t>(size, buffered()));
        std::memcpy(buffer, hop_.buffer.data() + hop_.buffer_start, count);
        hop_.buffer_start += count;
        if (hop_.buffer_start == hop_.buffer.size()) {
            hop_.buffer.clear();
            hop_.buffer_start = 0;
        }
        return 0;
    }
    if (uint32_t error = failure_of_transfer())
        return fail(error);
    phase_ = Phase::Ended;
    stop_transfer();
    return 0;
}

uint32_t Request::raw_headers(std::string& out)
{
    std::lock_guard lock(mutex_);
    if (final_head_.empty())
        return kErrorIncorrectHandleState;
    out = final_head_;
    return 0;
}

uint32_t Request::status_code(uint32_t& out)
{
    std::lock_guard lock(mutex_);
    if (final_head_.empty())
        return kErrorIncorrectHandleState;
    out = hop_.status;
    return 0;
}

}  // namespace nimbra::wininet
