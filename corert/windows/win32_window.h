// The Win32 backend: the window of the form section as a window of the system's own
// controls, for the runtime on Windows. It has the GTK window's behaviour
// (corert/window/gtk_window.h, docs/window.md) on Windows' terms:
//
//   win32_window.cpp        the window and its controls, their notifications, the loop
//   win32_message_boxes.cpp message boxes as the system's MessageBoxW
//   win32_screenshot.cpp    a picture of the window and its box, for automation
//
// Labels are STATIC controls, buttons BUTTON, combo boxes drop-down lists (COMBOBOX with
// CBS_DROPDOWNLIST), the edit box a (hidden) EDIT; the browser units are WebPane's
// controls (support/windows/webpane.cpp), each a child window at its stored rectangle.
// Events from the controls and from automation go through WindowCore's queue and are
// dispatched from a message the window posts to itself, so a handler that calls
// ProcessEvents sees further events run nested inside it, as the GTK window does.
#pragma once

#include "corert/window/window_core.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace corert {

class Win32WindowBackend final : public WindowCore {
public:
    explicit Win32WindowBackend(BackendOptions options);
    ~Win32WindowBackend() override;

    void load_window(const qx::FormSection& form, uint32_t window_id) override;
    void run_event_loop() override;
    void process_events() override;
    int32_t message_box(std::string_view message, int32_t flags, std::string_view title, bool has_title) override;
    std::string screenshot(const std::string& path, std::chrono::milliseconds timeout) override;

protected:
    void build_widgets(const WindowState& state) override;
    void unit_changed(const UnitState& unit, PropertyChange change) override;
    void wake_ui() override;
    void box_closed_elsewhere(uint32_t number) override;
    void window_closed() override;

private:
    static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT handle(UINT message, WPARAM w, LPARAM l);
    HWND make_control(const UnitState& unit);
    void place(uint32_t unit, HWND control, const Geometry& geometry);
    void show_unit_text(HWND control, const UnitState& unit);
    void on_command(HWND control, WORD code);
    static LRESULT CALLBACK box_hook(int code, WPARAM w, LPARAM l);
    void box_dialog_appeared(HWND dialog);
    void press_answer(HWND dialog, uint32_t number);

    const bool auto_answer_;
    const DWORD ui_thread_;
    // UI thread only.
    HWND window_ = nullptr;
    HFONT font_ = nullptr;
    HICON icon_ = nullptr;
    std::wstring window_title_;
    std::map<uint32_t, HWND> controls_;
    std::map<HWND, uint32_t> units_;
    std::map<uint32_t, std::vector<std::string>> shown_items_;
    std::vector<HWND> hand_cursor_controls_;
    int updating_ = 0;
    std::chrono::steady_clock::time_point last_peek_{};
    // Under the lock, for automation threads: the number of each message box open on
    // screen (newest last), the dialogs made for them so far, and the boxes answered
    // before their dialog appeared.
    std::vector<uint32_t> open_boxes_;
    std::map<uint32_t, HWND> box_dialogs_;
    std::set<uint32_t> answered_early_;
    std::atomic<bool> dispatch_posted_{false};
};

// The window maker the runtime uses on Windows in place of the GTK one; null when the
// window cannot be made (the reason on stderr).
std::unique_ptr<WindowBackend> make_win32_window(BackendOptions& options);

// Texts are GBK inside the system and UTF-16 in the controls.
std::wstring wide(std::string_view gbk);

}  // namespace corert
