// The Win32 window (win32_window.h).
#include "corert/windows/win32_window.h"

#include "corert/diagnostics.h"
#include "corert/gbk.h"
#include "corert/run_time_error.h"
#include "platform/desktop.h"
#include "platform/windows/wide_text.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace corert {

namespace {

constexpr const wchar_t* kWindowClass = L"NimbraWeatherWindow";
constexpr UINT kDispatchMessage = WM_APP + 1;
// The drop-down part of a combo box: Windows counts it in the control's height.
constexpr int kDropDownHeight = 240;
// The stored geometry is laid out for a 9-point CJK dialog font.
constexpr int kFontPoints = 9;
constexpr const wchar_t* kFontFace = L"SimSun";
constexpr std::chrono::milliseconds kPeekInterval{1};

// The best picture of a Windows icon file (its largest entry), or null.
HICON icon_from_ico(const qx::Bytes& ico)
{
    auto word = [&](size_t at) { return at + 2 <= ico.size() ? uint32_t(ico[at] | ico[at + 1] << 8) : 0u; };
    auto dword = [&](size_t at) { return at + 4 <= ico.size() ? word(at) | word(at + 2) << 16 : 0u; };
    uint32_t count = word(4);
    if (ico.size() < 6 || word(2) != 1 || count == 0)
        return nullptr;
    size_t best = 0;
    uint32_t best_width = 0;
    for (uint32_t i = 0; i < count; ++i) {
        size_t entry = 6 + 16 * size_t(i);
        uint32_t width = ico.size() > entry ? (ico[entry] ? ico[entry] : 256u) : 0u;
        if (width > best_width)
            best = entry, best_width = width;
    }
    uint32_t bytes = dword(best + 8), offset = dword(best + 12);
    if (best_width == 0 || offset > ico.size() || bytes > ico.size() - offset)
        return nullptr;
    return CreateIconFromResourceEx(const_cast<uint8_t*>(ico.data() + offset), bytes, TRUE, 0x00030000, int(best_width),
                                    int(best_width), LR_DEFAULTCOLOR);
}

bool register_window_class()
{
    static bool registered = [] {
        WNDCLASSEXW c{};
        c.cbSize = sizeof c;
        c.lpfnWndProc = DefWindowProcW;  // replaced per window (GWLP_USERDATA holds it)
        c.hInstance = GetModuleHandleW(nullptr);
        c.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        c.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        c.lpszClassName = kWindowClass;
        return RegisterClassExW(&c) != 0;
    }();
    return registered;
}

}  // namespace

std::wstring wide(std::string_view gbk) { return nimbra::platform::utf8_to_wide(gbk_to_utf8(gbk)); }

Win32WindowBackend::Win32WindowBackend(BackendOptions options)
    : WindowCore(std::move(options)), auto_answer_(options.auto_answer), ui_thread_(GetCurrentThreadId())
{
    set_error_dialog([](const std::string& message) { nimbra::platform::show_error_dialog("Nimbra", message); });
}

Win32WindowBackend::~Win32WindowBackend()
{
    set_error_dialog(nullptr);
    if (window_)
        DestroyWindow(window_);
    if (font_)
        DeleteObject(font_);
    if (icon_)
        DestroyIcon(icon_);
}

void Win32WindowBackend::load_window(const qx::FormSection& form, uint32_t window_id)
{
    if (!form.units.empty()) {
        if (auto* data = std::get_if<qx::WindowData>(&form.units.front().data)) {
            if (!icon_)
                icon_ = icon_from_ico(data->icon);
        }
    }
    WindowCore::load_window(form, window_id);
}

void Win32WindowBackend::build_widgets(const WindowState& state)
{
    const UnitState& unit = state.units.front();
    window_title_ = wide(unit.caption);
    // Stored width and height are the client size; the frame is added around it.
    constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    RECT frame = {0, 0, unit.geometry.width, unit.geometry.height};
    AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
    window_ = CreateWindowExW(0, kWindowClass, window_title_.c_str(), kStyle, unit.geometry.left, unit.geometry.top,
                              frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    if (!window_) {
        say("the window cannot be made: %s", nimbra::platform::system_error_text(GetLastError()).c_str());
        return;
    }
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(window_procedure));
    if (icon_) {
        SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
        SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
    }
    HDC screen = GetDC(nullptr);
    int height = -MulDiv(kFontPoints, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    font_ = CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET, OUT_DEFAULT_PRECIS,
                        CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, kFontFace);

    std::vector<HWND> labels;
    for (const UnitState& u : state.units) {
        if (u.kind == UnitKind::Window)
            continue;
        HWND control = make_control(u);
        if (!control)
            continue;
        controls_[u.id] = control;
        units_[control] = u.id;
        if (font_)
            SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        place(u.id, control, u.geometry);
        bool visible = (u.flags & qx::kUnitVisible) && u.geometry.width > 0 && u.geometry.height > 0;
        ShowWindow(control, visible ? SW_SHOWNA : SW_HIDE);
        if (u.kind == UnitKind::Label)
            labels.push_back(control);
    }
    // Labels are opaque and lie over the panes (标签1 over the lower one), as on the
    // original platform.
    for (HWND label : labels)
        SetWindowPos(label, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
}

HWND Win32WindowBackend::make_control(const UnitState& unit)
{
    constexpr DWORD kChild = WS_CHILD | WS_CLIPSIBLINGS;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    auto id = reinterpret_cast<HMENU>(static_cast<UINT_PTR>(unit.id & 0xFFFF));
    switch (unit.kind) {
    case UnitKind::Label:
        return CreateWindowExW(0, L"STATIC", wide(unit.caption).c_str(), kChild | SS_LEFT | SS_CENTERIMAGE, 0, 0, 0, 0,
                               window_, id, instance, nullptr);
    case UnitKind::Button: {
        HWND button = CreateWindowExW(0, L"BUTTON", wide(unit.caption).c_str(), kChild | WS_TABSTOP | BS_PUSHBUTTON, 0,
                                      0, 0, 0, window_, id, instance, nullptr);
        if (button && unit.cursor == qx::kCursorHand)
            hand_cursor_controls_.push_back(button);
        return button;
    }
    case UnitKind::ComboBox: {
        HWND combo = CreateWindowExW(0, L"COMBOBOX", L"", kChild | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0, 0, 0,
                                     0, window_, id, instance, nullptr);
        if (combo)
            show_unit_text(combo, unit);
        return combo;
    }
    case UnitKind::EditBox: {
        HWND edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", kChild | WS_TABSTOP | ES_AUTOHSCROLL, 0, 0, 0, 0,
                                    window_, id, instance, nullptr);
        if (edit)
            show_unit_text(edit, unit);
        return edit;
    }
    case UnitKind::Browser: {
        // WebPane's control is a window of its own, made before there was a parent for it.
        BrowserControl* control = browser(unit.id);
        HWND pane = control ? static_cast<HWND>(control->widget()) : nullptr;
        if (pane) {
            SetParent(pane, window_);
            SetWindowLongPtrW(pane, GWL_STYLE, (GetWindowLongPtrW(pane, GWL_STYLE) & ~WS_POPUP) | kChild);
            return pane;
        }
        // No browser control: the pane is an empty white area, as a blank page would be.
        return CreateWindowExW(0, L"STATIC", L"", kChild | SS_WHITERECT, 0, 0, 0, 0, window_, id, instance, nullptr);
    }
    case UnitKind::Window:
    case UnitKind::Other: return nullptr;
    }
    return nullptr;
}

void Win32WindowBackend::place(uint32_t unit, HWND control, const Geometry& geometry)
{
    int height = std::max(geometry.height, 0);
    const UnitState* state = nullptr;
    WindowState now = snapshot();
    state = now.find(unit);
    if (state && state->kind == UnitKind::ComboBox)
        height += kDropDownHeight;
    SetWindowPos(control, nullptr, geometry.left, geometry.top, std::max(geometry.width, 0), height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    if (state && state->kind == UnitKind::ComboBox)
        SendMessageW(control, CB_SETITEMHEIGHT, WPARAM(-1), std::max(geometry.height - 6, 1));
}

// Mirrors a unit's texts into its control without taking the notifications that follow
// for the user's input: `updating_` tells them apart.
void Win32WindowBackend::show_unit_text(HWND control, const UnitState& unit)
{
    ++updating_;
    switch (unit.kind) {
    case UnitKind::Label:
    case UnitKind::Button: SetWindowTextW(control, wide(unit.caption).c_str()); break;
    case UnitKind::EditBox: SetWindowTextW(control, wide(unit.text).c_str()); break;
    case UnitKind::ComboBox: {
        std::vector<std::string>& shown = shown_items_[unit.id];
        const std::vector<std::string>& items = unit.items;
        // AddItem and DeleteItem change one item, so one row follows; any other change
        // fills the list anew.
        if (items.size() == shown.size() + 1 && std::equal(shown.begin(), shown.end(), items.begin())) {
            SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(items.back()).c_str()));
        } else if (items.size() + 1 == shown.size() && [&] {
                       size_t gone = std::mismatch(items.begin(), items.end(), shown.begin()).first - items.begin();
                       if (!std::equal(items.begin() + gone, items.end(), shown.begin() + gone + 1))
                           return false;
                       SendMessageW(control, CB_DELETESTRING, gone, 0);
                       return true;
                   }()) {
        } else if (items != shown) {
            SendMessageW(control, CB_RESETCONTENT, 0, 0);
            for (const std::string& item : items)
                SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(item).c_str()));
        }
        shown = items;
        if (SendMessageW(control, CB_GETCURSEL, 0, 0) != unit.selected)
            SendMessageW(control, CB_SETCURSEL, WPARAM(unit.selected), 0);
        break;
    }
    default: break;
    }
    --updating_;
}

void Win32WindowBackend::unit_changed(const UnitState& unit, PropertyChange change)
{
    if (unit.kind == UnitKind::Window) {
        if (window_ && change == PropertyChange::Text)
            SetWindowTextW(window_, wide(unit.caption).c_str());
        return;
    }
    auto found = controls_.find(unit.id);
    if (found == controls_.end())
        return;
    switch (change) {
    case PropertyChange::Geometry: place(unit.id, found->second, unit.geometry); break;
    case PropertyChange::Text:
    case PropertyChange::Selection: show_unit_text(found->second, unit); break;
    case PropertyChange::Address:
    case PropertyChange::None: break;
    }
}

void Win32WindowBackend::wake_ui()
{
    if (window_ && !dispatch_posted_.exchange(true))
        PostMessageW(window_, kDispatchMessage, 0, 0);
}

void Win32WindowBackend::window_closed()
{
    if (window_)
        ShowWindow(window_, SW_HIDE);
    // Wakes the loop, which then sees the window closed.
    PostThreadMessageW(ui_thread_, WM_NULL, 0, 0);
}

void Win32WindowBackend::run_event_loop()
{
    if (!window_ || is_closed())
        return;
    MSG message;
    while (!is_closed() && GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// Lets the system deliver what is pending (drawing, input), which also dispatches queued
// events through the window's own message; then whatever is still queued. As in the GTK
// window the system is asked at most once a millisecond: a routine may call this
// thousands of times in a row.
void Win32WindowBackend::process_events()
{
    auto now = std::chrono::steady_clock::now();
    if (now - last_peek_ >= kPeekInterval) {
        MSG message;
        // A bound, so a source that is always ready cannot hold the program here.
        for (int i = 0; i < 1000 && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++i) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(int(message.wParam));
                break;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        last_peek_ = std::chrono::steady_clock::now();
    }
    dispatch_pending();
}

void Win32WindowBackend::on_command(HWND control, WORD code)
{
    auto unit = units_.find(control);
    if (unit == units_.end())
        return;
    wchar_t class_name[16] = {};
    GetClassNameW(control, class_name, 16);
    if (_wcsicmp(class_name, L"BUTTON") == 0 && code == BN_CLICKED) {
        queue_user_action({UserAction::Kind::Click, unit->second, 0});
    } else if (_wcsicmp(class_name, L"COMBOBOX") == 0 && code == CBN_SELCHANGE && !updating_) {
        LRESULT index = SendMessageW(control, CB_GETCURSEL, 0, 0);
        if (index >= 0)
            queue_user_action({UserAction::Kind::Pick, unit->second, int32_t(index)});
    } else if (_wcsicmp(class_name, L"EDIT") == 0 && code == EN_CHANGE && !updating_) {
        int length = GetWindowTextLengthW(control);
        std::wstring text(size_t(length) + 1, L'\0');
        GetWindowTextW(control, text.data(), length + 1);
        text.resize(size_t(length));
        user_edited_text(unit->second, utf8_to_gbk(nimbra::platform::wide_to_utf8(text)));
    }
}

LRESULT CALLBACK Win32WindowBackend::window_procedure(HWND window, UINT message, WPARAM w, LPARAM l)
{
    auto* self = reinterpret_cast<Win32WindowBackend*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return self ? self->handle(message, w, l) : DefWindowProcW(window, message, w, l);
}

LRESULT Win32WindowBackend::handle(UINT message, WPARAM w, LPARAM l)
{
    switch (message) {
    case kDispatchMessage:
        dispatch_posted_ = false;
        dispatch_pending();
        return 0;
    case WM_COMMAND:
        if (l)
            on_command(reinterpret_cast<HWND>(l), HIWORD(w));
        return 0;
    case WM_SETCURSOR:
        if (std::find(hand_cursor_controls_.begin(), hand_cursor_controls_.end(), reinterpret_cast<HWND>(w)) !=
            hand_cursor_controls_.end()) {
            SetCursor(LoadCursorW(nullptr, IDC_HAND));
            return TRUE;
        }
        break;
    case WM_CLOSE:
        // Hidden once the close is handled, not destroyed by the system now.
        queue_user_action({UserAction::Kind::Close, 0, 0});
        return 0;
    default: break;
    }
    return DefWindowProcW(window_, message, w, l);
}

std::unique_ptr<WindowBackend> make_screen_window(BackendOptions& options) { return make_win32_window(options); }

std::unique_ptr<WindowBackend> make_win32_window(BackendOptions& options)
{
    INITCOMMONCONTROLSEX common{sizeof common, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&common);
    if (!register_window_class()) {
        say("the window class cannot be registered: %s", nimbra::platform::system_error_text(GetLastError()).c_str());
        return nullptr;
    }
    if (!options.browsers) {
        const BrowserPaneExtension* pane = options.browser_pane;
        if (pane && pane->version == kBrowserPaneVersion && pane->create_gtk_factory)
            options.browsers.reset(pane->create_gtk_factory());
        if (!options.browsers)
            say("WebPane offers no browser control; the panes record what they are given");
    }
    return std::make_unique<Win32WindowBackend>(std::move(options));
}

}  // namespace corert
