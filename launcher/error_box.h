// The launcher's one error message.
#pragma once

#include <string_view>

namespace nimbra::launcher {

inline constexpr const char* kErrorText = "Not found the kernel library or the kernel library is invalid!";
inline constexpr const char* kErrorCaption = "Error";

// Always writes "Error: <text>" to stderr, followed by a line with `detail` (what exactly
// failed) when there is one. When a desktop is available ($DISPLAY or $WAYLAND_DISPLAY
// set, NIMBRA_NO_DIALOG unset) it also shows the text in a modal error dialog, if GTK 3
// can be loaded; otherwise the dialog is silently left out.
void ShowErrorBox(std::string_view detail);

}  // namespace nimbra::launcher
