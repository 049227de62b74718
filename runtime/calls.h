// Calling the runtime from routine code: argument records, kernel and support-library
// commands, window properties, memory and DLL functions.
//
// A command call builds its argument block on the stack (count first, then one record
// of three words per argument, in argument order) and calls the stub of slot 3 (kernel)
// or slot 2 (support library). The typed helpers below make a call read like the
// command: `FindText(text, sought, omitted, false)`.
#pragma once

#include "runtime/linkage.h"

#include <stddef.h>
#include <stdint.h>

namespace qx::rt {

// ---- argument values ----

struct Omitted {};
inline constexpr Omitted omitted{};

// A byte set is an array block of one dimension whose elements are bytes.
struct ByteSetArg {
    const void* block;
};

// A control passed to a command: window id and unit id as marked operands, and the
// control's data-type id (group 3) as the record's type word.
struct ControlRef {
    uint32_t window;
    uint32_t unit;
    uint32_t type;
};

struct ByteArg {
    uint8_t value;
};

inline ArgRecord pointer_record(const void* p, uint32_t tag)
{
    uint64_t bits = reinterpret_cast<uintptr_t>(p);
    return ArgRecord{uint32_t(bits), uint32_t(bits >> 32), tag};
}

inline ArgRecord to_record(int32_t v) { return ArgRecord{uint32_t(v), 0, kTagInteger}; }
inline ArgRecord to_record(bool v) { return ArgRecord{v ? 1u : 0u, 0, kTagLogical}; }
inline ArgRecord to_record(ByteArg v) { return ArgRecord{v.value, 0, kTagByte}; }
inline ArgRecord to_record(Omitted) { return ArgRecord{0, 0, kTagOmitted}; }
inline ArgRecord to_record(ControlRef c) { return ArgRecord{c.window, c.unit, c.type}; }
inline ArgRecord to_record(ByteSetArg b) { return pointer_record(b.block, kTagByteSet); }
// Commands never see a null text: it travels as the const section's empty text.
inline ArgRecord to_record(const char* text) { return pointer_record(text ? text : const_empty_text(), kTagText); }
inline ArgRecord to_record(char* text) { return to_record(static_cast<const char*>(text)); }

// An optional argument: the value, or three zero words.
template <typename T>
struct Optional {
    Optional(Omitted) {}
    Optional(T v) : present(true), value(v) {}
    bool present = false;
    T value{};
};
template <typename T>
inline ArgRecord to_record(Optional<T> v)
{
    return v.present ? to_record(v.value) : to_record(omitted);
}

template <size_t N>
struct ArgBlockOf {
    uint32_t count;
    ArgRecord records[N];
};
template <>
struct ArgBlockOf<0> {
    uint32_t count;
};

template <typename... A>
[[gnu::always_inline]] inline ArgBlockOf<sizeof...(A)> make_args(A... args)
{
    return ArgBlockOf<sizeof...(A)>{uint32_t(sizeof...(A)), {to_record(args)...}};
}
[[gnu::always_inline]] inline ArgBlockOf<0> make_args() { return ArgBlockOf<0>{0}; }

template <size_t N>
inline const ArgBlock* as_block(const ArgBlockOf<N>& block)
{
    return reinterpret_cast<const ArgBlock*>(&block);
}

// ---- the calls ----

template <typename... A>
inline uint64_t CallKernel(uint32_t command, A... args)
{
    auto block = make_args(args...);
    return qx_stub_3(command, as_block(block));
}

template <uint32_t Library, typename... A>
inline uint64_t CallLibrary(uint32_t command, A... args)
{
    auto block = make_args(args...);
    return qx_stub_2(library_index<Library>(), command, as_block(block));
}

// DLL call: every argument is one word; the runtime checks `count` against the
// function's declared argument count (run-time error 6 on a mismatch).
inline uint64_t dll_word(uint32_t v) { return v; }
inline uint64_t dll_word(int32_t v) { return uint32_t(v); }
inline uint64_t dll_word(const void* p) { return reinterpret_cast<uintptr_t>(p); }

template <uint32_t Command, typename... A>
inline uint32_t CallDll(A... args)
{
    const uint64_t words[sizeof...(A) + 1] = {dll_word(args)..., 0};
    return qx_stub_1(dll_command<Command>(), uint32_t(sizeof...(A)), words);
}

inline void RaiseRunTimeError(uint32_t code) { qx_stub_0(code); }

inline void* Allocate(uint32_t bytes) { return qx_stub_6(bytes); }
inline void* Reallocate(void* block, uint32_t bytes) { return qx_stub_7(block, bytes); }
// Null is tested here so that the free service never sees it.
inline void Free(const void* block)
{
    if (block)
        qx_stub_8(const_cast<void*>(block));
}

template <uint32_t Window, uint32_t Unit>
inline uint64_t GetUnitProperty(uint32_t property, int32_t element = -1)
{
    return qx_stub_4(unit_id<Window>(), unit_id<Unit>(), property, element);
}
template <uint32_t Window, uint32_t Unit>
inline void SetUnitProperty(uint32_t property, uint64_t value, int32_t element = -1)
{
    qx_stub_5(unit_id<Window>(), unit_id<Unit>(), property, element, uint32_t(value), uint32_t(value >> 32));
}
template <uint32_t Window, uint32_t Unit>
inline void SetUnitText(uint32_t property, const char* text, int32_t element = -1)
{
    SetUnitProperty<Window, Unit>(property, reinterpret_cast<uintptr_t>(text ? text : const_empty_text()), element);
}

template <uint32_t Window, uint32_t Unit, uint32_t Type>
inline ControlRef Control()
{
    return ControlRef{unit_id<Window>(), unit_id<Unit>(), data_type_id<Type>()};
}

inline int32_t as_integer(uint64_t r) { return int32_t(uint32_t(r)); }
inline char* as_text(uint64_t r) { return reinterpret_cast<char*>(uintptr_t(r)); }
inline void* as_block_pointer(uint64_t r) { return reinterpret_cast<void*>(uintptr_t(r)); }
inline double as_double(uint64_t r) { return __builtin_bit_cast(double, r); }

}  // namespace qx::rt
