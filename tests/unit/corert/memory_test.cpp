#include <cstring>
#include <thread>

#include "command_harness.h"
#include "corert/window_commands.h"

namespace corert::test {
namespace {

const char kConstText[] = "1.0";

using MemoryTest = CommandTest;

TEST_F(MemoryTest, FreeIgnoresForeignPointers)
{
    MemoryCounters before = memory_counters();
    int on_stack = 0;
    auto block = static_cast<char*>(corert_allocate(16));
    corert_free(const_cast<char*>(kConstText));
    corert_free(&on_stack);
    corert_free(block + 1);
    corert_free(nullptr);
    MemoryCounters after = memory_counters();
    EXPECT_EQ(after.ignored_frees - before.ignored_frees, 3u);
    EXPECT_EQ(after.live_blocks, before.live_blocks + 1);
    corert_free(block);
    corert_free(block);  // a second free of the same block is foreign by then
    EXPECT_EQ(memory_counters().frees - before.frees, 1u);
    EXPECT_EQ(memory_counters().ignored_frees - before.ignored_frees, 4u);
}

TEST_F(MemoryTest, ReallocateKeepsTheContent)
{
    auto block = static_cast<char*>(corert_reallocate(nullptr, 4));
    std::memcpy(block, "abc", 4);
    block = static_cast<char*>(corert_reallocate(block, 1 << 16));
    EXPECT_STREQ(block, "abc");
    EXPECT_GE(memory_counters().live_bytes, 1u << 16);
    block = static_cast<char*>(corert_reallocate(block, 0));
    EXPECT_TRUE(memory_owns(block));
    corert_free(block);
}

// Blocks of 2 MiB and more are mappings of their own: a resize that crosses that size
// either way, or moves a mapping, must carry every byte over, and the counters must
// not tell the two kinds apart.
TEST_F(MemoryTest, ResizesAcrossTheLargeBlockSizeKeepTheContent)
{
    constexpr uint32_t kMiB = 1u << 20;
    const uint32_t sizes[] = {4096, 2 * kMiB - 1, 2 * kMiB, 2 * kMiB + 1, 3 * kMiB, 16 * kMiB + 5, 5 * kMiB, kMiB, 17};
    MemoryCounters before = memory_counters();
    auto fill = [](char* block, uint32_t from, uint32_t to) {
        for (uint32_t i = from; i < to; ++i)
            block[i] = char(i * 7 + i / 4099);
    };
    // Another large block right behind keeps the first from growing where it stands.
    auto block = static_cast<char*>(corert_allocate(sizes[0]));
    void* neighbour = corert_allocate(4 * kMiB);
    fill(block, 0, sizes[0]);
    uint32_t filled = sizes[0];
    for (uint32_t size : sizes) {
        SCOPED_TRACE(size);
        block = static_cast<char*>(corert_reallocate(block, size));
        ASSERT_TRUE(memory_owns(block));
        uint32_t kept = filled < size ? filled : size;
        uint32_t wrong = 0;
        for (uint32_t i = 0; i < kept; ++i)
            wrong += block[i] != char(i * 7 + i / 4099);
        EXPECT_EQ(wrong, 0u);
        fill(block, kept, size);
        filled = size;
        EXPECT_EQ(memory_counters().live_bytes, before.live_bytes + size + 4 * kMiB);
    }
    corert_free(block);
    corert_free(neighbour);
    MemoryCounters after = memory_counters();
    EXPECT_EQ(after.live_blocks, before.live_blocks);
    EXPECT_EQ(after.live_bytes, before.live_bytes);
}

TEST_F(MemoryTest, BlocksFreedOnOtherThreads)
{
    std::vector<void*> blocks;
    for (int i = 0; i < 1000; ++i)
        blocks.push_back(corert_allocate(static_cast<uint32_t>(i)));
    auto free_half = [&](size_t first) {
        for (size_t i = first; i < blocks.size(); i += 2) {
            corert_free(blocks[i]);
            void* extra = corert_allocate(8);
            corert_free(extra);
        }
    };
    std::thread a(free_half, 0), b(free_half, 1);
    a.join();
    b.join();
}

TEST_F(MemoryTest, UnknownCommandGoesToTheHandler)
{
    static uint32_t reported = 0;
    set_unknown_command_handler([](uint32_t number) { reported = number; });
    Args args;
    args.text("x");
    EXPECT_EQ(call(0x999, args), 0u);
    EXPECT_EQ(reported, 0x999u);
    EXPECT_FALSE(is_kernel_command(0x999));
    EXPECT_TRUE(is_kernel_command(qx::kCmdReadLine));
    set_unknown_command_handler(nullptr);
}

class FakeWindow : public WindowCommands {
public:
    int32_t message_box(std::string_view message, int32_t flags, std::string_view, bool has_title) override
    {
        log += "box " + std::string(message) + " " + std::to_string(flags) + (has_title ? " titled" : "") + ";";
        return 1;
    }
    void process_events() override { log += "events;"; }
    int32_t item_count(const ControlRef& combo) override { return static_cast<int32_t>(combo.unit & 0xff); }
    std::string item_text(const ControlRef& combo, int32_t index) override
    {
        return std::to_string(combo.window) + ":" + std::to_string(index);
    }
    void add_item(const ControlRef& combo, std::string_view text, int32_t, bool has_data) override
    {
        log += "add " + std::to_string(combo.type) + " " + std::string(text) + (has_data ? " data" : "") + ";";
    }
    void delete_item(const ControlRef&, int32_t index) override { log += "delete " + std::to_string(index) + ";"; }
    std::string log;
};

TEST_F(MemoryTest, WindowCommandsWithAndWithoutBackend)
{
    Args count, text, add, remove, box;
    count.control(7, 0x16010003, 0x1000e);
    text.control(7, 0x16010003, 0x1000e).integer(2);
    add.control(7, 0x16010003, 0x1000e).text("\xb9\xe3\xb6\xab").omitted();
    remove.control(7, 0x16010003, 0x1000e).integer(0);
    box.text("hello").integer(0).omitted();

    EXPECT_EQ(call_integer(qx::kCmdItemCount, count), 0);
    EXPECT_EQ(call_text(qx::kCmdItemText, text), "");
    call(qx::kCmdAddItem, add);
    call(qx::kCmdProcessEvents);

    FakeWindow window;
    set_window_commands(&window);
    EXPECT_EQ(call_integer(qx::kCmdItemCount, count), 3);
    EXPECT_EQ(call_text(qx::kCmdItemText, text), "7:2");
    call(qx::kCmdAddItem, add);
    call(qx::kCmdDeleteItem, remove);
    call(qx::kCmdMessageBox, box);
    call(qx::kCmdProcessEvents);
    set_window_commands(nullptr);
    EXPECT_EQ(window.log, "add 65550 \xb9\xe3\xb6\xab;delete 0;box hello 0;events;");
}

}  // namespace
}  // namespace corert::test
