// How a stand-in for a Windows DLL offers its functions to the kernel runtime.
//
// The image's DLL command table names a library ("wininet.dll") and a function in it.
// The runtime loads the stand-in "<library without .dll>.so" from its own directory and
// looks every function up in the table this entry returns. Each function carries the
// number of arguments it declares: the DLL-call service compares it with the number the
// caller passed, which is how a damaged stack shows on this platform.
#pragma once

#include <stdint.h>

namespace nimbra::platform {

struct DllExport {
    const char* name;
    void* address;
    uint32_t argument_count;
};

struct DllExports {
    const DllExport* entries;
    uint32_t count;
};

using DllExportsEntry = const DllExports* (*)();
inline constexpr const char* kDllExportsEntryName = "nimbra_dll_exports";

}  // namespace nimbra::platform
