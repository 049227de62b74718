// The desktop on Windows (platform/desktop.h): there always is one, and the error dialog
// is the system's message box.
#include "platform/desktop.h"

#include "platform/windows/wide_text.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace nimbra::platform {

bool display_available() { return true; }

bool show_error_dialog(std::string_view caption, std::string_view text)
{
    if (std::getenv("NIMBRA_NO_DIALOG"))
        return false;
    MessageBoxW(nullptr, utf8_to_wide(text).c_str(), utf8_to_wide(caption).c_str(), MB_OK | MB_ICONERROR);
    return true;
}

}  // namespace nimbra::platform
