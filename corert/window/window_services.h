// What the loader calls to give the program its window.
//
//   corert::WindowSession session(form, call_image_routine, load_gtk_window);  // before the entry routine
//   ... call the entry routine; through service slots 4, 5, 9, 10 and 11 (image_calls.h)
//   it loads the window and runs the event loop ...
//   session ends (after the entry routine has returned, on the same thread)
//
// The session picks the backend (CORERT_BACKEND), serves automation when
// CORERT_AUTOMATION names a socket path, and installs the backend for the window
// kernel commands (MessageBox, ProcessEvents, the item commands) and the slots.
#pragma once

#include "corert/automation/automation_server.h"
#include "corert/window/window_backend.h"

#include <memory>

namespace corert {

class WindowSession {
public:
    // `form` is copied: load_window builds the window from it. Message boxes wait for
    // an answer only where someone can give one: with automation served and
    // CORERT_AUTO_ANSWER unset or 0; otherwise they take their default button at once.
    // `make_gtk` makes the GTK window where one is wanted (null: headless only).
    // `browser_pane` is WebPane's extension, where the GTK window takes its browser
    // controls from; `browsers`, when given, serves every backend instead.
    WindowSession(const qx::FormSection& form, HandlerInvoker invoke_handler, GtkWindowMaker make_gtk = nullptr,
                  std::unique_ptr<BrowserFactory> browsers = nullptr,
                  const BrowserPaneExtension* browser_pane = nullptr);
    ~WindowSession();
    WindowSession(const WindowSession&) = delete;
    WindowSession& operator=(const WindowSession&) = delete;

    WindowBackend& backend() { return *backend_; }
    const qx::FormSection& form() const { return form_; }
    bool automation_served() const { return automation_ != nullptr; }

private:
    qx::FormSection form_;
    std::unique_ptr<WindowBackend> backend_;
    std::unique_ptr<AutomationServer> automation_;
};

// The session whose backend the slot functions below reach; null when none.
WindowSession* current_window_session();

}  // namespace corert
