// The window side of the kernel runtime: one interface, two backends (headless, and GTK
// in gtk_window.cpp), both built on WindowCore (window_core.h).
//
// The UI thread is the one that calls the services (load_window, the properties,
// run_event_loop) and the window commands; handlers run on it, one at a time except
// where a handler calls process_events and further events run nested inside it.
// The automation methods may be called from any thread; read-only queries answer even
// while the UI thread is inside a handler, and user actions are queued to the UI
// thread like real input.
#pragma once

#include "corert/window/browser_control.h"
#include "corert/window/window_state.h"
#include "corert/window_commands.h"
#include "image/window_definition.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace corert {

// Calls the handler routine at this offset of the code section's data. Installed by
// the loader, which turns the offset into a native call.
using HandlerInvoker = std::function<void(uint32_t code_offset)>;

struct MessageBoxRecord {
    uint32_t number = 0;  // counted from 1, in the order shown
    std::string message;  // GBK
    std::string title;    // GBK; meaningful when has_title
    bool has_title = false;
    int32_t flags = 0;
    bool open = true;
    int32_t answer = 0;  // the button that closed it
};

struct BrowserVisit {
    uint32_t number = 0;  // counted from 1, over all browser units
    uint32_t unit = 0;
    PageLoad load;
};

// Input from automation, delivered on the UI thread as the user's would be.
struct UserAction {
    enum class Kind { Pick, Click, Close };
    Kind kind = Kind::Click;
    uint32_t unit = 0;
    int32_t index = 0;  // Pick: the item, from 0
};

enum class IdleState {
    Idle,     // nothing queued and no handler running
    BoxOpen,  // a handler waits for a message box to be answered
    Closed,   // the window has been closed
    Busy,     // the wait timed out (or was stopped) with work still going on
};

struct WindowStatus {
    bool loaded = false;
    bool closed = false;
    int handler_depth = 0;          // handlers running, nested ones counted
    int deepest_handler_depth = 0;  // the most that ever ran at once
    size_t queued = 0;              // events waiting for the UI thread
    std::optional<uint32_t> open_box;
};

class WindowBackend : public WindowCommands {
public:
    // ---- services (UI thread) ----
    // Builds the window `window_id` of `form` and opens the browsers' start addresses;
    // event 0 of the window is queued to follow once everything exists.
    virtual void load_window(const qx::FormSection& form, uint32_t window_id) = 0;
    // Service slot 4: an integer, or for a text property a new block of the memory
    // service that belongs to the caller. 0 for what does not exist.
    virtual uint64_t get_property(uint32_t window, uint32_t unit, uint32_t property, int32_t element) = 0;
    // Service slot 5: a text value is a pointer in low|high and stays the caller's.
    virtual void set_property(uint32_t window, uint32_t unit, uint32_t property, int32_t element, uint32_t low,
                              uint32_t high) = 0;
    // Service slot 10.
    virtual void hand_over() = 0;
    // Service slot 9: dispatches events until the window is closed.
    virtual void run_event_loop() = 0;

    // ---- automation (any thread) ----
    virtual WindowState snapshot() const = 0;
    virtual std::vector<MessageBoxRecord> message_boxes() const = 0;
    virtual std::vector<BrowserVisit> browser_visits() const = 0;
    virtual WindowStatus status() const = 0;
    // Empty when accepted, else why not.
    virtual std::string post(const UserAction& action) = 0;
    // Closes the open message box with `button`; nullopt takes the box's default.
    virtual std::string answer_box(std::optional<int32_t> button) = 0;
    virtual IdleState wait_idle(std::chrono::milliseconds timeout, std::stop_token stop = {}) = 0;

    // ---- what only a window on a screen can answer (any thread) ----
    // Each returns empty when done, else why not. The headless window loads nothing,
    // so its pages are always loaded, and it has no text or picture to give.
    // Waits until the browser unit has loaded what it was last given (the page and
    // everything it pulls in), or failed to.
    virtual std::string wait_page(uint32_t, std::chrono::milliseconds, std::stop_token = {}) { return {}; }
    // The visible text of the browser unit's page, UTF-8.
    virtual std::string page_text(uint32_t, std::chrono::milliseconds, std::string&)
    {
        return "the headless window renders no pages";
    }
    // How the browser unit's page lies in it (BrowserControl::page_layout), UTF-8.
    virtual std::string page_layout(uint32_t, std::chrono::milliseconds, std::string&)
    {
        return "the headless window renders no pages";
    }
    // Writes a PNG picture of the window's client area to `path`.
    virtual std::string screenshot(const std::string&, std::chrono::milliseconds)
    {
        return "the headless window has no picture";
    }
};

struct BackendOptions {
    HandlerInvoker invoke_handler;
    std::unique_ptr<BrowserFactory> browsers;  // null: the recording browser
    // When false a message box is answered at once with its default button (nobody
    // could answer it); otherwise it blocks the UI thread until answer_box.
    bool boxes_wait_for_answer = true;
    // GTK: message boxes take their default button at once (CORERT_AUTO_ANSWER);
    // otherwise the user answers them.
    bool auto_answer = false;
    // GTK: where the browser controls come from when `browsers` is null (WebPane's
    // library extension); null leaves the recording browser.
    const BrowserPaneExtension* browser_pane = nullptr;
};

std::unique_ptr<WindowBackend> make_headless_window(BackendOptions options);

// Makes the GTK window; null when GTK cannot open the display (`options` is then left as
// it was). UI thread. The GTK window lives in a module of its own that only a GTK
// session loads (gtk_window_loader.h); tests link it.
using GtkWindowMaker = std::unique_ptr<WindowBackend> (*)(BackendOptions& options);
std::unique_ptr<WindowBackend> make_gtk_window(BackendOptions& options);
// The window on a screen as this system has it, a GtkWindowMaker: the GTK window from its
// module on Linux (gtk_window_loader.cpp), the Win32 window on Windows
// (corert/windows/win32_window.cpp).
std::unique_ptr<WindowBackend> make_screen_window(BackendOptions& options);

// CORERT_BACKEND: "headless" or "gtk"; unset: gtk when a display exists, else
// headless. When `make_gtk` is null or gives no window, headless with a note.
std::unique_ptr<WindowBackend> make_window_backend(BackendOptions options, GtkWindowMaker make_gtk);

// Message box buttons, as the original platform numbers them.
enum BoxButton : int32_t {
    kButtonOk = 1,
    kButtonCancel = 2,
    kButtonAbort = 3,
    kButtonRetry = 4,
    kButtonIgnore = 5,
    kButtonYes = 6,
    kButtonNo = 7,
};
// The buttons a box with these flags shows, the default first.
std::vector<int32_t> box_buttons(int32_t flags);
const char* button_name(int32_t button);
std::optional<int32_t> button_by_name(std::string_view name);

}  // namespace corert
