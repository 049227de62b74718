// sysapi: system-interface commands. The program uses one: OpenWebPage, which hands an
// address to the desktop so that the user's own browser opens it.
//
// Only http:// and https:// addresses are opened: the address comes from a server's
// notice, and handing anything else (a file path, another scheme) to the desktop opener
// would let that server start local programs or open local files. A notice file saved
// with a final line break hands its address over with that line break: line breaks and
// blanks at the end are no part of an address and are left off; a control byte inside
// one refuses it.
//
// The opener is the desktop's (sysapi_open.h), or the program named by NIMBRA_OPEN_WITH;
// an empty NIMBRA_OPEN_WITH opens nothing (for tests and unattended runs). Every address is
// reported to the runtime first, opened or not.
#include "support/support_library.h"
#include "support/sysapi_open.h"

#include <stdlib.h>
#include <strings.h>

#include <string>

namespace nimbra::support {
namespace {

const RuntimeServices* g_runtime = nullptr;

bool is_web_address(const char* address)
{
    return strncasecmp(address, "http://", 7) == 0 || strncasecmp(address, "https://", 8) == 0;
}

bool is_trailing_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The address without the line breaks and blanks it ends in.
std::string without_trailing_blanks(const char* address)
{
    std::string trimmed = address;
    while (!trimmed.empty() && is_trailing_blank(trimmed.back()))
        trimmed.pop_back();
    return trimmed;
}

// An address is one line: control bytes would let it carry more than one argument's worth
// of meaning to the opener.
bool is_single_line(const std::string& address)
{
    for (char c : address) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

// OpenWebPage(address): the result is ignored by callers.
uint64_t OpenWebPage(const qx::ArgBlock* args)
{
    const char* given = text_argument(args, 0);
    if (g_runtime && g_runtime->note_opened_address)
        g_runtime->note_opened_address(given);
    std::string address = without_trailing_blanks(given);
    if (!is_web_address(address.c_str()) || !is_single_line(address))
        return 0;
    const char* opener = getenv("NIMBRA_OPEN_WITH");
    if (!opener || *opener)
        launch_opener(opener, address.c_str());
    return 1;
}

const Command kCommands[] = {
    {qx::kCmdOpenWebPage, OpenWebPage, "OpenWebPage"},
};

const LibraryExports kExports = {kSupportAbiVersion, "sysapi", kCommands, 1, nullptr};

}  // namespace
}  // namespace nimbra::support

extern "C" __attribute__((visibility("default"))) const nimbra::support::LibraryExports*
nimbra_support_library(const nimbra::support::RuntimeServices* runtime)
{
    nimbra::support::g_runtime = runtime;
    return &nimbra::support::kExports;
}
