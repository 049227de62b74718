// Ids of the main window and its controls, as the form section stores them.
//
// Shared by the routines built into the image (freestanding, no library headers) and by
// the host tools that write the form section, so both name the same units.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
namespace nimbra {
#define NIMBRA_UNIT_ID inline constexpr uint32_t
#else
#define NIMBRA_UNIT_ID static const uint32_t
#endif

// Code and the runtime's services name the window by this id...
NIMBRA_UNIT_ID kWindowId = 0x52010001;
// ...while its own entry in the form's unit list is this one.
NIMBRA_UNIT_ID kUnitWindow = 0x06010000;

NIMBRA_UNIT_ID kUnitLabel2 = 0x16011e1c;    // 标签2
NIMBRA_UNIT_ID kUnitCombo3 = 0x16011db3;    // 组合框3
NIMBRA_UNIT_ID kUnitCombo2 = 0x16011db0;    // 组合框2
NIMBRA_UNIT_ID kUnitCombo1 = 0x16011dae;    // 组合框1
NIMBRA_UNIT_ID kUnitBrowser4 = 0x16011d9f;  // 超文本浏览框4
NIMBRA_UNIT_ID kUnitLabel1 = 0x16011d9d;    // 标签1
NIMBRA_UNIT_ID kUnitBrowser2 = 0x16010a4d;  // 超文本浏览框2
NIMBRA_UNIT_ID kUnitButton3 = 0x16010a40;   // 按钮3
NIMBRA_UNIT_ID kUnitButton2 = 0x16010a36;   // 按钮2
NIMBRA_UNIT_ID kUnitButton1 = 0x16010a2e;   // 按钮1
NIMBRA_UNIT_ID kUnitEditBox1 = 0x16010a2d;  // 编辑框1
NIMBRA_UNIT_ID kUnitBrowser1 = 0x16010002;  // 超文本浏览框1

#undef NIMBRA_UNIT_ID

#ifdef __cplusplus
}  // namespace nimbra
#endif
