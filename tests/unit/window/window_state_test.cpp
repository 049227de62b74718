// The window as built from the form section, its properties and the program's changes
// to combo box lists: everything the services do on the UI thread.
#include "window_harness.h"

#include "corert/memory.h"
#include "runtime/service_abi.h"
#include "viewer/program_description.h"

#include <fstream>

namespace window_test {
namespace {

using corert::UnitKind;
using namespace nimbra;

struct ExpectedUnit {
    uint32_t id;
    const char* name;
    UnitKind kind;
    corert::Geometry geometry;
    uint32_t flags;
    uint32_t cursor;
    std::optional<uint32_t> handler;
};

const ExpectedUnit kExpectedUnits[] = {
    {kWindowId, "", UnitKind::Window, {50, 50, 662, 411}, 1, 0, kOnWindowCreated},
    {kUnitLabel2, "标签2", UnitKind::Label, {556, 0, 104, 24}, 1, 0, std::nullopt},
    {kUnitCombo3, "组合框3", UnitKind::ComboBox, {480, 0, 72, 20}, 5, 0, std::nullopt},
    {kUnitCombo2, "组合框2", UnitKind::ComboBox, {408, 0, 72, 20}, 5, 0, kFillDistrictList},
    {kUnitCombo1, "组合框1", UnitKind::ComboBox, {328, 0, 80, 20}, 5, 0, kFillCityList},
    {kUnitBrowser4, "超文本浏览框4", UnitKind::Browser, {-136, 23, 809, 33}, 5, 0, std::nullopt},
    {kUnitLabel1, "标签1", UnitKind::Label, {8, 280, 336, 24}, 1, 0, std::nullopt},
    {kUnitBrowser2, "超文本浏览框2", UnitKind::Browser, {0, 272, 673, 125}, 5, 0, std::nullopt},
    {kUnitButton3, "按钮3", UnitKind::Button, {219, -1, 80, 24}, 5, 32649, kShowLivingIndexPage},
    {kUnitButton2, "按钮2", UnitKind::Button, {120, -1, 80, 24}, 5, 32649, kShowLivePage},
    {kUnitButton1, "按钮1", UnitKind::Button, {20, -1, 80, 24}, 5, 32649, kShowForecastPage},
    {kUnitEditBox1, "编辑框1", UnitKind::EditBox, {536, 8, 0, 0}, 5, 0, std::nullopt},
    {kUnitBrowser1, "超文本浏览框1", UnitKind::Browser, {0, 56, 672, 216}, 5, 0, std::nullopt},
};

TEST_F(WindowTest, BuildsEveryUnitWithItsStoredState)
{
    make_window();
    load();
    corert::WindowState state = window().snapshot();
    ASSERT_EQ(state.units.size(), std::size(kExpectedUnits));
    for (size_t i = 0; i < state.units.size(); ++i) {
        const corert::UnitState& unit = state.units[i];
        const ExpectedUnit& expected = kExpectedUnits[i];
        SCOPED_TRACE(expected.name);
        EXPECT_EQ(unit.id, expected.id);
        EXPECT_EQ(unit.name, gbk(expected.name));
        EXPECT_EQ(unit.kind, expected.kind);
        EXPECT_EQ(unit.geometry, expected.geometry);
        EXPECT_EQ(unit.flags, expected.flags);
        EXPECT_EQ(unit.cursor, expected.cursor);
        EXPECT_EQ(unit.handler, expected.handler);
    }
    // The window answers to its unit-list id too.
    EXPECT_EQ(state.find(kUnitWindow), &state.units.front());

    auto caption = [&](uint32_t id) { return state.find(id)->caption; };
    EXPECT_EQ(caption(kWindowId), gbk("Nimbra天气预报器 V1.0"));
    EXPECT_EQ(caption(kUnitButton1), gbk("天气预报"));
    EXPECT_EQ(caption(kUnitButton2), gbk("整点天气实况"));
    EXPECT_EQ(caption(kUnitButton3), gbk("今日生活指数"));
    EXPECT_EQ(caption(kUnitLabel2), gbk("下次打开将自动填"));
    EXPECT_TRUE(caption(kUnitLabel1).starts_with(gbk("如网速较慢请耐心等待")));

    const std::vector<std::string> provinces = {gbk("广东"),   gbk("北京."), gbk("上海."), gbk("重庆."),
                                                gbk("黑龙江"), gbk("吉林"),  gbk("辽林"),  gbk("内蒙古"),
                                                gbk("河北"),   gbk("山西"),  gbk("陕西"),  gbk("山东")};
    EXPECT_EQ(state.find(kUnitCombo1)->items, provinces);
    EXPECT_TRUE(state.find(kUnitCombo2)->items.empty());
    EXPECT_TRUE(state.find(kUnitCombo3)->items.empty());
    for (uint32_t combo : {kUnitCombo1, kUnitCombo2, kUnitCombo3})
        EXPECT_EQ(state.find(combo)->selected, -1);

    EXPECT_EQ(state.find(kUnitEditBox1)->text, page_head_text(configured_hosts().weather_host));
}

TEST_F(WindowTest, BrowsersOpenTheirStartAddressesWhenTheWindowIsBuilt)
{
    make_window();
    load();
    const std::string notice = "http://" + configured_hosts().notice_host;
    std::vector<corert::BrowserVisit> visits = window().browser_visits();
    // 超文本浏览框1 has no start address and opens nothing.
    ASSERT_EQ(visits.size(), 2u);
    EXPECT_EQ(visits[0].unit, kUnitBrowser4);
    EXPECT_EQ(visits[0].load.address, notice + "/day/shenzhen1.htm");
    EXPECT_EQ(visits[1].unit, kUnitBrowser2);
    EXPECT_EQ(visits[1].load.address, notice + "/day/shenzhen.htm");
    for (const corert::BrowserVisit& visit : visits)
        EXPECT_FALSE(visit.load.local_file);
}

TEST_F(WindowTest, GeometryPropertiesReadAndWrite)
{
    make_window();
    load();
    auto get = [&](uint32_t unit, uint32_t property) {
        return static_cast<int32_t>(window().get_property(kWindowId, unit, property, -1));
    };
    EXPECT_EQ(get(kUnitBrowser1, qx::kPropLeft), 0);
    EXPECT_EQ(get(kUnitBrowser1, qx::kPropTop), 56);
    EXPECT_EQ(get(kUnitBrowser1, qx::kPropWidth), 672);
    EXPECT_EQ(get(kUnitBrowser1, qx::kPropHeight), 216);
    EXPECT_EQ(get(kUnitBrowser4, qx::kPropLeft), -136);
    // The 64-bit result of a negative value is sign-extended.
    EXPECT_EQ(window().get_property(kWindowId, kUnitButton1, qx::kPropTop, -1), uint64_t(-1));

    // What the living-index builder does, then the forecast builder puts it back.
    const int32_t narrow[] = {180, 56, 300, 216};
    for (uint32_t property = 0; property < 4; ++property)
        window().set_property(kWindowId, kUnitBrowser1, property, -1, static_cast<uint32_t>(narrow[property]), 0);
    EXPECT_EQ(window().snapshot().find(kUnitBrowser1)->geometry, (corert::Geometry{180, 56, 300, 216}));
    window().set_property(kWindowId, kUnitBrowser1, qx::kPropLeft, -1, static_cast<uint32_t>(-5), 0);
    EXPECT_EQ(get(kUnitBrowser1, qx::kPropLeft), -5);
}

TEST_F(WindowTest, TextPropertyIsANewBlockTheCallerFrees)
{
    make_window();
    load();
    corert::MemoryCounters before = corert::memory_counters();
    uint64_t result = window().get_property(kWindowId, kUnitEditBox1, qx::kPropText, -1);
    auto* text = reinterpret_cast<char*>(result);
    ASSERT_TRUE(corert::memory_owns(text));
    EXPECT_EQ(std::string(text), page_head_text(configured_hosts().weather_host));
    // A second read is another block: each caller owns and frees its own.
    uint64_t again = window().get_property(kWindowId, kUnitEditBox1, qx::kPropText, -1);
    EXPECT_NE(again, result);
    corert::memory_free(text);
    corert::memory_free(reinterpret_cast<void*>(again));
    EXPECT_EQ(corert::memory_counters().live_blocks, before.live_blocks);
}

TEST_F(WindowTest, WritingATextKeepsACopy)
{
    make_window();
    load();
    std::string caption = gbk("新标题");
    auto pointer = reinterpret_cast<uintptr_t>(caption.c_str());
    window().set_property(kWindowId, kUnitLabel2, qx::kPropText, -1, static_cast<uint32_t>(pointer),
                          static_cast<uint32_t>(pointer >> 32));
    caption.assign(caption.size(), 'x');  // the caller's text is its own again
    EXPECT_EQ(window().snapshot().find(kUnitLabel2)->caption, gbk("新标题"));
}

TEST_F(WindowTest, SelectionPropertyChangesOnlyWithinTheList)
{
    make_window();
    load();
    auto selected = [&] { return static_cast<int32_t>(window().get_property(kWindowId, kUnitCombo1, 19, -1)); };
    EXPECT_EQ(selected(), -1);
    struct Case {
        int32_t written;
        int32_t read;
    };
    for (Case c : {Case{3, 3}, Case{11, 11}, Case{12, -1}, Case{5, 5}, Case{-1, -1}, Case{-7, -1}}) {
        window().set_property(kWindowId, kUnitCombo1, qx::kPropSelectedIndex, -1, static_cast<uint32_t>(c.written), 0);
        EXPECT_EQ(selected(), c.read) << "written " << c.written;
    }
    // A program change raises no event.
    window().process_events();
    EXPECT_EQ(handlers.log(), std::vector<std::string>{"call 0x100"});
}

TEST_F(WindowTest, PropertiesThatDoNotExistReadZeroAndWriteNothing)
{
    make_window();
    load();
    corert::WindowState before = window().snapshot();
    EXPECT_EQ(window().get_property(0x52010002, kUnitBrowser1, qx::kPropLeft, -1), 0u);  // another window
    EXPECT_EQ(window().get_property(kWindowId, 0x16019999, qx::kPropLeft, -1), 0u);      // no such unit
    EXPECT_EQ(window().get_property(kWindowId, kUnitButton1, qx::kPropSelectedIndex, -1), 0u);
    EXPECT_EQ(window().get_property(kWindowId, kUnitButton1, 77, -1), 0u);
    window().set_property(kWindowId, kUnitButton1, qx::kPropAddress, -1, 0, 0);
    window().set_property(kWindowId, kUnitCombo1, 77, -1, 1, 0);
    window().set_property(0x52010002, kUnitBrowser1, qx::kPropLeft, -1, 99, 0);
    EXPECT_EQ(window().snapshot().find(kUnitButton1)->caption, before.find(kUnitButton1)->caption);
    EXPECT_EQ(window().snapshot().find(kUnitBrowser1)->geometry, before.find(kUnitBrowser1)->geometry);
    EXPECT_EQ(window().browser_visits().size(), 2u);
}

// The page builders write the file, point the browser at it and delete it 10 ms later:
// the browser must have read it by the time the property write returns.
TEST_F(WindowTest, BrowserReadsALocalFileBeforeTheWriteReturns)
{
    make_window();
    load();
    const std::string page = gbk("<head>天气</head>") + std::string("\xff\x00 raw", 6);
    const std::string posix = directory() + "/显示页.htm";
    std::ofstream(posix, std::ios::binary) << page;
    std::string address = gbk(directory()) + gbk("\\显示页.htm");
    auto pointer = reinterpret_cast<uintptr_t>(address.c_str());
    window().set_property(kWindowId, kUnitBrowser1, qx::kPropAddress, -1, static_cast<uint32_t>(pointer),
                          static_cast<uint32_t>(pointer >> 32));
    std::remove(posix.c_str());

    // Then a missing file, then an address with a scheme.
    window().set_property(kWindowId, kUnitBrowser1, qx::kPropAddress, -1, static_cast<uint32_t>(pointer),
                          static_cast<uint32_t>(pointer >> 32));
    std::string url = "http://example.invalid/a.htm";
    pointer = reinterpret_cast<uintptr_t>(url.c_str());
    window().set_property(kWindowId, kUnitBrowser1, qx::kPropAddress, -1, static_cast<uint32_t>(pointer),
                          static_cast<uint32_t>(pointer >> 32));

    std::vector<corert::BrowserVisit> visits = window().browser_visits();
    ASSERT_EQ(visits.size(), 5u);
    const corert::PageLoad& read = visits[2].load;
    EXPECT_EQ(visits[2].unit, kUnitBrowser1);
    EXPECT_TRUE(read.local_file);
    EXPECT_EQ(read.path, posix);
    EXPECT_TRUE(read.read);
    EXPECT_EQ(read.bytes, page);
    EXPECT_TRUE(visits[3].load.local_file);
    EXPECT_FALSE(visits[3].load.read);
    EXPECT_FALSE(visits[4].load.local_file);
    EXPECT_EQ(window().snapshot().find(kUnitBrowser1)->address, url);
    EXPECT_EQ(reinterpret_cast<char*>(window().get_property(kWindowId, kUnitBrowser1, qx::kPropAddress, -1)),
              url);  // leaks one small block; the memory service does not mind
}

TEST(BrowserAddress, SchemeOrLocalFile)
{
    struct Case {
        const char* address;
        bool scheme;
    };
    for (Case c : {Case{"http://host/a", true}, Case{"file:///tmp/a", true}, Case{"about:blank", true},
                   Case{"C:\\pages\\a.htm", false}, Case{"/tmp/a.htm", false}, Case{"\\a.htm", false},
                   Case{"dir\\a:b.htm", false}, Case{"", false}}) {
        EXPECT_EQ(corert::has_url_scheme(c.address), c.scheme) << c.address;
    }
}

TEST_F(WindowTest, ProgramListChangesRaiseNoEvent)
{
    make_window();
    load();
    corert::ControlRef combo2{kWindowId, kUnitCombo2, qx::kTypeComboBox};
    for (const char* city : {"深圳", "广州", "珠海", "佛山"})
        window().add_item(combo2, gbk(city), 0, false);
    EXPECT_EQ(window().item_count(combo2), 4);
    EXPECT_EQ(window().item_text(combo2, 1), gbk("广州"));
    EXPECT_EQ(window().item_text(combo2, 4), "");
    EXPECT_EQ(window().item_text(combo2, -1), "");

    window().set_property(kWindowId, kUnitCombo2, qx::kPropSelectedIndex, -1, 2, 0);  // 珠海
    window().delete_item(combo2, 0);  // above the selection: the same item stays selected
    EXPECT_EQ(window().snapshot().find(kUnitCombo2)->selected, 1);
    window().delete_item(combo2, 9);  // outside the list: nothing
    EXPECT_EQ(window().item_count(combo2), 3);
    window().delete_item(combo2, 1);  // the selected item: nothing selected
    EXPECT_EQ(window().snapshot().find(kUnitCombo2)->selected, -1);
    EXPECT_EQ(window().snapshot().find(kUnitCombo2)->items, (std::vector<std::string>{gbk("广州"), gbk("佛山")}));

    // Item commands on anything but a combo box of this window do nothing.
    corert::ControlRef button{kWindowId, kUnitButton1, qx::kTypeComboBox};
    window().add_item(button, "x", 0, false);
    EXPECT_EQ(window().item_count(button), 0);
    EXPECT_EQ(window().item_count({0x52010002, kUnitCombo2, qx::kTypeComboBox}), 0);

    window().process_events();
    EXPECT_EQ(handlers.log(), std::vector<std::string>{"call 0x100"});  // only the window's creation
}

}  // namespace
}  // namespace window_test
