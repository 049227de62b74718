// The Win32 window's message boxes: the system's MessageBoxW, owned by the window. The
// program's flags are the system's own (buttons in the low four bits, the icon above),
// and so are the answers. Input that arrives while a box is open waits until it is
// closed; automation answers a box by pressing the button in its dialog.
//
// The box's record opens before the system has made its dialog, so automation may answer
// a box whose dialog does not exist yet. A hook on the UI thread learns each dialog as it
// is activated: an answer that came earlier is pressed then, a later one at once.
#include "corert/windows/win32_window.h"

namespace corert {

namespace {

thread_local Win32WindowBackend* t_box_owner = nullptr;

}  // namespace

LRESULT CALLBACK Win32WindowBackend::box_hook(int code, WPARAM w, LPARAM l)
{
    if (code == HCBT_ACTIVATE && t_box_owner)
        t_box_owner->box_dialog_appeared(reinterpret_cast<HWND>(w));
    return CallNextHookEx(nullptr, code, w, l);
}

void Win32WindowBackend::box_dialog_appeared(HWND dialog)
{
    // Only a dialog: the window itself is activated again when a box closes.
    wchar_t class_name[16] = {};
    GetClassNameW(dialog, class_name, 16);
    if (wcscmp(class_name, L"#32770") != 0)
        return;
    uint32_t answer_now = 0;
    {
        std::lock_guard lock(mutex_);
        if (open_boxes_.empty() || box_dialogs_.count(open_boxes_.back()))
            return;
        uint32_t number = open_boxes_.back();
        box_dialogs_[number] = dialog;
        if (answered_early_.erase(number))
            answer_now = number;
    }
    if (answer_now)
        press_answer(dialog, answer_now);
}

void Win32WindowBackend::press_answer(HWND dialog, uint32_t number)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(box_answer(number), BN_CLICKED), 0);
}

int32_t Win32WindowBackend::message_box(std::string_view message, int32_t flags, std::string_view title, bool has_title)
{
    if (auto_answer_ || !window_)
        return box_answer(open_box_record(message, flags, title, has_title, true));
    uint32_t number = open_box_record(message, flags, title, has_title, false);
    {
        std::lock_guard lock(mutex_);
        open_boxes_.push_back(number);
    }
    std::wstring text = wide(message);
    std::wstring caption = has_title ? wide(title) : window_title_;
    // The box's own icon and buttons; modal to the window, on top of it.
    UINT style = UINT(flags) & (MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK);
    Win32WindowBackend* outer_owner = t_box_owner;
    t_box_owner = this;
    HHOOK hook = SetWindowsHookExW(WH_CBT, box_hook, nullptr, GetCurrentThreadId());
    int answer = MessageBoxW(window_, text.c_str(), caption.c_str(), style | MB_SETFOREGROUND);
    if (hook)
        UnhookWindowsHookEx(hook);
    t_box_owner = outer_owner;
    {
        std::lock_guard lock(mutex_);
        open_boxes_.erase(std::find(open_boxes_.begin(), open_boxes_.end(), number));
        box_dialogs_.erase(number);
        answered_early_.erase(number);
    }
    // A box closed from its frame answers Cancel where it has one (the system's rule);
    // a box answered by automation keeps that answer.
    close_box_record(number, answer > 0 ? answer : box_buttons(flags).front());
    // Events that came while the box was up were held back.
    wake_ui();
    return box_answer(number);
}

// Any thread.
void Win32WindowBackend::box_closed_elsewhere(uint32_t number)
{
    HWND dialog = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (std::find(open_boxes_.begin(), open_boxes_.end(), number) == open_boxes_.end())
            return;
        auto known = box_dialogs_.find(number);
        if (known == box_dialogs_.end()) {
            answered_early_.insert(number);
            return;
        }
        dialog = known->second;
    }
    press_answer(dialog, number);
}

}  // namespace corert
