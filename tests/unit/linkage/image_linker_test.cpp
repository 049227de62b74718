// The image linker: what it refuses, and the shape of the program image it builds.
#include "image/code_linkage.h"
#include "image/image_linker.h"
#include "image/window_definition.h"
#include "linkage_paths.h"
#include "tests/unit/linkage/test_image.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <set>

namespace linkage_test {
namespace {

std::string bad_object(const std::string& source)
{
    for (const char* path : kBadObjects) {
        std::string p = path;
        if (p.find("/" + source + ".") != std::string::npos)
            return p;
    }
    throw std::runtime_error("no bad object built from " + source);
}

qx::ImageRecipe small_recipe()
{
    qx::ImageRecipe recipe;
    recipe.globals = {"CurrentVersion", "LatestVersion"};
    recipe.entry_routine = "EntryRoutine";
    return recipe;
}

TEST(ImageLinker, RefusesEachFaultNamingTheSymbolAndTheObject)
{
    struct Case {
        const char* source;
        const char* symbol;
        const char* problem;
    };
    const Case cases[] = {
        {"undefined_symbol", "NoSuchRoutine", "undefined symbol"},
        {"unhandled_relocation", "Target", "R_X86_64_64"},
        {"writable_data", "CallCounter", "writable data"},
        {"pointer_table", "MonthNames", "relocation inside data"},
        {"pc_relative_global", "CurrentVersion", "PC-relative reference to global"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        std::string path = bad_object(c.source);
        try {
            qx::link_image({qx::read_object_file(path)}, small_recipe());
            ADD_FAILURE() << "linked without complaint";
        } catch (const qx::LinkError& e) {
            std::string message = e.what();
            EXPECT_NE(message.find(path), std::string::npos) << message;
            EXPECT_NE(message.find(c.symbol), std::string::npos) << message;
            EXPECT_NE(message.find(c.problem), std::string::npos) << message;
        }
    }
}

TEST(ImageLinker, RefusesWhatIsNotAnX86_64RelocatableObject)
{
    qx::ObjectFile junk{"junk.o", qx::Bytes(100, 0x7f)};
    EXPECT_THROW(qx::link_image({junk}, small_recipe()), qx::LinkError);
    qx::ObjectFile truncated{"cut.o", qx::read_object_file(bad_object("undefined_symbol")).bytes};
    truncated.bytes.resize(80);
    EXPECT_THROW(qx::link_image({truncated}, small_recipe()), qx::LinkError);
}

TEST(ImageLinker, MissingEntryRoutineIsAnError)
{
    qx::ImageRecipe recipe = small_recipe();
    recipe.entry_routine = "NoEntry";
    std::vector<qx::ObjectFile> objects;
    for (const char* path : kTestImageObjects)
        objects.push_back(qx::read_object_file(path));
    EXPECT_THROW(qx::link_image(objects, recipe), qx::LinkError);
}

TEST(ImageLinker, TestImageKeepsEveryPcRelativeConstReferenceRightInTheFile)
{
    // The routines' literals follow the fixed points; const data keeps them.
    const auto& linked = linked_test_image();
    const auto& cdata = linked.image.section("const").data;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(cdata.data())), "1.0");
    EXPECT_EQ(qx::load_u32(cdata.data() + qx::kConstEmptyArray), 1u);
    EXPECT_EQ(qx::load_u32(cdata.data() + qx::kConstEmptyArray + 4), 0u);
    EXPECT_EQ(cdata[qx::kConstEmptyText], 0);
    EXPECT_EQ(linked.image.const_text(linked.image.dll_commands.at(0).library_name), "wininet.dll");
    EXPECT_EQ(linked.image.dll_commands.at(7).library_name, linked.image.dll_commands.at(0).library_name);
}

TEST(ImageLinker, InlineRoutineKeptOutOfLineIsPlacedOnceWithItsMark)
{
    std::vector<qx::ObjectFile> objects;
    for (const char* path : kSharedObjects)
        objects.push_back(qx::read_object_file(path));
    qx::ImageRecipe recipe = small_recipe();
    qx::LinkedImage linked = qx::link_image(objects, recipe);
    qx::MarkGroups groups = qx::read_mark_groups(linked.image.section("@reloc1").data);
    EXPECT_EQ(groups[qx::kGroupUnitId].size(), 1u);  // the discarded copy's mark went with it

    qx::MappedImage mapped(linked.bytes);
    mapped.link_and_seal(mapped.targets(service_slots().table_base(), [](size_t, uint32_t v) { return v + 0x100; }));
    using Fn = uint32_t (*)();
    EXPECT_EQ(mapped.routine<Fn>(linked.routines.at("FirstUser"))(), 0x16010a36u + 0x100 + 1);
    EXPECT_EQ(mapped.routine<Fn>(linked.routines.at("SecondUser"))(), 0x16010a36u + 0x100 + 2);
}

// ---- the program image built with the product ----

class ProgramImage : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bytes_ = read_file(kProgramImageFile);
        image_ = qx::read_image(bytes_);
    }
    static inline qx::Bytes bytes_;
    static inline qx::Image image_;
};

TEST_F(ProgramImage, ServiceStubsCloseTheCodeAndCarryTheOnlyKindZeroEntries)
{
    const auto& code = image_.section("code");
    const uint32_t stubs = uint32_t(code.data.size()) - qx::kStubBlockSize;
    std::set<uint32_t> slots;
    for (uint32_t entry : code.relocations) {
        auto r = qx::decode_relocation(entry);
        if (r.kind != qx::kRelocServiceSlot)
            continue;
        ASSERT_GE(r.offset, stubs);
        ASSERT_LT(r.offset, code.data.size());
        uint32_t stub = (r.offset - stubs) / qx::kStubSize;
        EXPECT_EQ(r.offset, stubs + stub * qx::kStubSize + 3);
        const uint8_t* at = code.data.data() + stubs + stub * qx::kStubSize;
        EXPECT_EQ(at[0], 0xff);
        EXPECT_EQ(at[1], 0x24);
        EXPECT_EQ(at[2], 0x25);
        EXPECT_EQ(qx::load_u32(at + 3), 4 * stub);
        slots.insert(stub);
    }
    EXPECT_EQ(slots.size(), 13u);
}

TEST_F(ProgramImage, UnitGroupOperandsHoldUnitIdsOfTheWindow)
{
    const auto& code = image_.section("code");
    qx::MarkGroups groups = qx::read_mark_groups(image_.section("@reloc1").data);
    qx::FormSection form = qx::read_form(image_.section("form").data);
    ASSERT_FALSE(groups[qx::kGroupUnitId].empty());
    for (uint32_t offset : groups[qx::kGroupUnitId]) {
        ASSERT_LE(offset + 4, code.data.size());
        uint32_t id = qx::load_u32(code.data.data() + offset);
        EXPECT_NE(form.find_unit(id), nullptr) << std::hex << id;
    }
}

TEST_F(ProgramImage, EntryOffsetIsTheEntryRoutineAndOnlyItsRegistrationIsACodeEntry)
{
    const auto& code = image_.section("code");
    int code_entries = 0;
    for (uint32_t entry : code.relocations)
        code_entries += qx::decode_relocation(entry).kind == qx::kRelocCode;
    EXPECT_EQ(code_entries, 1);
    EXPECT_LT(image_.entry_offset, code.data.size() - qx::kStubBlockSize);
    EXPECT_EQ(image_.section("var").memory_size, 16u);
}

TEST_F(ProgramImage, InspectorListsTheRelocationTableAndGroups)
{
    std::string command = std::string(kQxinspect) + " " + kProgramImageFile;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    std::array<char, 4096> buffer;
    while (size_t n = fread(buffer.data(), 1, buffer.size(), pipe))
        out.append(buffer.data(), n);
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_NE(out.find("relocs service-slot count=13"), std::string::npos);
    EXPECT_NE(out.find("reloc1 unit-id"), std::string::npos);
    EXPECT_NE(out.find("value=0x52010001"), std::string::npos);
    for (const char* group : {"reloc1-group 0", "reloc1-group 1", "reloc1-group 2", "reloc1-group 3"})
        EXPECT_NE(out.find(group), std::string::npos) << group;
}

}  // namespace
}  // namespace linkage_test
