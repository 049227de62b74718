#include "command_harness.h"

#include <cstring>

namespace corert::test {

Args& Args::record(uint64_t value, uint32_t tag)
{
    records_.push_back({static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32), tag});
    return *this;
}

Args& Args::text(std::string value)
{
    texts_.push_back(std::make_unique<std::string>(std::move(value)));
    return record(reinterpret_cast<uint64_t>(texts_.back()->c_str()), qx::kTagText);
}

Args& Args::null_text() { return record(0, qx::kTagText); }
Args& Args::integer(int32_t value) { return record(static_cast<uint32_t>(value), qx::kTagInteger); }
Args& Args::byte(uint8_t value) { return record(value, qx::kTagByte); }
Args& Args::logical(bool value) { return record(value ? 1 : 0, qx::kTagLogical); }
Args& Args::omitted() { return record(0, qx::kTagOmitted); }
Args& Args::null_byte_set() { return record(0, qx::kTagByteSet); }

Args& Args::byte_set(std::string bytes)
{
    auto block = std::make_unique<std::vector<uint32_t>>(2 + (bytes.size() + 3) / 4);
    (*block)[0] = 1;
    (*block)[1] = static_cast<uint32_t>(bytes.size());
    std::memcpy(block->data() + 2, bytes.data(), bytes.size());
    byte_sets_.push_back(std::move(block));
    return record(reinterpret_cast<uint64_t>(byte_sets_.back()->data()), qx::kTagByteSet);
}

Args& Args::control(uint32_t window, uint32_t unit, uint32_t type)
{
    return record((uint64_t(unit) << 32) | window, type);
}

const qx::ArgBlock* Args::block()
{
    words_.assign(1, static_cast<uint32_t>(records_.size()));
    for (const qx::ArgRecord& r : records_)
        words_.insert(words_.end(), {r.low, r.high, r.type});
    return reinterpret_cast<const qx::ArgBlock*>(words_.data());
}

uint64_t call(uint32_t command, Args& args) { return call_kernel_command(command, args.block()); }

std::string take_text(uint64_t result)
{
    auto text = reinterpret_cast<char*>(result);
    EXPECT_TRUE(text && memory_owns(text)) << "a text result must be a new block";
    if (!text)
        return {};
    std::string copy(text);
    memory_free(text);
    return copy;
}

std::string take_byte_set(uint64_t result)
{
    auto block = reinterpret_cast<uint32_t*>(result);
    if (!block)
        return {};
    EXPECT_TRUE(memory_owns(block));
    EXPECT_EQ(block[0], 1u);
    std::string bytes(reinterpret_cast<const char*>(block + 2), block[1]);
    EXPECT_FALSE(bytes.empty()) << "the empty byte set is returned as null";
    memory_free(block);
    return bytes;
}

std::vector<std::string> take_text_array(uint64_t result)
{
    auto block = reinterpret_cast<uint32_t*>(result);
    EXPECT_TRUE(block && memory_owns(block));
    if (!block)
        return {};
    EXPECT_EQ(block[0], 1u);
    std::vector<std::string> elements;
    for (uint32_t i = 0; i < block[1]; ++i) {
        uint64_t element;
        std::memcpy(&element, reinterpret_cast<const char*>(block) + 8 + 8 * i, sizeof element);
        elements.push_back(take_text(element));
    }
    memory_free(block);
    return elements;
}

void CommandTest::SetUp()
{
    live_blocks_ = memory_counters().live_blocks;
    open_files_ = open_memory_file_count();
}

void CommandTest::TearDown()
{
    EXPECT_EQ(memory_counters().live_blocks, live_blocks_) << "blocks leaked";
    EXPECT_EQ(open_memory_file_count(), open_files_) << "memory files left open";
}

}  // namespace corert::test
