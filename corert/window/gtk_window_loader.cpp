#include "corert/window/gtk_window_loader.h"

#include "corert/diagnostics.h"
#include "platform/program_directory.h"

#include <dlfcn.h>

namespace corert {

namespace {

// What the module exports (gtk_window_module.cpp).
using MakerEntry = GtkWindowMaker (*)();
constexpr const char* kModuleName = "corert-gtk.so";
constexpr const char* kEntryName = "corert_gtk_window_maker";

GtkWindowMaker find_maker()
{
    std::string path =
        nimbra::platform::module_directory(reinterpret_cast<const void*>(&load_gtk_window)) + "/" + kModuleName;
    // The module takes the runtime's own functions from the runtime, which it names as
    // a dependency: the window it makes shares the runtime's memory service and state.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* why = dlerror();
        say("%s", why ? why : (path + ": cannot be loaded").c_str());
        return nullptr;
    }
    auto entry = reinterpret_cast<MakerEntry>(dlsym(module, kEntryName));
    if (!entry) {
        say("%s has no %s", path.c_str(), kEntryName);
        return nullptr;
    }
    return entry();
}

}  // namespace

std::unique_ptr<WindowBackend> load_gtk_window(BackendOptions& options)
{
    // Loaded once; it stays loaded, as GTK cannot be unloaded safely.
    static GtkWindowMaker maker = find_maker();
    return maker ? maker(options) : nullptr;
}

std::unique_ptr<WindowBackend> make_screen_window(BackendOptions& options) { return load_gtk_window(options); }

}  // namespace corert
