// How the code section's references become run-time values.
//
// Two tables mark 32-bit operands inside the code data:
//  - the relocation table after the code section header: one u32 per operand, the kind in
//    bits 0-2 (0 service slot, 1 const, 2 var, 3 code) and the operand's offset in bits
//    3-31. Linking adds the target's base address to the operand. Entries are unsorted.
//  - the @reloc1 section: four groups (unit ids, DLL command indexes, support-library
//    indexes, data-type ids), each a u32 count and that many u32 offsets. Linking
//    replaces each marked operand by the runtime's counterpart of the value it holds.
//
// The @reloc1 section's stored-size field counts all offsets but only three of the four
// count words; the groups are therefore always read by their counts.
#pragma once

#include "image/byte_io.h"
#include "image/image_layout.h"

#include <array>
#include <functional>

namespace qx {

enum RelocationKind : uint32_t {
    kRelocServiceSlot = 0,
    kRelocConst = 1,
    kRelocVar = 2,
    kRelocCode = 3,
};

struct Relocation {
    RelocationKind kind;
    uint32_t offset;  // of the operand, from the start of the code data
    bool operator==(const Relocation&) const = default;
};

uint32_t encode_relocation(Relocation r);
Relocation decode_relocation(uint32_t entry);  // throws FormatError on a kind above 3

inline constexpr size_t kMarkGroupCount = 4;
using MarkGroups = std::array<std::vector<uint32_t>, kMarkGroupCount>;

// The @reloc1 bytes and the value its stored-size field takes.
struct EncodedMarkGroups {
    Bytes bytes;
    uint32_t size_field;
};
EncodedMarkGroups write_mark_groups(const MarkGroups& groups);
// Reads the four groups by their counts from `data` (which may run past the size field).
MarkGroups read_mark_groups(std::span<const uint8_t> data, size_t origin = 0);

// The @reloc1 section as the image stores it.
Section make_mark_section(const MarkGroups& groups);

// What the runtime supplies to `link`.
struct LinkTargets {
    uint64_t service_table = 0;  // base for kind 0
    uint64_t const_data = 0;
    uint64_t var_data = 0;
    uint64_t code_data = 0;
    // Run-time counterpart of a marked operand's value, per group.
    std::function<uint32_t(size_t group, uint32_t value)> counterpart;
};

// Patches `code` (the code section's data as it lies in memory at targets.code_data).
// Every operand must lie inside the code data and every sum must fit in 32 bits;
// otherwise a FormatError names the entry.
void link(std::span<uint8_t> code, std::span<const uint32_t> relocations, const MarkGroups& groups,
          const LinkTargets& targets);

}  // namespace qx
