// WebPane on Windows: the hypertext browser control. The program calls none of its
// commands; the Win32 window builds its browser units through the control factory this
// library offers as its extension (support/browser_pane.h).
#include "support/browser_pane.h"
#include "support/support_library.h"

namespace nimbra::support {

namespace {

BrowserFactory* create_factory() { return nullptr; }

const BrowserPaneExtension kPane = {kBrowserPaneVersion, create_factory};
const LibraryExports kExports = {kSupportAbiVersion, "WebPane", nullptr, 0, &kPane};

}  // namespace

}  // namespace nimbra::support

extern "C" const nimbra::support::LibraryExports* nimbra_support_library(const nimbra::support::RuntimeServices*)
{
    return &nimbra::support::kExports;
}
