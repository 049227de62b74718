#include "platform/system_dlls.h"

namespace nimbra::platform {

// Linux supplies none of the image's DLLs: every one is a stand-in beside the runtime.
const DllExports* system_dll_exports(const std::string&) { return nullptr; }

}  // namespace nimbra::platform
