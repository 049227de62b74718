// Built instead of gtk_window.cpp when GTK 3 is not installed: the runtime then has the
// headless window only.
#include "corert/window/window_backend.h"

namespace corert {

std::unique_ptr<WindowBackend> make_gtk_window(BackendOptions&)
{
    return nullptr;
}

}  // namespace corert
