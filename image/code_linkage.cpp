#include "image/code_linkage.h"

#include <string>

namespace qx {

namespace {

constexpr uint32_t kKindMask = 0x7;
constexpr uint32_t kOffsetShift = 3;
constexpr uint32_t kLargestOffset = 0xffffffffu >> kOffsetShift;

const char* kind_name(uint32_t kind)
{
    switch (kind) {
    case kRelocServiceSlot: return "service slot";
    case kRelocConst: return "const";
    case kRelocVar: return "var";
    case kRelocCode: return "code";
    }
    return "?";
}

uint64_t base_of(RelocationKind kind, const LinkTargets& targets)
{
    switch (kind) {
    case kRelocServiceSlot: return targets.service_table;
    case kRelocConst: return targets.const_data;
    case kRelocVar: return targets.var_data;
    case kRelocCode: return targets.code_data;
    }
    return 0;
}

// The operand must lie wholly inside the code data; `what` names the table entry.
uint8_t* operand_at(std::span<uint8_t> code, uint32_t offset, const std::string& what)
{
    if (uint64_t(offset) + 4 > code.size())
        throw FormatError(offset, what,
                          "operand at code offset " + hex32(offset) + " lies outside the code data (" +
                              std::to_string(code.size()) + " bytes)");
    return code.data() + offset;
}

}  // namespace

uint32_t encode_relocation(Relocation r)
{
    if (r.offset > kLargestOffset)
        throw std::invalid_argument("relocation offset " + hex32(r.offset) + " does not fit in 29 bits");
    return (r.offset << kOffsetShift) | (uint32_t(r.kind) & kKindMask);
}

Relocation decode_relocation(uint32_t entry)
{
    uint32_t kind = entry & kKindMask;
    if (kind > kRelocCode)
        throw FormatError(0, "relocation entry",
                          "entry " + hex32(entry) + " has kind " + std::to_string(kind) + ", above the highest kind 3");
    return Relocation{RelocationKind(kind), entry >> kOffsetShift};
}

EncodedMarkGroups write_mark_groups(const MarkGroups& groups)
{
    EncodedMarkGroups out;
    ByteWriter w(out.bytes);
    size_t offsets = 0;
    for (const auto& group : groups) {
        w.u32(checked_u32(group.size(), "mark group count"));
        for (uint32_t offset : group)
            w.u32(offset);
        offsets += group.size();
    }
    // The stored-size field counts every offset but only three of the four count words;
    // readers take the groups by their counts, so the fourth word is still read.
    out.size_field = checked_u32(4 * (offsets + kMarkGroupCount - 1), "@reloc1 size");
    return out;
}

MarkGroups read_mark_groups(std::span<const uint8_t> data, size_t origin)
{
    static const char* const kGroupField[kMarkGroupCount] = {"@reloc1 unit-id group", "@reloc1 DLL-command group",
                                                             "@reloc1 library group", "@reloc1 data-type group"};
    ByteReader r(data, origin);
    MarkGroups groups;
    for (size_t g = 0; g < kMarkGroupCount; ++g) {
        std::string field = kGroupField[g];
        uint32_t count = r.u32(field + " count");
        if (uint64_t(count) * 4 > r.remaining())
            r.fail(field + " count", "count " + std::to_string(count) + " needs " +
                                         std::to_string(uint64_t(count) * 4) + " bytes but only " +
                                         std::to_string(r.remaining()) + " remain");
        groups[g].reserve(count);
        for (uint32_t i = 0; i < count; ++i)
            groups[g].push_back(r.u32(field + " offset"));
    }
    return groups;
}

Section make_mark_section(const MarkGroups& groups)
{
    EncodedMarkGroups encoded = write_mark_groups(groups);
    Section s = make_data_section("@reloc1", std::move(encoded.bytes));
    s.memory_size = encoded.size_field;
    s.stored_size = encoded.size_field;
    return s;
}

void link(std::span<uint8_t> code, std::span<const uint32_t> relocations, const MarkGroups& groups,
          const LinkTargets& targets)
{
    for (size_t i = 0; i < relocations.size(); ++i) {
        Relocation r = decode_relocation(relocations[i]);
        std::string what = "relocation entry " + std::to_string(i) + " (" + kind_name(r.kind) + ")";
        uint8_t* operand = operand_at(code, r.offset, what);
        uint64_t value = uint64_t(load_u32(operand)) + base_of(r.kind, targets);
        if (value > 0xffffffffu)
            throw FormatError(r.offset, what, "linked value " + std::to_string(value) + " does not fit in 32 bits");
        store_u32(operand, uint32_t(value));
    }
    for (size_t g = 0; g < kMarkGroupCount; ++g) {
        if (groups[g].empty())
            continue;
        if (!targets.counterpart)
            throw std::invalid_argument("link: no counterpart function for the @reloc1 groups");
        for (size_t i = 0; i < groups[g].size(); ++i) {
            std::string what = "@reloc1 group " + std::to_string(g) + " offset " + std::to_string(i);
            uint8_t* operand = operand_at(code, groups[g][i], what);
            store_u32(operand, targets.counterpart(g, load_u32(operand)));
        }
    }
}

}  // namespace qx
