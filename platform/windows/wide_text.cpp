#include "platform/windows/wide_text.h"

#include "platform/gbk_codec.h"

#include <windows.h>

namespace nimbra::platform {

// UTF-8 <-> UTF-16 is a fixed mapping; the system's converter for it (CP_UTF8) does not
// depend on the machine's settings.
std::wstring utf8_to_wide(std::string_view utf8)
{
    if (utf8.empty())
        return {};
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), length);
    return wide;
}

std::string wide_to_utf8(std::wstring_view wide)
{
    if (wide.empty())
        return {};
    int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), length, nullptr, nullptr);
    return utf8;
}

std::wstring gbk_to_wide(std::string_view gbk)
{
    return utf8_to_wide(*gbk::to_utf8(gbk, gbk::Charset::gbk, gbk::OnInvalid::replace));
}

std::string wide_to_gbk(std::wstring_view wide)
{
    return *gbk::from_utf8(wide_to_utf8(wide), gbk::Charset::gbk, gbk::OnInvalid::replace);
}

std::string system_error_text(unsigned long error)
{
    wchar_t* buffer = nullptr;
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = length ? wide_to_utf8(std::wstring_view(buffer, length)) : "";
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(error) : text + " (error " + std::to_string(error) + ")";
}

}  // namespace nimbra::platform
