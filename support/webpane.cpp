// WebPane: the hypertext browser control. The program calls none of its commands; the
// GTK window builds its browser units through the control factory this library offers
// as its extension. The controls are WebKitGTK views, in WebPane's WebKit part
// (webpane_webkit.cpp), which is loaded only when the GTK window asks for them: the
// headless window uses the runtime's own recording control, and a headless program
// never loads WebKit.
#include "support/support_library.h"

#include "support/browser_pane.h"
#include "platform/program_directory.h"

#include <dlfcn.h>
#include <stdio.h>

#include <string>

namespace nimbra::support {
namespace {

constexpr const char* kWebKitPart = "webpane-webkit.so";
constexpr const char* kWebKitFactory = "nimbra_webpane_webkit_factory";

using FactoryEntry = BrowserFactory* (*)();

// The WebKit part beside this library; null (with the reason on stderr) where it is
// missing, as in a build without WebKitGTK.
BrowserFactory* create_gtk_factory()
{
    std::string path =
        nimbra::platform::module_directory(reinterpret_cast<const void*>(&create_gtk_factory)) + "/" + kWebKitPart;
    void* part = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!part) {
        const char* why = dlerror();
        fprintf(stderr, "WebPane: %s\n", why ? why : path.c_str());
        return nullptr;
    }
    // The part stays loaded: its views and WebKit's threads outlive any one factory.
    auto entry = reinterpret_cast<FactoryEntry>(dlsym(part, kWebKitFactory));
    return entry ? entry() : nullptr;
}

const BrowserPaneExtension kPane = {kBrowserPaneVersion, create_gtk_factory};

const LibraryExports kExports = {kSupportAbiVersion, "WebPane", nullptr, 0, &kPane};

}  // namespace
}  // namespace nimbra::support

extern "C" __attribute__((visibility("default"))) const nimbra::support::LibraryExports*
nimbra_support_library(const nimbra::support::RuntimeServices*)
{
    return &nimbra::support::kExports;
}
