#include "image/code_linkage.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(CodeLinkage, RelocationEntryKeepsKindLowAndOffsetHigh)
{
    const Relocation cases[] = {
        {kRelocServiceSlot, 0}, {kRelocConst, 5}, {kRelocVar, 0x1234}, {kRelocCode, 0x1fffffff}};
    for (auto r : cases) {
        uint32_t e = encode_relocation(r);
        EXPECT_EQ(e & 7, uint32_t(r.kind));
        EXPECT_EQ(e >> 3, r.offset);
        EXPECT_EQ(decode_relocation(e), r);
    }
    EXPECT_THROW(encode_relocation({kRelocConst, 0x20000000}), std::invalid_argument);
    EXPECT_THROW(decode_relocation(0x44), FormatError);  // kind 4
}

TEST(CodeLinkage, MarkGroupsSizeFieldLeavesOutOneCountWord)
{
    MarkGroups groups{std::vector<uint32_t>{4, 8}, {}, {12}, {16, 20, 24}};
    EncodedMarkGroups encoded = write_mark_groups(groups);
    EXPECT_EQ(encoded.bytes.size(), 4u * (4 + 6));
    EXPECT_EQ(encoded.size_field, 4u * (3 + 6));
    // Read by their counts, the groups come back whole although the size field stops
    // four bytes short.
    EXPECT_EQ(read_mark_groups(encoded.bytes), groups);
    Section s = make_mark_section(groups);
    EXPECT_EQ(s.stored_size, encoded.size_field);
    EXPECT_EQ(s.data.size(), encoded.bytes.size());
}

TEST(CodeLinkage, MarkGroupCountPastTheDataIsRejected)
{
    Bytes bytes = write_mark_groups(MarkGroups{std::vector<uint32_t>{4}, {}, {}, {}}).bytes;
    bytes[0] = 9;  // nine offsets claimed, one stored
    EXPECT_THROW(read_mark_groups(bytes, 0x100), FormatError);
    bytes.resize(6);
    EXPECT_THROW(read_mark_groups(bytes), FormatError);
}

struct LinkFixture : ::testing::Test {
    Bytes code = Bytes(32, 0);
    LinkTargets targets;
    void SetUp() override
    {
        store_u32(code.data() + 0, 0x30);
        store_u32(code.data() + 4, 0x36);
        store_u32(code.data() + 8, 8);
        store_u32(code.data() + 12, 0x10);
        store_u32(code.data() + 16, 0x16010a2e);
        targets.service_table = 0x100000;
        targets.const_data = 0x200000;
        targets.var_data = 0x300000;
        targets.code_data = 0x400000;
        targets.counterpart = [](size_t group, uint32_t value) { return uint32_t(group * 0x1000000) + (value & 0xff); };
    }
};

TEST_F(LinkFixture, AddsEachKindsBaseAndReplacesMarkedOperands)
{
    std::vector<uint32_t> relocs = {encode_relocation({kRelocServiceSlot, 0}), encode_relocation({kRelocConst, 4}),
                                    encode_relocation({kRelocVar, 8}), encode_relocation({kRelocCode, 12})};
    MarkGroups groups{std::vector<uint32_t>{}, {}, {}, {16}};
    link(code, relocs, groups, targets);
    EXPECT_EQ(load_u32(code.data() + 0), 0x100030u);
    EXPECT_EQ(load_u32(code.data() + 4), 0x200036u);
    EXPECT_EQ(load_u32(code.data() + 8), 0x300008u);
    EXPECT_EQ(load_u32(code.data() + 12), 0x400010u);
    EXPECT_EQ(load_u32(code.data() + 16), 0x300002eu);
}

TEST_F(LinkFixture, OperandsOutsideTheCodeOrSumsPast32BitsAreRejected)
{
    std::vector<uint32_t> outside = {encode_relocation({kRelocConst, 29})};
    EXPECT_THROW(link(code, outside, {}, targets), FormatError);
    MarkGroups marks{std::vector<uint32_t>{30}, {}, {}, {}};
    EXPECT_THROW(link(code, {}, marks, targets), FormatError);
    targets.const_data = 0xfffffff0;
    std::vector<uint32_t> overflow = {encode_relocation({kRelocConst, 4})};
    EXPECT_THROW(link(code, overflow, {}, targets), FormatError);
}

}  // namespace
}  // namespace qx
