#include "platform/desktop.h"

#include <cstdlib>
#include <dlfcn.h>
#include <string>

namespace nimbra::platform {

namespace {

bool set(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

bool display_available() { return set("DISPLAY") || set("WAYLAND_DISPLAY"); }

bool show_error_dialog(std::string_view caption, std::string_view text)
{
    if (std::getenv("NIMBRA_NO_DIALOG") || !display_available())
        return false;
    // Where the GTK window runs, this is the GTK it has loaded already.
    void* gtk = dlopen("libgtk-3.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!gtk)
        return false;

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
        return false;
    if (!init_check(nullptr, nullptr))
        return false;

    constexpr int kDialogModal = 1;   // GTK_DIALOG_MODAL
    constexpr int kMessageError = 3;  // GTK_MESSAGE_ERROR
    constexpr int kButtonsOk = 1;     // GTK_BUTTONS_OK
    const std::string message(text);
    void* dialog = dialog_new(nullptr, kDialogModal, kMessageError, kButtonsOk, "%s", message.c_str());
    if (!dialog)
        return false;
    set_title(dialog, std::string(caption).c_str());
    run(dialog);
    destroy(dialog);
    while (events_pending())
        main_iteration();
    // GTK stays loaded: it cannot be unloaded safely, and the process ends soon after.
    return true;
}

}  // namespace nimbra::platform
