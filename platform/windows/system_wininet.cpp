// The image's WinINet commands on the system's own WinINet (platform/system_dlls.h).
//
// The image calls the eight functions by their ANSI names with GBK texts and keeps every
// handle in a 32-bit variable. So each function here:
//  - carries its argument count from a table of our own (the DLL-call service checks the
//    caller's count against it, as the stack check of the original calling convention
//    did), never one read from the system;
//  - turns the texts into UTF-16 with our own GBK converter and calls the …W function:
//    the ANSI functions would read them in the machine's ANSI code page, which is GBK on
//    few machines;
//  - hands the image a small number for each HINTERNET and takes it back: Windows does
//    not promise handle values that fit 32 bits.
// Failures leave the system's last error as the system set it.
#include "platform/system_dlls.h"

#include "platform/windows/wide_text.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace nimbra::platform {

namespace {

// ---- handles as the image sees them ----

class HandleTokens {
public:
    uint32_t add(HINTERNET handle)
    {
        std::lock_guard lock(mutex_);
        // Numbers count up and are not given out again until the counter wraps, so a
        // stale number fails rather than reaching a newer handle.
        do {
            ++next_;
        } while (next_ == 0 || handles_.count(next_));
        handles_[next_] = handle;
        return next_;
    }
    HINTERNET find(uint32_t token)
    {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(token);
        return it == handles_.end() ? nullptr : it->second;
    }
    HINTERNET take(uint32_t token)
    {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(token);
        if (it == handles_.end())
            return nullptr;
        HINTERNET handle = it->second;
        handles_.erase(it);
        return handle;
    }

private:
    std::mutex mutex_;
    std::unordered_map<uint32_t, HINTERNET> handles_;
    uint32_t next_ = 0;
};

HandleTokens& tokens()
{
    static HandleTokens* instance = new HandleTokens;  // outlives every caller
    return *instance;
}

uint32_t token_for(HINTERNET handle) { return handle ? tokens().add(handle) : 0; }

// The handle behind a token, or null with the system's error for a bad handle.
HINTERNET handle_of(uint32_t token)
{
    HINTERNET handle = tokens().find(token);
    if (!handle)
        SetLastError(ERROR_INVALID_HANDLE);
    return handle;
}

// ---- texts ----

std::wstring wide(const char* gbk) { return gbk ? gbk_to_wide(gbk) : std::wstring(); }

// Null stays null; so does the empty text where WinINet reads "" as a value of its own
// (a user name, a referrer).
std::optional<std::wstring> wide_or_none(const char* gbk)
{
    if (!gbk || !*gbk)
        return std::nullopt;
    return gbk_to_wide(gbk);
}

const wchar_t* pointer(const std::optional<std::wstring>& text) { return text ? text->c_str() : nullptr; }

// ---- the eight functions ----

uint32_t open_internet(const char* agent, uint32_t access_type, const char* proxy, const char* bypass, uint32_t flags)
{
    std::wstring agent_w = wide(agent);
    auto proxy_w = wide_or_none(proxy);
    auto bypass_w = wide_or_none(bypass);
    return token_for(InternetOpenW(agent_w.c_str(), access_type, pointer(proxy_w), pointer(bypass_w), flags));
}

uint32_t connect(uint32_t internet, const char* host, uint32_t port, const char* user, const char* password,
                 uint32_t service, uint32_t flags, uint32_t context)
{
    HINTERNET parent = handle_of(internet);
    if (!parent)
        return 0;
    std::wstring host_w = wide(host);
    auto user_w = wide_or_none(user);
    auto password_w = wide_or_none(password);
    return token_for(InternetConnectW(parent, host_w.c_str(), INTERNET_PORT(port), pointer(user_w), pointer(password_w),
                                      service, flags, context));
}

uint32_t open_request(uint32_t connection, const char* verb, const char* object, const char* version,
                      const char* referrer, const char** accept_types, uint32_t flags, uint32_t context)
{
    HINTERNET parent = handle_of(connection);
    if (!parent)
        return 0;
    auto verb_w = wide_or_none(verb);
    auto object_w = wide_or_none(object);
    auto version_w = wide_or_none(version);
    auto referrer_w = wide_or_none(referrer);
    std::vector<std::wstring> types;
    std::vector<const wchar_t*> type_pointers;
    if (accept_types) {
        for (const char** type = accept_types; *type; ++type)
            types.push_back(gbk_to_wide(*type));
        for (const std::wstring& type : types)
            type_pointers.push_back(type.c_str());
        type_pointers.push_back(nullptr);
    }
    return token_for(HttpOpenRequestW(parent, pointer(verb_w), pointer(object_w), pointer(version_w),
                                      pointer(referrer_w), accept_types ? type_pointers.data() : nullptr, flags,
                                      context));
}

uint32_t send_request(uint32_t request, const char* headers, uint32_t headers_length, void* optional,
                      uint32_t optional_length)
{
    HINTERNET handle = handle_of(request);
    if (!handle)
        return 0;
    // A length of all ones means "up to the NUL", as it does for the ANSI function.
    std::wstring headers_w;
    if (headers)
        headers_w = gbk_to_wide(headers_length == UINT32_MAX ? std::string_view(headers)
                                                             : std::string_view(headers, headers_length));
    return HttpSendRequestW(handle, headers ? headers_w.c_str() : nullptr, DWORD(headers_w.size()), optional,
                            optional_length);
}

uint32_t read_file(uint32_t request, void* buffer, uint32_t to_read, DWORD* read)
{
    HINTERNET handle = handle_of(request);
    if (!handle)
        return 0;
    return InternetReadFile(handle, buffer, to_read, read);
}

// A text answer is asked for in UTF-16 and handed over in GBK with the ANSI function's
// rules for the buffer: on success the length without the NUL; when the buffer is too
// small (or absent), error 122 and the length needed with it.
uint32_t query_info(uint32_t request, uint32_t level, void* buffer, DWORD* length, DWORD* index)
{
    HINTERNET handle = handle_of(request);
    if (!handle)
        return 0;
    if (!length) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (level & HTTP_QUERY_FLAG_NUMBER)
        return HttpQueryInfoW(handle, level, buffer, length, index);
    DWORD asked_index = index ? *index : 0;
    std::vector<wchar_t> answer(256);
    for (;;) {
        DWORD bytes = DWORD(answer.size() * sizeof(wchar_t));
        DWORD tried_index = asked_index;
        if (HttpQueryInfoW(handle, level, answer.data(), &bytes, index ? &tried_index : nullptr)) {
            std::string text = wide_to_gbk(std::wstring_view(answer.data(), bytes / sizeof(wchar_t)));
            DWORD needed = DWORD(text.size() + 1);
            if (!buffer || *length < needed) {
                *length = needed;
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            std::memcpy(buffer, text.c_str(), needed);
            *length = needed - 1;
            if (index)
                *index = tried_index;
            return 1;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return 0;
        answer.resize(bytes / sizeof(wchar_t) + 1);
    }
}

uint32_t close_handle(uint32_t token)
{
    HINTERNET handle = tokens().take(token);
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return InternetCloseHandle(handle);
}

uint32_t set_cookie(const char* url, const char* name, const char* data)
{
    std::wstring url_w = wide(url);
    auto name_w = wide_or_none(name);
    std::wstring data_w = wide(data);
    return InternetSetCookieW(url_w.c_str(), pointer(name_w), data_w.c_str());
}

// Each function by the name the image's table gives it, with the count of arguments its
// declaration has.
const DllExport kWininetExports[] = {
    {"InternetOpenA", reinterpret_cast<void*>(&open_internet), 5},
    {"InternetConnectA", reinterpret_cast<void*>(&connect), 8},
    {"HttpOpenRequestA", reinterpret_cast<void*>(&open_request), 8},
    {"HttpSendRequestA", reinterpret_cast<void*>(&send_request), 5},
    {"InternetReadFile", reinterpret_cast<void*>(&read_file), 4},
    {"HttpQueryInfoA", reinterpret_cast<void*>(&query_info), 5},
    {"InternetCloseHandle", reinterpret_cast<void*>(&close_handle), 1},
    {"InternetSetCookieA", reinterpret_cast<void*>(&set_cookie), 3},
};

const DllExports kWininet = {kWininetExports, sizeof kWininetExports / sizeof kWininetExports[0]};

bool same_name_ignoring_case(const std::string& a, const char* b)
{
    size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

}  // namespace

const DllExports* system_dll_exports(const std::string& library)
{
    return same_name_ignoring_case(library, "wininet.dll") || same_name_ignoring_case(library, "wininet") ? &kWininet
                                                                                                          : nullptr;
}

}  // namespace nimbra::platform
