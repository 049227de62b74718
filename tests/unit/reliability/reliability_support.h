// The running program's memory as the kernel counts it, for the reliability tests.
#pragma once

#include <string>
#include <sys/types.h>

namespace reliability {

// AddressSanitizer holds freed memory in quarantine and adds its own: memory bounds differ.
#ifdef NIMBRA_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The process running `executable` (a program copy's own nimbra), or -1.
pid_t pid_of(const std::string& executable);

// A field of /proc/PID/status in KB ("VmRSS", "VmHWM"); -1 when unreadable.
long status_kb(pid_t pid, const std::string& field);

}  // namespace reliability
