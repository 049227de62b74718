// Opening an address on Windows (sysapi_open.h): the shell hands it to the user's
// browser. The address is the program's GBK text, made UTF-16 by our own converter.
#include "support/sysapi_open.h"

#include "platform/windows/wide_text.h"

#include <windows.h>
#include <shellapi.h>

namespace nimbra::support {

void launch_opener(const char* opener, const char* address)
{
    std::wstring wide_address = nimbra::platform::gbk_to_wide(address);
    // ShellExecuteW returns once the opener has the address; it does not wait for it.
    if (opener) {
        std::wstring program = nimbra::platform::utf8_to_wide(opener);
        std::wstring quoted = L"\"" + wide_address + L"\"";
        ShellExecuteW(nullptr, nullptr, program.c_str(), quoted.c_str(), nullptr, SW_SHOWNORMAL);
    } else {
        ShellExecuteW(nullptr, L"open", wide_address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    }
}

}  // namespace nimbra::support
