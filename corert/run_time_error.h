// What the runtime does when image code raises a run-time error (service slot 0): it says
// "run-time error N" (on stderr always, and in a dialog where the window backend can show
// one) and ends the process with exit status kRunTimeErrorExitStatus. Image code cannot
// recover from any of these errors, so there is nothing to return to.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace corert {

inline constexpr int kRunTimeErrorExitStatus = 3;
// Exit status when the runtime cannot start the program (bad image, missing library).
inline constexpr int kStartFailureExitStatus = 4;

// Shows `message` to the user; installed by a window backend that can show a dialog.
using ErrorDialog = std::function<void(const std::string& message)>;
void set_error_dialog(ErrorDialog dialog);

[[noreturn]] void raise_run_time_error(uint32_t code);

// A failure of the runtime itself (not of the program): reported the same way, with
// "corert: " (the runtime's voice, diagnostics.h) before the message.
[[noreturn]] void fail_to_start(const std::string& message);

}  // namespace corert
