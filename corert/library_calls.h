// The program's calls to code outside it: support-library commands (slot 2) and DLL
// commands (slot 1), and what the runtime lends the support libraries.
#pragma once

#include "support/support_library.h"

namespace corert {

// The services every support library receives: the memory service's allocation and
// free, and the log of addresses handed to the desktop.
const nimbra::support::RuntimeServices& support_services();

}  // namespace corert
