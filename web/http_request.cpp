// The HTTP request engine on the WinINet functions of the DLL command table.
//
// Each call opens a root, a connection and a request handle, in that order, and their
// holders close them in the reverse order on every way out. The body grows in one block whose room
// doubles when it runs out, so a page costs time in proportion to its size however
// many 512-byte reads it takes.
#include "web/http_request.h"

#include "runtime/arrays.h"
#include "runtime/commands.h"
#include "runtime/owned.h"
#include "text/text_routines.h"
#include "web/url_parsing.h"

using namespace qx::rt;

namespace {

// WinINet's numbers, as the Windows headers name them.
constexpr uint32_t kOpenTypeDirect = 1;        // INTERNET_OPEN_TYPE_DIRECT
constexpr uint32_t kOpenTypeProxy = 3;         // INTERNET_OPEN_TYPE_PROXY
constexpr uint32_t kServiceHttp = 3;           // INTERNET_SERVICE_HTTP
constexpr uint32_t kFlagReload = 0x80000000;   // INTERNET_FLAG_RELOAD
constexpr uint32_t kFlagSecure = 0x00800000;   // INTERNET_FLAG_SECURE
constexpr uint32_t kQueryRawHeadersCrlf = 22;  // HTTP_QUERY_RAW_HEADERS_CRLF
constexpr uint32_t kHttpsPort = 443;

constexpr const char* kUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
constexpr const char* kAcceptLine =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
    "application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*\r\n";
constexpr const char* kLanguageLine = "Accept-Language: zh-cn\r\n";
constexpr const char* kFormTypeLine = "Content-Type: application/x-www-form-urlencoded\r\n";

constexpr int32_t kReadSize = 512;
constexpr int32_t kHeaderBufferSize = 1024;
// A response head the library reports as larger than this is not read for cookies.
constexpr uint32_t kLargestHeaderText = 1u << 20;
constexpr int32_t kFailureValueSize = 255;
// Beyond this a body no longer fits a byte set's 32-bit size with room to spare.
constexpr uint32_t kLargestBody = 0x7fff0000u;
// A response body is kept whole, and the page builders copy it about twice more, so a
// body that never ends would take the machine's memory before the byte-set limit above.
// Reading stops here, 256 MB, thousands of times a real page, and keeps what it read.
constexpr uint32_t kLargestResponseBody = 256u << 20;

void* failure_value() { return BlankBytes(kFailureValueSize); }

// ---- the body ----

// A byte set under construction: the block has room for `capacity` bytes after its
// two header words; only `length` of them are filled.
struct GrowingBody {
    uint8_t* block = nullptr;
    uint32_t length = 0;
    uint32_t capacity = 0;
};

// Makes room for `extra` more bytes; false when the body would grow too large.
bool make_room(GrowingBody& body, uint32_t extra)
{
    if (extra > kLargestBody - body.length)
        return false;
    uint32_t needed = body.length + extra;
    if (needed <= body.capacity)
        return true;
    uint32_t capacity = body.capacity < 4096 ? 4096 : body.capacity;
    while (capacity < needed)
        capacity = capacity > kLargestBody / 2 ? kLargestBody : capacity * 2;
    void* moved = body.block ? Reallocate(body.block, 8 + capacity) : Allocate(8 + capacity);
    if (!moved)
        return false;
    body.block = static_cast<uint8_t*>(moved);
    body.capacity = capacity;
    return true;
}

// The finished byte set, exactly `length` bytes long; null when nothing was read.
void* finish(GrowingBody& body)
{
    if (body.length == 0) {
        Free(body.block);
        return nullptr;
    }
    void* block = Reallocate(body.block, uint32_t(qx::array_block_size(body.length, 1)));
    qx::write_array_header(block, body.length);
    body.block = nullptr;
    return block;
}

// ---- texts ----

bool is_empty(const char* text) { return !text || !*text; }

// The caller's text by reference gets `tail` appended; its old block is freed.
void append_text(char** text, const char* tail)
{
    char* joined = JoinTexts(*text, tail);
    Free(*text);
    *text = joined;
}

bool contains_header(const char* headers, const char* name) { return FindText(headers, name, 1, true) != -1; }

bool begins_with_ignoring_case(const char* text, const char* prefix)
{
    Text head(LeftText(text, TextByteCount(prefix)));
    return CompareText(head.get(), prefix, true) == 0;
}

// ---- the steps of one exchange ----

uint32_t open_root(const char* proxy)
{
    Text stripped(KernelCommand0x178(proxy));
    if (TextLength(stripped.get()) == 0)
        return CallDll<qx::kDllInternetOpen>(kUserAgent, kOpenTypeDirect, "", "", 0u);
    Text proxy_list(JoinTexts("http=", proxy));
    return CallDll<qx::kDllInternetOpen>(kUserAgent, kOpenTypeProxy, proxy_list.get(), "", 0u);
}

// The host goes to the connection without ":port": the port travels on its own.
uint32_t open_connection(uint32_t root, const char* host, uint32_t port)
{
    int32_t colon = FindText(host, ":", 1, false);
    Text bare_host(colon > 0 ? LeftText(host, colon - 1) : JoinTexts(host));
    return CallDll<qx::kDllInternetConnect>(root, bare_host.get(), port, "", "", kServiceHttp, 0u, 0u);
}

// A WinINet handle, closed when its holder goes out of scope; 0 (a failed open) holds
// nothing. Holders of one exchange are declared root first, so they close in reverse.
class InternetHandle {
public:
    explicit InternetHandle(uint32_t handle) : handle_(handle) {}
    ~InternetHandle()
    {
        if (handle_ != 0)
            CallDll<qx::kDllInternetCloseHandle>(handle_);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;

    uint32_t get() const { return handle_; }
    explicit operator bool() const { return handle_ != 0; }

private:
    uint32_t handle_;
};

// The default lines the caller's headers lack, appended to the caller's text.
void complete_headers(char** headers, const char* url)
{
    if (!contains_header(*headers, "Accept: "))
        append_text(headers, kAcceptLine);
    if (!contains_header(*headers, "Referer: ")) {
        Text line(JoinTexts("Referer: ", url, "\r\n"));
        append_text(headers, line.get());
    }
    if (!contains_header(*headers, "Accept-Language: "))
        append_text(headers, kLanguageLine);
}

enum class Method { Get, Post, Unknown };

Method method_of(const char* method)
{
    if (CompareTextBytes(method, "") == 0 || CompareTextBytes(method, "GET") == 0)
        return Method::Get;
    if (CompareTextBytes(method, "POST") == 0)
        return Method::Post;
    return Method::Unknown;
}

bool send(uint32_t request, Method method, char** headers, const char* body)
{
    const char* optional = "";
    int32_t optional_length = 0;
    if (method == Method::Post && !is_empty(body)) {
        optional = body;
        optional_length = TextLength(body);
        Text length_text(ToText(optional_length));
        Text length_line(JoinTexts("Content-Length: ", length_text.get(), "\r\n"));
        append_text(headers, kFormTypeLine);
        append_text(headers, length_line.get());
    }
    return CallDll<qx::kDllHttpSendRequest>(request, *headers, TextLength(*headers), optional, optional_length) != 0;
}

// Reads until the body ends or a read fails; the bytes that arrived are kept either way.
void read_body(uint32_t request, GrowingBody& body)
{
    for (;;) {
        if (body.length >= kLargestResponseBody || !make_room(body, kReadSize))
            return;
        // Other handlers (another button's fetch too) run while the page comes in.
        ProcessEvents();
        uint32_t count = 0;
        uint32_t ok =
            CallDll<qx::kDllInternetReadFile>(request, body.block + 8 + body.length, uint32_t(kReadSize), &count);
        if (!ok || count == 0 || count > uint32_t(kReadSize))
            return;
        body.length += count;
    }
}

// The raw response head, lines ending in CR LF; only blanks when the query failed. A
// head too large for the usual buffer is asked for again with the size it needs, so its
// cookies are not lost.
char* query_headers(uint32_t request)
{
    char* buffer = BlankText(kHeaderBufferSize);
    uint32_t length = kHeaderBufferSize;
    if (CallDll<qx::kDllHttpQueryInfo>(request, kQueryRawHeadersCrlf, buffer, &length, nullptr) != 0)
        return buffer;
    if (length <= uint32_t(kHeaderBufferSize) || length > kLargestHeaderText)
        return buffer;
    Free(buffer);
    buffer = BlankText(int32_t(length));
    CallDll<qx::kDllHttpQueryInfo>(request, kQueryRawHeadersCrlf, buffer, &length, nullptr);
    return buffer;
}

// Position of the first byte after "Set-Cookie:" and the blanks behind it, or 0 when
// the line is not a Set-Cookie line.
int32_t cookie_start(const char* line)
{
    constexpr const char* kName = "Set-Cookie:";
    if (!begins_with_ignoring_case(line, kName))
        return 0;
    int32_t at = TextByteCount(kName);
    while (line[at] == ' ' || line[at] == '\t')
        ++at;
    return at + 1;
}

// Records one "Set-Cookie:" line: the name before the first "=", the data (value and
// attributes) after it. A line without a name and "=" is no cookie.
void record_cookie(const char* cookie_address, const char* line)
{
    int32_t start = cookie_start(line);
    if (start == 0)
        return;
    Text cookie(RightText(line, TextLength(line) - start + 1));
    int32_t eq = FindText(cookie.get(), "=", 1, false);
    if (eq <= 1)
        return;
    Text name(LeftText(cookie.get(), eq - 1));
    Text data(RightText(cookie.get(), TextLength(cookie.get()) - eq));
    CallDll<qx::kDllInternetSetCookie>(cookie_address, name.get(), data.get());
}

void record_cookies(const char* header_text, const char* cookie_address)
{
    if (FindText(header_text, "Set-Cookie:", 1, true) <= 0)
        return;
    int32_t file = OpenMemoryFile();
    WriteTextToFile(file, header_text);
    SeekFileStart(file);
    while (!AtFileEnd(file)) {
        Text line(ReadLine(file));
        record_cookie(cookie_address, line.get());
    }
    CloseFile(file);
}

// The exchange once the URL is split.
void* exchange(const char* url, const char* host, const char* path, bool secure, const char* method, const char* proxy,
               char** headers, const char* body)
{
    GrowingBody received;
    Text header_text;
    {
        InternetHandle root(open_root(proxy));
        if (!root)
            return failure_value();

        bool names_port = FindText(host, ":", 1, false) > 0;
        uint32_t port = secure && !names_port ? kHttpsPort : uint32_t(UrlPort(url));
        InternetHandle connection(open_connection(root.get(), host, port));
        if (!connection)
            return failure_value();

        const char* verb = is_empty(method) ? nullptr : method;
        uint32_t flags = kFlagReload | (secure ? kFlagSecure : 0u);
        InternetHandle request(
            CallDll<qx::kDllHttpOpenRequest>(connection.get(), verb, path, "HTTP/1.1", "", nullptr, flags, 0u));
        if (!request)
            return failure_value();

        complete_headers(headers, url);
        Method kind = method_of(method);
        if (kind == Method::Unknown || !send(request.get(), kind, headers, body))
            return failure_value();

        read_body(request.get(), received);
        header_text = Text(query_headers(request.get()));
    }  // the request, the connection and the root are closed here, in that order

    Text cookie_address(JoinTexts(secure ? "https://" : "http://", host));
    record_cookies(header_text.get(), cookie_address.get());
    return finish(received);
}

}  // namespace

extern "C" {

void* JoinByteSets(int32_t count, const void* const* byte_sets)
{
    uint64_t total = 0;
    for (int32_t i = 0; i < count; ++i)
        total += ArrayElementCount(byte_sets[i]);
    if (total == 0 || total > kLargestBody)
        return nullptr;

    void* block = Allocate(uint32_t(qx::array_block_size(uint32_t(total), 1)));
    if (!block)
        return nullptr;
    qx::write_array_header(block, uint32_t(total));
    uint8_t* out = array_elements(block);
    for (int32_t i = 0; i < count; ++i) {
        uint32_t size = ArrayElementCount(byte_sets[i]);
        if (size == 0)
            continue;
        __builtin_memcpy(out, array_elements(byte_sets[i]), size);
        out += size;
    }
    return block;
}

void* HttpRequest(char** url, const char* method, const char* proxy, char** headers, const char* body)
{
    // Left-out texts by reference stand in as texts of our own, freed at the end.
    char* own_url = nullptr;
    char* own_headers = nullptr;
    if (!url)
        url = &own_url;
    if (!headers)
        headers = &own_headers;

    // The scheme decides TLS, and it is gone from the URL once the host is taken.
    bool secure = begins_with_ignoring_case(*url, "https://");
    Text host(UrlHost(url));
    Text path(UrlPath(url));
    void* result = exchange(*url, host.get(), path.get(), secure, method, proxy, headers, body);

    Free(own_url);
    Free(own_headers);
    return result;
}

char* FetchPageText(char** url)
{
    char* headers = nullptr;
    void* bytes;
    Text head4(LeftText(*url, 4));
    Text head3(LeftText(*url, 3));
    if (CompareTextBytes(head4.get(), "http") != 0 && CompareTextBytes(head3.get(), "www") == 0) {
        char* full = JoinTexts("http://", *url);
        bytes = HttpRequest(&full, "", "", &headers, "");
        Free(full);
    } else {
        bytes = HttpRequest(url, "", "", &headers, "");
    }
    Free(headers);

    char* text = ToText(ByteSetArg{bytes});
    Free(bytes);
    return text;
}

}  // extern "C"
