// The GTK window as the runtime gets it: from its module corert-gtk.so beside the
// runtime, loaded the first time a GTK window is asked for. A headless program never
// loads it, nor GTK, nor WebKit.
#pragma once

#include "corert/window/window_backend.h"

namespace corert {

// A GtkWindowMaker: null when the module cannot be loaded (a runtime built without GTK
// has none; the reason goes to stderr) or GTK cannot open the display.
std::unique_ptr<WindowBackend> load_gtk_window(BackendOptions& options);

}  // namespace corert
