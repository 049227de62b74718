// Libraries on Windows (platform/shared_library.h): LoadLibraryExW and GetProcAddress.
#include "platform/shared_library.h"

#include "platform/windows/wide_text.h"

#include <windows.h>

namespace nimbra::platform {

void* open_shared_library(const std::string& path, std::string* error)
{
    // The altered search looks for what the library needs beside it first, as the
    // runtime's libraries lie together; that search wants backslashes.
    std::wstring wide = utf8_to_wide(path);
    for (wchar_t& c : wide)
        if (c == L'/')
            c = L'\\';
    HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module && error)
        *error = path + ": " + system_error_text(GetLastError());
    return reinterpret_cast<void*>(module);
}

void* shared_library_symbol(void* library, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void close_shared_library(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

void* executable_symbol(const char* name) { return shared_library_symbol(GetModuleHandleW(nullptr), name); }

}  // namespace nimbra::platform
