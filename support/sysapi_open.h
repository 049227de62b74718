// Handing an address to the desktop without waiting for it (sysapi's OpenWebPage): with
// xdg-open on Linux (sysapi_open.cpp), with the shell's ShellExecuteW on Windows
// (windows/sysapi_open.cpp).
#pragma once

namespace nimbra::support {

// `opener`: a program to run with the address as its one argument instead of the
// desktop's own opener; null for the desktop's. `address` is a checked web address.
void launch_opener(const char* opener, const char* address);

}  // namespace nimbra::support
