#include "launcher/error_box.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

namespace nimbra::launcher {

namespace {

bool DesktopAvailable()
{
    if (std::getenv("NIMBRA_NO_DIALOG"))
        return false;
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && x11[0]) || (wayland && wayland[0]);
}

// GTK is looked up at run time rather than linked: the launcher must start (and report
// a missing runtime) on machines without it, and it needs it only for this one dialog.
void ShowDialog()
{
    void* gtk = dlopen("libgtk-3.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!gtk)
        return;

    using InitCheck = int (*)(int*, char***);
    using MessageDialogNew = void* (*)(void* parent, int flags, int type, int buttons, const char* format, ...);
    using SetTitle = void (*)(void* window, const char* title);
    using DialogRun = int (*)(void* dialog);
    using WidgetDestroy = void (*)(void* widget);
    using EventsPending = int (*)();
    using MainIteration = int (*)();

    auto init_check = reinterpret_cast<InitCheck>(dlsym(gtk, "gtk_init_check"));
    auto dialog_new = reinterpret_cast<MessageDialogNew>(dlsym(gtk, "gtk_message_dialog_new"));
    auto set_title = reinterpret_cast<SetTitle>(dlsym(gtk, "gtk_window_set_title"));
    auto run = reinterpret_cast<DialogRun>(dlsym(gtk, "gtk_dialog_run"));
    auto destroy = reinterpret_cast<WidgetDestroy>(dlsym(gtk, "gtk_widget_destroy"));
    auto events_pending = reinterpret_cast<EventsPending>(dlsym(gtk, "gtk_events_pending"));
    auto main_iteration = reinterpret_cast<MainIteration>(dlsym(gtk, "gtk_main_iteration"));
    if (!init_check || !dialog_new || !set_title || !run || !destroy || !events_pending || !main_iteration)
        return;
    if (!init_check(nullptr, nullptr))
        return;

    constexpr int kDialogModal = 1;  // GTK_DIALOG_MODAL
    constexpr int kMessageError = 3; // GTK_MESSAGE_ERROR
    constexpr int kButtonsOk = 1;    // GTK_BUTTONS_OK
    void* dialog = dialog_new(nullptr, kDialogModal, kMessageError, kButtonsOk, "%s", kErrorText);
    if (!dialog)
        return;
    set_title(dialog, kErrorCaption);
    run(dialog);
    destroy(dialog);
    while (events_pending())
        main_iteration();
    // GTK stays loaded: it cannot be unloaded safely, and the process ends right after.
}

}  // namespace

void ShowErrorBox(std::string_view detail)
{
    std::fprintf(stderr, "%s: %s\n", kErrorCaption, kErrorText);
    if (!detail.empty())
        std::fprintf(stderr, "nimbra: %.*s\n", static_cast<int>(detail.size()), detail.data());
    std::fflush(stderr);
    if (DesktopAvailable())
        ShowDialog();
}

}  // namespace nimbra::launcher
