// The program's own description: what goes into its image besides the code.
//
// The support libraries it needs, the DLL functions it calls, and the main window with
// its twelve controls. Every text handed out here is GBK, as the image stores it.
#pragma once

#include "image/image_layout.h"
#include "image/window_definition.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nimbra {

// Support libraries in manifest order; the position is the library index code uses.
std::vector<qx::LibraryEntry> program_manifest();

// Every DLL command calls into this one library.
inline constexpr const char* kDllLibraryName = "wininet.dll";
// Function names in DLL command order; the position is the command index code uses.
std::vector<std::string> dll_function_names();

struct ProgramHosts {
    std::string notice_host;   // host[:port] of the version-notice server
    std::string weather_host;  // host[:port] of the weather service
};

// The hosts the build was configured with.
ProgramHosts configured_hosts();

// The window and its controls, without event bindings (those need code offsets).
qx::FormSection main_window_form(const ProgramHosts& hosts);

// The page head the edit box holds, for the given weather host.
std::string page_head_text(const std::string& weather_host);

struct NamedBinding {
    uint32_t unit_id = 0;  // as in the unit list (the window is 0x06010000)
    uint32_t event = 0;
    std::string routine;
};

std::vector<NamedBinding> main_window_bindings();

// Fills Unit::events from the bindings. Throws std::runtime_error when a unit or a
// routine cannot be found, naming it.
void bind_events(qx::FormSection& form, const std::vector<NamedBinding>& bindings,
                 const std::function<std::optional<uint32_t>(const std::string&)>& code_offset_of);

}  // namespace nimbra
