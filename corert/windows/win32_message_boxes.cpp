// The Win32 window's message boxes: the system's MessageBoxW, owned by the window. The
// program's flags are the system's own (buttons in the low four bits, the icon above),
// and so are the answers. Input that arrives while a box is open waits until it is
// closed; automation answers a box by pressing the button in its dialog.
#include "corert/windows/win32_window.h"

namespace corert {

namespace {

struct FindBox {
    DWORD process;
    HWND found = nullptr;
};

// A message box is a dialog ("#32770") of this thread; there is at most one at a time.
BOOL CALLBACK find_box(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<FindBox*>(data);
    wchar_t class_name[16] = {};
    GetClassNameW(window, class_name, 16);
    if (wcscmp(class_name, L"#32770") == 0 && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

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
    int answer = MessageBoxW(window_, text.c_str(), caption.c_str(), style | MB_SETFOREGROUND);
    {
        std::lock_guard lock(mutex_);
        open_boxes_.erase(std::find(open_boxes_.begin(), open_boxes_.end(), number));
    }
    // A box closed from its frame answers Cancel where it has one (the system's rule);
    // a box answered by automation keeps that answer.
    close_box_record(number, answer > 0 ? answer : box_buttons(flags).front());
    // Events that came while the box was up were held back.
    wake_ui();
    return box_answer(number);
}

// Any thread: the box's dialog is told its button was pressed, which the system's own
// dialog code turns into the box's answer.
void Win32WindowBackend::box_closed_elsewhere(uint32_t number)
{
    {
        std::lock_guard lock(mutex_);
        if (std::find(open_boxes_.begin(), open_boxes_.end(), number) == open_boxes_.end())
            return;
    }
    FindBox search{GetCurrentProcessId()};
    EnumThreadWindows(ui_thread_, find_box, reinterpret_cast<LPARAM>(&search));
    if (search.found)
        PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(box_answer(number), BN_CLICKED), 0);
}

}  // namespace corert
