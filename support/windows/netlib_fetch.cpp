// netlib's download on the system's WinINet (netlib_fetch.h). The address goes to the
// system as UTF-16 through our own GBK converter, never through the ANSI code page.
#include "support/netlib_fetch.h"

#include "platform/windows/wide_text.h"

#include <windows.h>
#include <wininet.h>

namespace nimbra::support {

namespace {

constexpr DWORD kConnectTimeoutMs = 30000;
// No byte for a minute ends the download.
constexpr DWORD kReceiveTimeoutMs = 60000;
constexpr int kMaxRedirects = 10;

class Handle {
public:
    explicit Handle(HINTERNET h) : h_(h) {}
    ~Handle()
    {
        if (h_)
            InternetCloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HINTERNET get() const { return h_; }

private:
    HINTERNET h_;
};

bool is_web_address(const std::wstring& address)
{
    return _wcsnicmp(address.c_str(), L"http://", 7) == 0 || _wcsnicmp(address.c_str(), L"https://", 8) == 0;
}

// The Location of a redirect, or empty.
std::wstring location_of(HINTERNET request)
{
    wchar_t buffer[2048];
    DWORD bytes = sizeof buffer;
    if (!HttpQueryInfoW(request, HTTP_QUERY_LOCATION, buffer, &bytes, nullptr))
        return {};
    return std::wstring(buffer, bytes / sizeof(wchar_t));
}

}  // namespace

void prepare_fetching() {}

bool fetch(const char* address, std::string& body)
{
    std::wstring url = nimbra::platform::gbk_to_wide(address);
    Handle session(InternetOpenW(L"netlib", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session.get())
        return false;
    DWORD connect_timeout = kConnectTimeoutMs, receive_timeout = kReceiveTimeoutMs;
    InternetSetOptionW(session.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connect_timeout, sizeof connect_timeout);
    InternetSetOptionW(session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &receive_timeout, sizeof receive_timeout);
    // Redirects are followed here, not by WinINet: each one must stay on http or https
    // and their number is bounded.
    for (int hop = 0; hop <= kMaxRedirects; ++hop) {
        if (!is_web_address(url))
            return false;
        Handle request(InternetOpenUrlW(session.get(), url.c_str(), nullptr, 0,
                                        INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_UI | INTERNET_FLAG_RELOAD,
                                        0));
        if (!request.get())
            return false;
        DWORD status = 0, length = sizeof status;
        if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr))
            return false;
        if (status >= 300 && status < 400) {
            std::wstring next = location_of(request.get());
            // A relative Location counts from the address that gave it.
            wchar_t combined[2048];
            DWORD combined_length = sizeof combined / sizeof combined[0];
            if (next.empty() || !InternetCombineUrlW(url.c_str(), next.c_str(), combined, &combined_length, 0))
                return false;
            url.assign(combined, combined_length);
            continue;
        }
        if (status >= 400)
            return false;
        body.clear();
        char buffer[16384];
        for (;;) {
            DWORD got = 0;
            if (!InternetReadFile(request.get(), buffer, sizeof buffer, &got))
                return false;
            if (got == 0)
                return true;
            if (body.size() + got > kFetchBodyLimit)
                return false;
            body.append(buffer, got);
        }
    }
    return false;
}

}  // namespace nimbra::support
