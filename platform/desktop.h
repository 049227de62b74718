// The desktop as this process meets it: whether a display can be used, and the one error
// dialog that the launcher and the runtime show.
#pragma once

#include <string_view>

namespace nimbra::platform {

// True when the session names a display: DISPLAY or WAYLAND_DISPLAY set and not empty.
// Whether the display can really be opened is up to the toolkit that tries.
bool display_available();

// A modal error dialog with `caption` as its title and `text` as its message, where a
// display is available and GTK 3 can be loaded and can open it; otherwise nothing.
// NIMBRA_NO_DIALOG (any value) leaves it out, as the tests do. GTK is loaded at run
// time, not linked: the launcher must start (and report a missing runtime) on machines
// without it. Returns once the dialog is closed; true when one was shown.
bool show_error_dialog(std::string_view caption, std::string_view text);

}  // namespace nimbra::platform
