// What the program image and the kernel runtime agree on: service slots, argument
// records, type tags, command numbers and run-time error codes.
//
// This header is shared by the freestanding image code and by the runtime, so it uses
// nothing but fixed-width integers.
//
// Calls from image code into the runtime go through 13 stubs at the end of the code
// section; stub k jumps through service slot k. Every service is an ordinary C function
// of the runtime with the signatures below (System V calling convention): the image
// code calls the stub as if it were that function.
//
// The image is built once, as System V code, and the same bytes run on every system. A
// runtime built for Windows, whose own convention differs (other argument registers, no
// red zone, callee-saved rsi/rdi/xmm6-15), must call into the image and be called by it
// in the image's convention: every service, and every pointer to a routine of the image,
// carries QX_SERVICE_ABI. On Linux it is the default and changes no byte; on Windows a
// service defined without it cannot be placed in its slot (the types differ).
#pragma once

#include <stdint.h>

#define QX_SERVICE_ABI __attribute__((sysv_abi))

#ifdef __cplusplus
namespace qx {
#endif

// ---- service slots ----
enum ServiceSlot : uint32_t {
    kSlotRunTimeError = 0,
    kSlotCallDll = 1,
    kSlotCallLibrary = 2,
    kSlotCallKernel = 3,
    kSlotGetUnitProperty = 4,
    kSlotSetUnitProperty = 5,
    kSlotAllocate = 6,
    kSlotReallocate = 7,
    kSlotFree = 8,
    kSlotRunEventLoop = 9,
    kSlotHandOver = 10,
    kSlotLoadWindow = 11,
    kSlotRegister = 12,
    kServiceSlotCount = 13,
};

// Kind-0 relocation operands hold a slot's byte offset in the service table.
inline constexpr uint32_t slot_byte_offset(uint32_t slot) { return slot * 4; }

// Sub-functions of the registration service (slot 12).
enum RegisterFunction : uint32_t {
    kRegisterArrayVariable = 2,  // kind 4 and the address of an array variable
    kRegisterAtExit = 3,         // a code address, called at program end
};

// ---- argument records ----
// Three words per argument; a 64-bit pointer fills low and high.
struct ArgRecord {
    uint32_t low;
    uint32_t high;
    uint32_t type;
};

// In memory the count comes first, then the records in argument order.
struct ArgBlock {
    uint32_t count;
    ArgRecord records[1];  // `count` records; declared with one for C compatibility
};

enum TypeTag : uint32_t {
    kTagOmitted = 0,
    kTagInteger = 0x80000301,
    kTagText = 0x80000004,
    kTagByteSet = 0x80000005,
    kTagLogical = 0x80000002,
    kTagByte = 0x80000101,
    // Any other tag is a data-type id: a control reference (low = window, high = unit).
};

// Commands return one 64-bit word: an integer (sign-extended), a logical (0 or 1), a
// pointer to a new text, byte set or array (null for none), or the bits of a double.

// ---- service signatures ----
typedef void(QX_SERVICE_ABI* RunTimeErrorService)(uint32_t code);
// The DLL command's arguments, one word each, in declaration order; `count` is how many
// the caller passed. A count that differs from the function's own is a damaged stack.
typedef uint32_t(QX_SERVICE_ABI* CallDllService)(uint32_t command, uint32_t count, const uint64_t* args);
typedef uint64_t(QX_SERVICE_ABI* CallLibraryService)(uint32_t library, uint32_t command, const ArgBlock* args);
typedef uint64_t(QX_SERVICE_ABI* CallKernelService)(uint32_t command, const ArgBlock* args);
typedef uint64_t(QX_SERVICE_ABI* GetUnitPropertyService)(uint32_t window, uint32_t unit, uint32_t property,
                                                         int32_t element);
typedef void(QX_SERVICE_ABI* SetUnitPropertyService)(uint32_t window, uint32_t unit, uint32_t property, int32_t element,
                                                     uint32_t low, uint32_t high);
typedef void*(QX_SERVICE_ABI* AllocateService)(uint32_t bytes);
typedef void*(QX_SERVICE_ABI* ReallocateService)(void* block, uint32_t bytes);
typedef void(QX_SERVICE_ABI* FreeService)(void* block);
typedef void(QX_SERVICE_ABI* RunEventLoopService)(void);
typedef void(QX_SERVICE_ABI* HandOverService)(uint32_t zero);
typedef void(QX_SERVICE_ABI* LoadWindowService)(uint32_t window);
typedef void(QX_SERVICE_ABI* RegisterService)(uint32_t function, uint64_t a, uint64_t b);
// An event handler, the entry routine or a program-end routine: code of the image the
// runtime calls.
typedef void(QX_SERVICE_ABI* ImageRoutine)(void);

#ifdef __cplusplus
// Each slot's signature, so that whoever fills a table of services is checked, slot by
// slot, against the signatures above.
template <ServiceSlot slot>
struct ServiceOfSlot;
template <>
struct ServiceOfSlot<kSlotRunTimeError> {
    using type = RunTimeErrorService;
};
template <>
struct ServiceOfSlot<kSlotCallDll> {
    using type = CallDllService;
};
template <>
struct ServiceOfSlot<kSlotCallLibrary> {
    using type = CallLibraryService;
};
template <>
struct ServiceOfSlot<kSlotCallKernel> {
    using type = CallKernelService;
};
template <>
struct ServiceOfSlot<kSlotGetUnitProperty> {
    using type = GetUnitPropertyService;
};
template <>
struct ServiceOfSlot<kSlotSetUnitProperty> {
    using type = SetUnitPropertyService;
};
template <>
struct ServiceOfSlot<kSlotAllocate> {
    using type = AllocateService;
};
template <>
struct ServiceOfSlot<kSlotReallocate> {
    using type = ReallocateService;
};
template <>
struct ServiceOfSlot<kSlotFree> {
    using type = FreeService;
};
template <>
struct ServiceOfSlot<kSlotRunEventLoop> {
    using type = RunEventLoopService;
};
template <>
struct ServiceOfSlot<kSlotHandOver> {
    using type = HandOverService;
};
template <>
struct ServiceOfSlot<kSlotLoadWindow> {
    using type = LoadWindowService;
};
template <>
struct ServiceOfSlot<kSlotRegister> {
    using type = RegisterService;
};
#endif

// ---- run-time errors ----
enum RunTimeError : uint32_t {
    kErrorIndexTooLarge = 1,
    kErrorIndexTooSmall = 4,
    kErrorDamagedStack = 6,
};

// ---- support libraries, by manifest position ----
enum LibraryIndex : uint32_t {
    kLibCorert = 0,
    kLibWebPane = 1,
    kLibXtool = 2,
    kLibNetlib = 3,
    kLibSysapi = 4,
};

// ---- @reloc1 groups ----
enum MarkGroup : uint32_t {
    kGroupUnitId = 0,
    kGroupDllCommand = 1,
    kGroupLibrary = 2,
    kGroupDataType = 3,
};

// ---- data-type ids code passes as a control reference's type word (group 3) ----
enum DataTypeId : uint32_t {
    kDataTypeComboBox = 0x0001000e,
};

// ---- DLL commands (the image's table) ----
enum DllCommandIndex : uint32_t {
    kDllInternetOpen = 0,
    kDllInternetConnect = 1,
    kDllHttpOpenRequest = 2,
    kDllHttpSendRequest = 3,
    kDllInternetReadFile = 4,
    kDllHttpQueryInfo = 5,
    kDllInternetCloseHandle = 6,
    kDllInternetSetCookie = 7,
};

// ---- kernel commands (slot 3) ----
enum KernelCommand : uint32_t {
    kCmdGetProgramDirectory = 0x104,
    kCmdTextLength = 0x130,
    kCmdLeftText = 0x134,
    kCmdRightText = 0x138,
    kCmdMidText = 0x13c,
    kCmdCharText = 0x140,
    kCmdFindText = 0x148,
    kCmdKernelCommand0x154 = 0x154,
    kCmdToNumber = 0x164,
    kCmdToText = 0x168,
    kCmdKernelCommand0x178 = 0x178,
    kCmdReplaceSpan = 0x17c,
    kCmdReplaceAll = 0x180,
    kCmdBlankText = 0x184,
    kCmdCompareText = 0x18c,
    kCmdSplitText = 0x190,
    kCmdByteSetLength = 0x194,
    kCmdToByteSet = 0x198,
    kCmdLeftBytes = 0x1a0,
    kCmdBlankBytes = 0x1bc,
    kCmdDeleteFile = 0x244,
    kCmdReadFile = 0x268,
    kCmdWriteFile = 0x26c,
    kCmdOpenMemoryFile = 0x274,
    kCmdCloseFile = 0x278,
    kCmdSeekFileStart = 0x28c,
    kCmdWriteTextToFile = 0x2a0,
    kCmdReadLine = 0x2a4,
    kCmdAtFileEnd = 0x2b4,
    kCmdMessageBox = 0x300,
    kCmdProcessEvents = 0x350,
    kCmdItemCount = 0x3b0,
    kCmdItemText = 0x3bc,
    kCmdAddItem = 0x3c4,
    kCmdDeleteItem = 0x3cc,
};

// ---- support-library commands (slot 2) ----
enum LibraryCommand : uint32_t {
    kCmdDelay = 0x1c,        // xtool
    kCmdFetchUrl = 0x1c,     // netlib
    kCmdOpenWebPage = 0xe0,  // sysapi
};

// ---- unit properties (slots 4 and 5) ----
enum UnitProperty : uint32_t {
    kPropLeft = 0,
    kPropTop = 1,
    kPropWidth = 2,
    kPropHeight = 3,
    kPropText = 8,
    kPropAddress = 11,
    kPropSelectedIndex = 19,
};

#ifdef __cplusplus
}  // namespace qx
#endif
