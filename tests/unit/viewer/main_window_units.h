// The main window's thirteen units as the program shows them, written out by hand (UTF-8
// texts): what the form the build writes and the window the running program builds are
// both checked against. Nothing here comes from the code that builds the form.
#pragma once

#include "image/window_definition.h"

#include <cstdint>

namespace nimbra::testing {

struct ExpectedUnit {
    uint32_t id;  // in the form's unit list; code names the window 0x52010001
    const char* name;
    uint32_t type;
    int32_t left, top, width, height;
    uint32_t flags;
    uint32_t cursor;
    const char* text;  // the window's title, a label's or button's caption; else null
};

inline constexpr ExpectedUnit kMainWindowUnits[] = {
    {0x06010000, "", qx::kTypeWindow, 50, 50, 662, 411, 1, 0, "Nimbra天气预报器 V1.0"},
    {0x16011e1c, "标签2", qx::kTypeLabel, 556, 0, 104, 24, 1, 0, "下次打开将自动填"},
    {0x16011db3, "组合框3", qx::kTypeComboBox, 480, 0, 72, 20, 5, 0, nullptr},
    {0x16011db0, "组合框2", qx::kTypeComboBox, 408, 0, 72, 20, 5, 0, nullptr},
    {0x16011dae, "组合框1", qx::kTypeComboBox, 328, 0, 80, 20, 5, 0, nullptr},
    {0x16011d9f, "超文本浏览框4", qx::kTypeBrowser, -136, 23, 809, 33, 5, 0, nullptr},
    {0x16011d9d, "标签1", qx::kTypeLabel, 8, 280, 336, 24, 1, 0, nullptr},
    {0x16010a4d, "超文本浏览框2", qx::kTypeBrowser, 0, 272, 673, 125, 5, 0, nullptr},
    {0x16010a40, "按钮3", qx::kTypeButton, 219, -1, 80, 24, 5, 32649, "今日生活指数"},
    {0x16010a36, "按钮2", qx::kTypeButton, 120, -1, 80, 24, 5, 32649, "整点天气实况"},
    {0x16010a2e, "按钮1", qx::kTypeButton, 20, -1, 80, 24, 5, 32649, "天气预报"},
    {0x16010a2d, "编辑框1", qx::kTypeEditBox, 536, 8, 0, 0, 5, 0, nullptr},
    {0x16010002, "超文本浏览框1", qx::kTypeBrowser, 0, 56, 672, 216, 5, 0, nullptr},
};

}  // namespace nimbra::testing
