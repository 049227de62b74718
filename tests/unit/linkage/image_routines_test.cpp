// Routines of a linked test image, called natively: what reaches the services.
#include "tests/unit/linkage/test_image.h"
#include "tests/unit/linkage/test_routines.h"
#include "tests/unit/linkage/test_runtime.h"
#include "viewer/unit_ids.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace linkage_test {
namespace {

using qx::ArgRecord;

class ImageRoutines : public ::testing::Test {
protected:
    void SetUp() override { reset_for(image_); }
    void TearDown() override { reset_recorder(nullptr, nullptr); }  // frees what the test left

    static const void* pointer(const ArgRecord& r)
    {
        return reinterpret_cast<const void*>((uint64_t(r.high) << 32) | r.low);
    }
    static uint32_t low(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p)); }
    static uint32_t high(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p) >> 32); }

    template <typename F>
    F routine(const char* name) const
    {
        return image_.routine<F>(name);
    }

    static inline LoadedImage image_ = load_test_image();
};

TEST_F(ImageRoutines, KernelCallCarriesOneRecordPerArgumentInOrder)
{
    std::string text = "text";
    void* bytes = new_byte_set("xyz");
    uint64_t result = routine<decltype(&TestEveryArgumentKind)>("TestEveryArgumentKind")(text.c_str(), bytes);

    EXPECT_EQ(result, 0x1234u);
    ASSERT_EQ(recorder().commands.size(), 1u);
    const auto& call = recorder().commands[0];
    EXPECT_EQ(call.command, kTestCommand);
    ASSERT_EQ(call.records.size(), 7u);
    const uint32_t combo_type = qx::kDataTypeComboBox ^ 0x00ff0000;
    const ArgRecord expected[] = {
        {uint32_t(-7), 0, qx::kTagInteger},
        {low(text.c_str()), high(text.c_str()), qx::kTagText},
        {low(bytes), high(bytes), qx::kTagByteSet},
        {1, 0, qx::kTagLogical},
        {0, 0, 0},
        {kUnitCounterpartBase + 0, kUnitCounterpartBase + 4, combo_type},  // window, 组合框1
        {0x41, 0, qx::kTagByte},
    };
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(call.records[i].low, expected[i].low);
        EXPECT_EQ(call.records[i].high, expected[i].high);
        EXPECT_EQ(call.records[i].type, expected[i].type);
    }
}

TEST_F(ImageRoutines, TypedHelperPassesConstLiteralOmittedStartAndFlag)
{
    int32_t found = routine<decltype(&TestFindText)>("TestFindText")("abc");
    EXPECT_EQ(found, 3);
    const auto& call = recorder().commands.at(0);
    EXPECT_EQ(call.command, qx::kCmdFindText);
    ASSERT_EQ(call.records.size(), 4u);
    // The sought text is a GBK literal of the image's const section.
    EXPECT_EQ(call.texts.at(1), "\xcc\xec\xc6\xf8");
    EXPECT_TRUE(image_.mapped->in_const(pointer(call.records[1])));
    EXPECT_EQ(call.records[2].type, 0u);
    EXPECT_EQ(call.records[2].low | call.records[2].high, 0u);
    EXPECT_EQ(call.records[3].type, qx::kTagLogical);
    EXPECT_EQ(call.records[3].low, 0u);
}

TEST_F(ImageRoutines, NullTextArrivesAsTheConstEmptyText)
{
    EXPECT_EQ(routine<decltype(&TestNullText)>("TestNullText")(), 0);
    const auto& record = recorder().commands.at(0).records.at(0);
    EXPECT_EQ(record.type, qx::kTagText);
    EXPECT_EQ(pointer(record), image_.const_text(qx::kConstEmptyText));
}

TEST_F(ImageRoutines, DoubleResultComesBackAsItsBits)
{
    EXPECT_EQ(routine<decltype(&TestToNumber)>("TestToNumber")(), 5.0);
    EXPECT_EQ(recorder().commands.at(0).texts.at(0), "2.5");
}

TEST_F(ImageRoutines, ArrayIndexesAreCheckedOnBothSides)
{
    struct Case {
        int32_t index;
        uint32_t value;  // read result
        std::vector<uint32_t> errors;
    };
    const Case cases[] = {
        {1, 'x', {}},
        {3, 'z', {}},
        {4, 0, {qx::kErrorIndexTooLarge}},
        {INT_MAX, 0, {qx::kErrorIndexTooLarge}},
        {0, 0, {qx::kErrorIndexTooSmall}},
        {-1, 0, {qx::kErrorIndexTooSmall}},
        {INT_MIN, 0, {qx::kErrorIndexTooSmall}},
    };
    auto read = routine<decltype(&TestByteElement)>("TestByteElement");
    auto write = routine<decltype(&TestSetByteElement)>("TestSetByteElement");
    void* bytes = new_byte_set("xyz");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        recorder().errors.clear();
        EXPECT_EQ(read(bytes, c.index), c.value);
        EXPECT_EQ(recorder().errors, c.errors);
        recorder().errors.clear();
        write(bytes, c.index, '!');
        EXPECT_EQ(recorder().errors, c.errors);
    }
    // Only the in-range writes landed, and nothing around the elements changed.
    EXPECT_EQ(std::memcmp(static_cast<uint8_t*>(bytes) + 4, "\x03\0\0\0!y!", 7), 0);
}

TEST_F(ImageRoutines, AnyIndexIntoTheEmptyArrayLiteralIsAnError)
{
    auto read = routine<decltype(&TestEmptyArrayLiteral)>("TestEmptyArrayLiteral");
    const std::pair<int32_t, uint32_t> cases[] = {{-1, qx::kErrorIndexTooSmall},
                                                  {0, qx::kErrorIndexTooSmall},
                                                  {1, qx::kErrorIndexTooLarge},
                                                  {2, qx::kErrorIndexTooLarge}};
    for (auto [index, error] : cases) {
        recorder().errors.clear();
        EXPECT_EQ(read(index), 0u);
        EXPECT_EQ(recorder().errors, std::vector<uint32_t>{error}) << index;
    }
}

TEST_F(ImageRoutines, DllCallWithTheDeclaredCountReturnsTheResult)
{
    EXPECT_EQ(routine<decltype(&TestDllCall)>("TestDllCall")(20), 41u);
    EXPECT_EQ(recorder().dll_words, std::vector<uint64_t>{20});
    EXPECT_EQ(recorder().dll_function_calls, 1);
    EXPECT_TRUE(recorder().errors.empty());
}

TEST_F(ImageRoutines, DllCallWithAnotherCountIsADamagedStackAndCallsNothing)
{
    EXPECT_EQ(routine<decltype(&TestDllCallWrongCount)>("TestDllCallWrongCount")(20), 0u);
    EXPECT_EQ(recorder().errors, std::vector<uint32_t>{qx::kErrorDamagedStack});
    EXPECT_EQ(recorder().dll_function_calls, 0);
}

TEST_F(ImageRoutines, MarkedOperandsHoldTheRuntimeCounterparts)
{
    EXPECT_EQ(routine<decltype(&TestUnitId)>("TestUnitId")(), kUnitCounterpartBase + 10);  // 按钮1
    EXPECT_EQ(routine<decltype(&TestDllIndex)>("TestDllIndex")(), qx::kDllHttpSendRequest + kDllCounterpartBias);
    EXPECT_EQ(routine<decltype(&TestLibraryIndex)>("TestLibraryIndex")(), qx::kLibSysapi + kLibraryCounterpartBias);
    EXPECT_EQ(routine<decltype(&TestDataTypeId)>("TestDataTypeId")(), qx::kDataTypeComboBox ^ 0x00ff0000);
}

TEST_F(ImageRoutines, LibraryCommandGoesToTheLibraryCounterpart)
{
    void* body = routine<decltype(&TestFetchUrl)>("TestFetchUrl")("http://127.0.0.1/x");
    const auto& call = recorder().commands.at(0);
    EXPECT_EQ(call.library, qx::kLibNetlib + kLibraryCounterpartBias);
    EXPECT_EQ(call.command, qx::kCmdFetchUrl);
    EXPECT_EQ(call.texts, std::vector<std::string>{"http://127.0.0.1/x"});
    EXPECT_TRUE(recorder().live_blocks.count(body));
}

TEST_F(ImageRoutines, ConstPointersHandedToFreeAreLeftAlone)
{
    routine<decltype(&TestFreeConstTexts)>("TestFreeConstTexts")();
    ASSERT_EQ(recorder().ignored_frees.size(), 4u);
    EXPECT_EQ(recorder().ignored_frees[0], image_.const_text(qx::kConstVersionText));
    EXPECT_EQ(recorder().ignored_frees[1], image_.const_text(qx::kConstEmptyText));
    EXPECT_EQ(recorder().ignored_frees[2], image_.const_text(qx::kConstEmptyArray));
    EXPECT_TRUE(recorder().foreign_frees.empty());
    EXPECT_TRUE(recorder().live_blocks.empty());  // the allocated block was freed
}

TEST_F(ImageRoutines, UnitPropertiesReachTheirServicesWithCounterpartIds)
{
    EXPECT_EQ(routine<decltype(&TestProperties)>("TestProperties")(), 77u);
    const auto& s = recorder().services;
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].slot, 5u);
    EXPECT_EQ(s[0].words[0], kUnitCounterpartBase + 0);
    EXPECT_EQ(s[0].words[1], kUnitCounterpartBase + 11);  // 编辑框1
    EXPECT_EQ(s[0].words[2], qx::kPropText);
    EXPECT_EQ(s[0].words[3], uint64_t(-1));
    EXPECT_EQ(s[0].words[5], 4u);  // "页头" in GBK
    EXPECT_EQ(s[1].words[4], 640u);
    EXPECT_EQ(s[2].slot, 4u);
    EXPECT_EQ(s[2].words[1], kUnitCounterpartBase + 10);  // 按钮1
}

TEST_F(ImageRoutines, AllocateAndReallocateKeepTheBlock)
{
    auto* p = static_cast<char*>(routine<decltype(&TestAllocateAndGrow)>("TestAllocateAndGrow")());
    EXPECT_STREQ(p, "qx");
    EXPECT_EQ(recorder().live_blocks.size(), 1u);
}

TEST_F(ImageRoutines, HoldersFreeEveryTextByteSetAndArrayElement)
{
    routine<decltype(&TestOwnedTexts)>("TestOwnedTexts")();
    EXPECT_EQ(recorder().commands.size(), 4u);
    EXPECT_TRUE(recorder().live_blocks.empty());
    EXPECT_TRUE(recorder().foreign_frees.empty());
}

TEST_F(ImageRoutines, EntryRoutineRegistersLoadsHandsOverAndRuns)
{
    image_.mapped->routine<void (*)()>(image_.mapped->image().entry_offset)();
    const auto& s = recorder().services;
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].slot, 12u);
    EXPECT_EQ(s[0].words[0], uint64_t(qx::kRegisterAtExit));
    EXPECT_EQ(s[0].words[1], image_.mapped->code_data() + image_.offset_of("ReleaseGlobals"));
    EXPECT_EQ(s[1].slot, 11u);
    EXPECT_EQ(s[1].words[0], kUnitCounterpartBase + 0);
    EXPECT_EQ(s[2].slot, 10u);
    EXPECT_EQ(s[2].words[0], 0u);
    EXPECT_EQ(s[3].slot, 9u);
    EXPECT_EQ(image_.mapped->image().entry_offset, image_.offset_of("EntryRoutine"));
}

TEST_F(ImageRoutines, ReleaseGlobalsFreesBothAndSkipsNull)
{
    auto globals = reinterpret_cast<const void**>(image_.mapped->var_data());
    auto release = routine<void (*)()>("ReleaseGlobals");

    release();  // both null: nothing to free
    EXPECT_TRUE(recorder().ignored_frees.empty());
    EXPECT_TRUE(recorder().foreign_frees.empty());

    void* latest = new_byte_set("1.1");
    globals[0] = image_.const_text(qx::kConstVersionText);  // CurrentVersion
    globals[1] = latest;                                    // LatestVersion
    release();
    EXPECT_EQ(recorder().ignored_frees, std::vector<const void*>{globals[0]});
    EXPECT_TRUE(recorder().live_blocks.empty());
    globals[0] = globals[1] = nullptr;
}

TEST_F(ImageRoutines, ArrayVariableRegistrationPassesKindAndAddress)
{
    void* variable = nullptr;
    routine<decltype(&TestRegisterArrayVariable)>("TestRegisterArrayVariable")(&variable);
    const auto& s = recorder().services.at(0);
    EXPECT_EQ(s.slot, 12u);
    EXPECT_EQ(s.words, (std::vector<uint64_t>{qx::kRegisterArrayVariable, 4, reinterpret_cast<uintptr_t>(&variable)}));
}

TEST_F(ImageRoutines, ConstReferencesReachTheFixedPointsAndTheRoutinesLiterals)
{
    EXPECT_EQ(routine<decltype(&TestVersionText)>("TestVersionText")(), image_.const_text(qx::kConstVersionText));
    const char* literal = routine<decltype(&TestLiteral)>("TestLiteral")();
    EXPECT_TRUE(image_.mapped->in_const(literal));
    EXPECT_STREQ(literal, "\xcc\xec\xc6\xf8\xd4\xa4\xb1\xa8");  // 天气预报 in GBK
}

}  // namespace
}  // namespace linkage_test
