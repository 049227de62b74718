// Shared libraries loaded at run time: the runtime by the launcher, the support libraries
// and DLL stand-ins by the runtime. Paths are UTF-8 (the system's own form on Linux;
// made wide for the system on Windows).
#pragma once

#include <string>

namespace nimbra::platform {

// The library, loaded with all it needs; null with `error` set (the system's words and
// the path) when it cannot be.
void* open_shared_library(const std::string& path, std::string* error);

// The address of an exported function or object; null when the library has none.
void* shared_library_symbol(void* library, const char* name);

void close_shared_library(void* library);

// An object or function the running executable exports; null when it has none.
void* executable_symbol(const char* name);

}  // namespace nimbra::platform
