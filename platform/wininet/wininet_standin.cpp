// The HTTP functions the program's DLL command table names, as this platform supplies
// them (see platform/wininet/wininet.h and docs/wininet.md). Each carries the number of
// arguments it declares, which the DLL-call service checks.
#include "platform/dll_exports.h"
#include "platform/wininet/wininet.h"

namespace {

using nimbra::platform::DllExport;
namespace wininet = nimbra::wininet;

#define EXPORT(function, count)                                                                                        \
    {                                                                                                                  \
#function, reinterpret_cast < void*>(&wininet::function), count                                                \
    }
const DllExport kExports[] = {
    EXPORT(InternetOpenA, 5),       EXPORT(InternetConnectA, 8),   EXPORT(HttpOpenRequestA, 8),
    EXPORT(HttpSendRequestA, 5),    EXPORT(InternetReadFile, 4),   EXPORT(HttpQueryInfoA, 5),
    EXPORT(InternetCloseHandle, 1), EXPORT(InternetSetCookieA, 3),
};
#undef EXPORT

const nimbra::platform::DllExports kTable = {kExports, sizeof kExports / sizeof kExports[0]};

}  // namespace

extern "C" __attribute__((visibility("default"))) const nimbra::platform::DllExports* nimbra_dll_exports()
{
    return &kTable;
}
