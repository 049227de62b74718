// The kernel and support-library commands the routines use, one typed function each.
//
// Every text, byte set or array returned is a new block owned by the caller (free it
// with Free or hold it in a Text/ByteSet/TextArray). Brackets in the command table mean
// an argument some callers leave out: those parameters take `omitted` or a value.
#pragma once

#include "runtime/calls.h"

namespace qx::rt {

using OptInt = Optional<int32_t>;
using OptText = Optional<const char*>;

// ---- kernel runtime (slot 3) ----
inline char* GetProgramDirectory() { return as_text(CallKernel(kCmdGetProgramDirectory)); }
inline int32_t TextLength(const char* text) { return as_integer(CallKernel(kCmdTextLength, text)); }
inline char* LeftText(const char* text, int32_t n) { return as_text(CallKernel(kCmdLeftText, text, n)); }
inline char* RightText(const char* text, int32_t n) { return as_text(CallKernel(kCmdRightText, text, n)); }
inline char* MidText(const char* text, int32_t start, int32_t n)
{
    return as_text(CallKernel(kCmdMidText, text, start, n));
}
inline char* CharText(ByteArg code) { return as_text(CallKernel(kCmdCharText, code)); }
inline int32_t FindText(const char* text, const char* sought, OptInt start, bool ignore_case)
{
    return as_integer(CallKernel(kCmdFindText, text, sought, start, ignore_case));
}
inline char* KernelCommand0x154(const char* text) { return as_text(CallKernel(kCmdKernelCommand0x154, text)); }
inline double ToNumber(const char* text) { return as_double(CallKernel(kCmdToNumber, text)); }
inline char* ToText(ByteSetArg bytes) { return as_text(CallKernel(kCmdToText, bytes)); }
inline char* ToText(int32_t value) { return as_text(CallKernel(kCmdToText, value)); }
inline char* ToText(const char* text) { return as_text(CallKernel(kCmdToText, text)); }
inline char* KernelCommand0x178(const char* text) { return as_text(CallKernel(kCmdKernelCommand0x178, text)); }
inline char* ReplaceSpan(const char* text, int32_t start, int32_t n, OptText replacement)
{
    return as_text(CallKernel(kCmdReplaceSpan, text, start, n, replacement));
}
inline char* ReplaceAll(const char* text, const char* sought, const char* replacement, OptInt start, OptInt count,
                        bool flag)
{
    return as_text(CallKernel(kCmdReplaceAll, text, sought, replacement, start, count, flag));
}
inline char* BlankText(int32_t n) { return as_text(CallKernel(kCmdBlankText, n)); }
inline int32_t CompareText(const char* a, const char* b, bool flag)
{
    return as_integer(CallKernel(kCmdCompareText, a, b, flag));
}
inline void* SplitText(const char* text, const char* separator, OptInt limit)
{
    return as_block_pointer(CallKernel(kCmdSplitText, text, separator, limit));
}
inline int32_t ByteSetLength(ByteSetArg bytes) { return as_integer(CallKernel(kCmdByteSetLength, bytes)); }
inline void* ToByteSet(const char* text) { return as_block_pointer(CallKernel(kCmdToByteSet, text)); }
inline void* LeftBytes(ByteSetArg bytes, int32_t n) { return as_block_pointer(CallKernel(kCmdLeftBytes, bytes, n)); }
inline void* BlankBytes(int32_t n) { return as_block_pointer(CallKernel(kCmdBlankBytes, n)); }
inline void DeleteFile(const char* path) { CallKernel(kCmdDeleteFile, path); }
inline void* ReadFile(const char* path) { return as_block_pointer(CallKernel(kCmdReadFile, path)); }
inline void WriteFile(const char* path, ByteSetArg bytes) { CallKernel(kCmdWriteFile, path, bytes); }
inline int32_t OpenMemoryFile() { return as_integer(CallKernel(kCmdOpenMemoryFile)); }
inline void CloseFile(int32_t file) { CallKernel(kCmdCloseFile, file); }
inline void SeekFileStart(int32_t file) { CallKernel(kCmdSeekFileStart, file); }
inline void WriteTextToFile(int32_t file, const char* text) { CallKernel(kCmdWriteTextToFile, file, text); }
inline char* ReadLine(int32_t file) { return as_text(CallKernel(kCmdReadLine, file)); }
inline bool AtFileEnd(int32_t file) { return CallKernel(kCmdAtFileEnd, file, false) != 0; }
inline void MessageBox(const char* message, int32_t flags, OptText title)
{
    CallKernel(kCmdMessageBox, message, flags, title);
}
inline void ProcessEvents() { CallKernel(kCmdProcessEvents); }
inline int32_t ItemCount(ControlRef combo) { return as_integer(CallKernel(kCmdItemCount, combo)); }
inline char* ItemText(ControlRef combo, int32_t index) { return as_text(CallKernel(kCmdItemText, combo, index)); }
inline void AddItem(ControlRef combo, const char* text, OptInt data) { CallKernel(kCmdAddItem, combo, text, data); }
inline void DeleteItem(ControlRef combo, int32_t index) { CallKernel(kCmdDeleteItem, combo, index); }

// ---- support libraries (slot 2) ----
inline void Delay(int32_t milliseconds) { CallLibrary<kLibXtool>(kCmdDelay, milliseconds); }
inline void* FetchUrl(const char* address) { return as_block_pointer(CallLibrary<kLibNetlib>(kCmdFetchUrl, address)); }
inline void OpenWebPage(const char* address) { CallLibrary<kLibSysapi>(kCmdOpenWebPage, address); }

// ---- services used by the entry routine ----
inline void RegisterAtExit(void* routine) { qx_stub_12(kRegisterAtExit, reinterpret_cast<uintptr_t>(routine), 0); }
inline void RegisterArrayVariable(void* variable)
{
    qx_stub_12(kRegisterArrayVariable, 4, reinterpret_cast<uintptr_t>(variable));
}
template <uint32_t Window>
inline void LoadWindow()
{
    qx_stub_11(unit_id<Window>());
}
inline void HandOver() { qx_stub_10(0); }
inline void RunEventLoop() { qx_stub_9(); }

}  // namespace qx::rt
