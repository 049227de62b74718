// A picture of the Win32 window for automation (nimbra-ctl screenshot): what the screen
// shows of the window and of a message box over it, as a PNG. Taken from the screen,
// not from the window's own drawing, so that the box and the frame are in it as a user
// sees them.
#include "corert/windows/win32_window.h"

#include "platform/file_system.h"
#include "platform/png_file.h"

namespace corert {

std::string Win32WindowBackend::screenshot(const std::string& path, std::chrono::milliseconds)
{
    if (!window_)
        return "there is no window";
    RECT area{};
    GetWindowRect(window_, &area);
    {
        std::lock_guard lock(mutex_);
        for (const auto& [number, dialog] : box_dialogs_) {
            RECT box{};
            if (GetWindowRect(dialog, &box))
                UnionRect(&area, &area, &box);
        }
    }
    const int width = area.right - area.left, height = area.bottom - area.top;
    if (width <= 0 || height <= 0)
        return "the window has no size";

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool copied = false;
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        copied = BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY) != 0;
        SelectObject(memory, old);
    }
    std::vector<uint8_t> rgba;
    if (copied) {
        GdiFlush();
        const auto* bgrx = static_cast<const uint8_t*>(bits);
        rgba.resize(size_t(width) * size_t(height) * 4);
        for (size_t i = 0; i < rgba.size(); i += 4) {
            rgba[i] = bgrx[i + 2];
            rgba[i + 1] = bgrx[i + 1];
            rgba[i + 2] = bgrx[i];
            rgba[i + 3] = 255;
        }
    }
    if (bitmap)
        DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!copied)
        return "the screen cannot be read";
    std::vector<uint8_t> png = nimbra::platform::rgba_png(uint32_t(width), uint32_t(height), rgba);
    std::string_view bytes(reinterpret_cast<const char*>(png.data()), png.size());
    if (!nimbra::platform::write_file_parts(path, {bytes}))
        return "cannot write " + path;
    return {};
}

}  // namespace corert
