// The HTTP functions the program's DLL command table names, as this platform supplies
// them. Handles are 32-bit numbers; 0 means failure.
//
// This first version only declares the functions and their argument counts: every call
// fails cleanly, so a request made through them ends with the request engine's failure
// value. The transfer itself comes with the libcurl-based implementation.
#include "platform/dll_exports.h"

#include <stdint.h>

namespace {

uint32_t InternetOpenA(const char*, uint32_t, const char*, const char*, uint32_t)
{
    return 0;
}

uint32_t InternetConnectA(uint32_t, const char*, uint32_t, const char*, const char*, uint32_t, uint32_t, uint32_t)
{
    return 0;
}

uint32_t HttpOpenRequestA(uint32_t, const char*, const char*, const char*, const char*, const char**, uint32_t, uint32_t)
{
    return 0;
}

uint32_t HttpSendRequestA(uint32_t, const char*, uint32_t, const void*, uint32_t)
{
    return 0;
}

uint32_t InternetReadFile(uint32_t, void*, uint32_t, uint32_t* read)
{
    if (read)
        *read = 0;
    return 0;
}

uint32_t HttpQueryInfoA(uint32_t, uint32_t, void*, uint32_t*, uint32_t*)
{
    return 0;
}

uint32_t InternetCloseHandle(uint32_t)
{
    return 0;
}

uint32_t InternetSetCookieA(const char*, const char*, const char*)
{
    return 0;
}

using nimbra::platform::DllExport;

#define EXPORT(function, count) {#function, reinterpret_cast<void*>(&function), count}
const DllExport kExports[] = {
    EXPORT(InternetOpenA, 5),
    EXPORT(InternetConnectA, 8),
    EXPORT(HttpOpenRequestA, 8),
    EXPORT(HttpSendRequestA, 5),
    EXPORT(InternetReadFile, 4),
    EXPORT(HttpQueryInfoA, 5),
    EXPORT(InternetCloseHandle, 1),
    EXPORT(InternetSetCookieA, 3),
};
#undef EXPORT

const nimbra::platform::DllExports kTable = {kExports, sizeof kExports / sizeof kExports[0]};

}  // namespace

extern "C" __attribute__((visibility("default"))) const nimbra::platform::DllExports* nimbra_dll_exports()
{
    return &kTable;
}
