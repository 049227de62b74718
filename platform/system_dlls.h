// The DLLs of the image's DLL command table that the system itself supplies.
//
// On Windows "wininet.dll" is the system's WinINet, reached through a table of our own
// (platform/windows/system_wininet.cpp): each function with the number of arguments it
// declares, and handles turned into 32-bit numbers for the image. On Linux the system has
// none of them, and the runtime loads its stand-ins instead.
#pragma once

#include "platform/dll_exports.h"

#include <string>

namespace nimbra::platform {

// The table for `library` (a name as the image writes it, "wininet.dll"), or null when
// the system does not supply it.
const DllExports* system_dll_exports(const std::string& library);

}  // namespace nimbra::platform
