// Typed access to the argument records of a command call, and the one-word results
// commands return.
//
// Arguments are read, never changed or freed. An argument beyond the caller's count
// reads as omitted. Asking for a type the record does not hold gives the empty value
// of the asked type, so a mismatched caller cannot make a command read wild memory
// through a number.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "corert/window_commands.h"
#include "runtime/service_abi.h"

namespace corert {

class CommandArgs {
public:
    explicit CommandArgs(const qx::ArgBlock* block) : block_(block) {}

    uint32_t count() const { return block_ ? block_->count : 0; }
    uint32_t tag(uint32_t index) const;
    bool omitted(uint32_t index) const { return tag(index) == qx::kTagOmitted; }

    // A text record's bytes up to the NUL; a null pointer or another type is empty.
    std::string_view text(uint32_t index) const;
    // Integer, byte and logical records; anything else, omitted included, is `fallback`.
    int32_t integer(uint32_t index, int32_t fallback = 0) const;
    std::optional<int32_t> optional_integer(uint32_t index) const;
    bool logical(uint32_t index, bool fallback = false) const;
    // A byte set record's bytes (every element of the block); null is empty.
    std::string_view byte_set(uint32_t index) const;
    // Any tag that is not one of the fixed type tags is a data-type id.
    std::optional<ControlRef> control(uint32_t index) const;

private:
    const qx::ArgBlock* block_;
};

// The bytes of a byte set or other one-byte-element array block; null gives empty.
std::string_view byte_set_bytes(const void* block);

// Results. Every block comes from the memory service and belongs to the caller.
inline uint64_t integer_result(int32_t value) { return static_cast<uint64_t>(static_cast<int64_t>(value)); }
inline uint64_t logical_result(bool value) { return value ? 1 : 0; }
uint64_t number_result(double value);
// A new NUL-terminated text, also for the empty text.
uint64_t text_result(std::string_view bytes);
// A new byte set; the empty byte set is null, as every reader takes it.
uint64_t byte_set_result(std::string_view bytes);
// A one-dimensional text array; no pieces gives dimension count 1, size 0.
uint64_t text_array_result(const std::vector<std::string_view>& elements);

}  // namespace corert
