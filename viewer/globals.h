// The program's two globals. Each is one pointer wide and holds a text or null; both
// start null because the runtime zero-fills the var section.
//
// Image code reaches them only through absolute addresses (QX_ABSOLUTE_ADDRESS), which
// become var relocations; naming the variables directly would be a PC-relative
// reference, which the image linker refuses.
#pragma once

#include "runtime/linkage.h"

extern "C" {
extern char* CurrentVersion;
extern char* LatestVersion;
}

namespace nimbra {

inline char*& current_version() { return *static_cast<char**>(QX_ABSOLUTE_ADDRESS(CurrentVersion)); }
inline char*& latest_version() { return *static_cast<char**>(QX_ABSOLUTE_ADDRESS(LatestVersion)); }

// The var section's order.
inline constexpr const char* kGlobalNames[] = {"CurrentVersion", "LatestVersion"};

}  // namespace nimbra
