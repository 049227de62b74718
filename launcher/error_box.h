// The launcher's one error message.
#pragma once

#include <string_view>

namespace nimbra::launcher {

inline constexpr const char* kErrorText = "Not found the kernel library or the kernel library is invalid!";
inline constexpr const char* kErrorCaption = "Error";

// Always writes "Error: <text>" to stderr, followed by a line with `detail` (what exactly
// failed) when there is one; then shows the text in the desktop's error dialog where
// there is one (platform/desktop.h).
void show_error_box(std::string_view detail);

}  // namespace nimbra::launcher
