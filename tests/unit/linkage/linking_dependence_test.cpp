// The routine tests mean something only if linking does: a wrong base or a skipped
// group must make a routine fail visibly.
#include "tests/unit/linkage/test_image.h"
#include "tests/unit/linkage/test_routines.h"
#include "tests/unit/linkage/test_runtime.h"

#include <gtest/gtest.h>

#include <cstring>

namespace linkage_test {
namespace {

class LinkingDependence : public ::testing::Test {
protected:
    void TearDown() override { reset_recorder(nullptr, nullptr); }
};

LoadedImage link_with(const std::function<void(qx::LinkTargets&, qx::MarkGroups&)>& change)
{
    LoadedImage image = load_test_image(/*link_by_hand=*/true);
    qx::LinkTargets targets = image.mapped->targets(service_slots().table_base(), counterpart);
    qx::MarkGroups groups = image.mapped->groups();
    change(targets, groups);
    qx::link(image.mapped->code(), image.mapped->relocations(), groups, targets);
    image.mapped->seal();
    reset_for(image);
    return image;
}

TEST_F(LinkingDependence, CorrectLinkGivesTheVersionTextAndCounterparts)
{
    LoadedImage image = link_with([](qx::LinkTargets&, qx::MarkGroups&) {});
    EXPECT_STREQ(image.routine<decltype(&TestVersionText)>("TestVersionText")(), "1.0");
    EXPECT_EQ(image.routine<decltype(&TestUnitId)>("TestUnitId")(), kUnitCounterpartBase + 10);
}

TEST_F(LinkingDependence, WrongConstBaseMissesTheVersionText)
{
    LoadedImage image = link_with([](qx::LinkTargets& t, qx::MarkGroups&) { t.const_data += 8; });
    const char* text = image.routine<decltype(&TestVersionText)>("TestVersionText")();
    EXPECT_NE(std::strcmp(text, "1.0"), 0);
    EXPECT_FALSE(text == image.const_text(qx::kConstVersionText));
}

TEST_F(LinkingDependence, SkippedUnitGroupLeavesTheImagesOwnId)
{
    LoadedImage image = link_with([](qx::LinkTargets&, qx::MarkGroups& g) { g[qx::kGroupUnitId].clear(); });
    EXPECT_EQ(image.routine<decltype(&TestUnitId)>("TestUnitId")(), 0x16010a2eu);  // 按钮1 as the image holds it
}

TEST_F(LinkingDependence, SkippedLibraryGroupSendsTheCallToTheWrongLibrary)
{
    LoadedImage image = link_with([](qx::LinkTargets&, qx::MarkGroups& g) { g[qx::kGroupLibrary].clear(); });
    image.routine<decltype(&TestFetchUrl)>("TestFetchUrl")("http://x/");
    EXPECT_NE(recorder().commands.at(0).library, qx::kLibNetlib + kLibraryCounterpartBias);
}

TEST_F(LinkingDependence, WrongVarBaseMissesTheGlobals)
{
    LoadedImage image = link_with([](qx::LinkTargets& t, qx::MarkGroups&) { t.var_data += 16; });
    auto globals = reinterpret_cast<const void**>(image.mapped->var_data());
    globals[0] = image.const_text(qx::kConstVersionText);
    image.routine<void (*)()>("ReleaseGlobals")();
    EXPECT_TRUE(recorder().ignored_frees.empty());  // the routine read other words
    globals[0] = nullptr;
}

}  // namespace
}  // namespace linkage_test
