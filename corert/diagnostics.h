// The runtime's one voice on standard error: every message of the runtime's own is one
// line, "corert: " then the message, so that a user or a test can tell the runtime's
// words from the program's and from its libraries'. Call sites name only the problem.
#pragma once

namespace corert {

// What every message of the runtime's own begins with; also for a message that is shown
// elsewhere as well (fail_to_start's dialog).
inline constexpr const char kDiagnosticPrefix[] = "corert: ";

// Writes "corert: MESSAGE\n", MESSAGE formatted as by printf, as one write where it fits
// a line of 1 KiB. Allocates nothing, so the out-of-memory path can use it too.
#ifdef _WIN32
// The C standard's printf (mingw's own, __USE_MINGW_ANSI_STDIO), not the system's older one.
void say(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif

}  // namespace corert
