// The entry of corert-gtk.so, the GTK window's module (gtk_window_loader.h).
#include "corert/window/window_backend.h"

extern "C" __attribute__((visibility("default"))) corert::GtkWindowMaker corert_gtk_window_maker()
{
    return &corert::make_gtk_window;
}
