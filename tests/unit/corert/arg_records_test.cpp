// Argument records and array blocks read the same way by the kernel commands and the
// support libraries (runtime/arg_records.h, runtime/array_block.h).
#include "corert/command_args.h"
#include "support/support_library.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct Block {
    std::vector<uint32_t> words;
    explicit Block(std::initializer_list<qx::ArgRecord> records)
    {
        words.push_back(uint32_t(records.size()));
        for (const qx::ArgRecord& r : records)
            words.insert(words.end(), {r.low, r.high, r.type});
    }
    const qx::ArgBlock* get() const { return reinterpret_cast<const qx::ArgBlock*>(words.data()); }
};

TEST(ArgRecords, IntegersReadAlikeInTheRuntimeAndTheLibraries)
{
    const char* text = "12";
    auto bits = reinterpret_cast<uintptr_t>(text);
    Block args{
        {0xfffffffe, 0, qx::kTagInteger},                                // -2
        {0x1ff, 0, qx::kTagByte},                                        // a byte is its low eight bits
        {7, 0, qx::kTagLogical},                                         // a logical is 0 or 1
        {uint32_t(bits), uint32_t(uint64_t(bits) >> 32), qx::kTagText},  // not a number
        {0, 0, qx::kTagOmitted},
    };
    const struct {
        uint32_t index;
        int32_t expected;
    } cases[] = {{0, -2}, {1, 0xff}, {2, 1}, {3, -9}, {4, -9}, {5, -9}};
    corert::CommandArgs command(args.get());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        EXPECT_EQ(command.integer(c.index, -9), c.expected);
        EXPECT_EQ(nimbra::support::integer_argument(args.get(), c.index, -9), c.expected);
    }
    EXPECT_EQ(command.text(3), "12");
    EXPECT_STREQ(nimbra::support::text_argument(args.get(), 3), "12");
    EXPECT_STREQ(nimbra::support::text_argument(args.get(), 0), "") << "a number is no text";
}

TEST(ArrayBlock, DamagedHeadersHoldNoElements)
{
    struct Case {
        const char* what;
        std::vector<uint32_t> header;
        uint32_t expected;
    } cases[] = {
        {"one dimension", {1, 5}, 5},
        {"two dimensions", {2, 3, 4}, 12},
        {"no dimensions", {0}, 0},
        {"more dimensions than any array has", {9, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 0},
        {"more elements than a count can hold", {2, 0x10000, 0x10000}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint32_t> block = c.header;
        block.resize(block.size() + 4, 0x41414141);
        EXPECT_EQ(qx::array_element_count(block.data()), c.expected);
        EXPECT_EQ(corert::byte_set_bytes(block.data()).size(), c.expected);
    }
    EXPECT_EQ(qx::array_element_count(nullptr), 0u);
}

}  // namespace
