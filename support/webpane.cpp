// WebPane: the hypertext browser control. The program calls none of its commands; the
// window builds its browser units through the control factory this library offers.
// Without a desktop the runtime uses its own recording control, so this version offers
// no factory yet.
#include "support/support_library.h"

namespace nimbra::support {
namespace {

const LibraryExports kExports = {kSupportAbiVersion, "WebPane", nullptr, 0, nullptr};

}  // namespace
}  // namespace nimbra::support

extern "C" __attribute__((visibility("default"))) const nimbra::support::LibraryExports*
nimbra_support_library(const nimbra::support::RuntimeServices*)
{
    return &nimbra::support::kExports;
}
