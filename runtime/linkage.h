// How routine code reaches what only the runtime knows: the service stubs, the marked
// operands of the four @reloc1 groups, the const section's fixed points and the globals.
//
// This is the one header whose meaning differs between the two builds of the routines.
// QX_IMAGE_BUILD (freestanding, position-dependent, for the program image):
//  - services are the 13 stubs `qx_stub_<k>` that the image linker appends to the code;
//  - a marked operand is the immediate of a `movl $imm32, %reg` whose place goes into
//    the .qx_marks section, from which the linker builds the @reloc1 groups;
//  - absolute addresses (const fixed points, globals, a routine's address) are `movl
//    $symbol` operands, so they become relocation table entries and never PC-relative
//    references (the var section is placed by the runtime, away from the image).
// Hosted (unit tests): the same names are ordinary functions and variables of
// runtime/hosted_linkage.cpp, which forward to whatever the test installs.
#pragma once

#include "runtime/service_abi.h"

#include <stdint.h>

extern "C" {
void QX_SERVICE_ABI qx_stub_0(uint32_t code);
uint32_t QX_SERVICE_ABI qx_stub_1(uint32_t command, uint32_t count, const uint64_t* args);
uint64_t QX_SERVICE_ABI qx_stub_2(uint32_t library, uint32_t command, const qx::ArgBlock* args);
uint64_t QX_SERVICE_ABI qx_stub_3(uint32_t command, const qx::ArgBlock* args);
uint64_t QX_SERVICE_ABI qx_stub_4(uint32_t window, uint32_t unit, uint32_t property, int32_t element);
void QX_SERVICE_ABI qx_stub_5(uint32_t window, uint32_t unit, uint32_t property, int32_t element, uint32_t low,
                              uint32_t high);
void* QX_SERVICE_ABI qx_stub_6(uint32_t bytes);
void* QX_SERVICE_ABI qx_stub_7(void* block, uint32_t bytes);
void QX_SERVICE_ABI qx_stub_8(void* block);
void QX_SERVICE_ABI qx_stub_9(void);
void QX_SERVICE_ABI qx_stub_10(uint32_t zero);
void QX_SERVICE_ABI qx_stub_11(uint32_t window);
void QX_SERVICE_ABI qx_stub_12(uint32_t function, uint64_t a, uint64_t b);
}

#if QX_IMAGE_BUILD

// Loads the address of `symbol` through an absolute 32-bit operand (the image lies below
// 2 GiB, so the zero-extended operand is the whole address).
#define QX_ABSOLUTE_ADDRESS(symbol)                                                                                    \
    ([]() __attribute__((always_inline)) {                                                                             \
        void* address_;                                                                                                \
        asm("movl $" #symbol ", %k0" : "=r"(address_));                                                                \
        return address_;                                                                                               \
    }())

extern "C" {
// Defined by the image linker at the const section's fixed points.
extern const char qx_const_version_text[];
extern const uint8_t qx_const_empty_array[];
extern const char qx_const_empty_text[];
}

namespace qx::rt {

// The operand holds `Value` in the image; linking replaces it by the runtime's
// counterpart. The immediate is the last four bytes of the instruction whatever
// register is chosen, hence `2b - 4`.
template <uint32_t Group, uint32_t Value>
[[gnu::always_inline]] inline uint32_t marked_operand()
{
    uint32_t result;
    asm("1: movl %1, %0\n2:\n"
        ".pushsection .qx_marks,\"a\",@progbits\n"
        ".balign 8\n"
        ".long %c2, 0\n"
        ".quad 2b - 4\n"
        ".popsection"
        : "=r"(result)
        : "i"(Value), "i"(Group));
    return result;
}

[[gnu::always_inline]] inline const char* const_version_text()
{
    return static_cast<const char*>(QX_ABSOLUTE_ADDRESS(qx_const_version_text));
}
[[gnu::always_inline]] inline const uint8_t* const_empty_array()
{
    return static_cast<const uint8_t*>(QX_ABSOLUTE_ADDRESS(qx_const_empty_array));
}
[[gnu::always_inline]] inline const char* const_empty_text()
{
    return static_cast<const char*>(QX_ABSOLUTE_ADDRESS(qx_const_empty_text));
}

}  // namespace qx::rt

#else  // hosted

#define QX_ABSOLUTE_ADDRESS(symbol) (reinterpret_cast<void*>(&(symbol)))

extern "C" {
// Installed by the test or runtime hosting the routines.
uint32_t qx_hosted_counterpart(uint32_t group, uint32_t value);
extern const uint8_t qx_hosted_const_start[];
}

namespace qx::rt {

template <uint32_t Group, uint32_t Value>
inline uint32_t marked_operand()
{
    return qx_hosted_counterpart(Group, Value);
}

// The hosted build keeps a copy of the const section's first bytes with its fixed points.
inline const char* const_version_text() { return reinterpret_cast<const char*>(qx_hosted_const_start); }
inline const uint8_t* const_empty_array() { return qx_hosted_const_start + 0x29; }
inline const char* const_empty_text() { return reinterpret_cast<const char*>(qx_hosted_const_start + 0x36); }

}  // namespace qx::rt

#endif

namespace qx::rt {

template <uint32_t Unit>
inline uint32_t unit_id()
{
    return marked_operand<kGroupUnitId, Unit>();
}
template <uint32_t Command>
inline uint32_t dll_command()
{
    return marked_operand<kGroupDllCommand, Command>();
}
template <uint32_t Library>
inline uint32_t library_index()
{
    return marked_operand<kGroupLibrary, Library>();
}
template <uint32_t Type>
inline uint32_t data_type_id()
{
    return marked_operand<kGroupDataType, Type>();
}

}  // namespace qx::rt
