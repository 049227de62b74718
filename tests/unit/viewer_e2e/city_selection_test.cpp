// City selection, end to end: real picks in a copy of the program whose settings file
// each test writes itself, and the lists of the three combo boxes read back.
#include "tests/unit/viewer_e2e/viewer_session.h"

#include <gtest/gtest.h>

#include <set>

using namespace viewer_e2e;
using Items = std::vector<std::string>;

namespace {

// Province items by their place in 组合框1.
enum Province { k广东 = 0, k北京 = 1, k上海 = 2, k重庆 = 3, k河北 = 8, k山西 = 9, k陕西 = 10, k山东 = 11 };

// "<tag>" CR LF, the entries joined by CR LF, CR LF "</tag>", as the settings file has it.
std::string section(const std::string& tag, const std::vector<std::string>& entries)
{
    std::string text = "<" + tag + ">\r\n";
    for (size_t i = 0; i < entries.size(); ++i)
        text += (i ? "\r\n" : "") + entries[i];
    return text + "\r\n</" + tag + ">\r\n";
}

std::string settings_file()
{
    return "; test settings\r\n" +
           // A city named three times, then another: each once, in order of appearance.
           section("广东",
                   {"广东-甲市-一区@101#", "广东-甲市-二区@102#", "广东-甲市-三区@103#", "广东-乙市-四区@104#"}) +
           section("甲市", {"广东-甲市-一区@101#", "广东-甲市-二区@102#", "广东-甲市-三区@103#"}) +
           // A B A A: the later copy of A survives.
           section("北京.", {"北京.-东城-甲@201#", "北京.-西城-乙@202#", "北京.-东城-丙@203#", "北京.-东城-丁@204#"}) +
           // Five equal cities.
           section("上海.", {"上海.-浦东-a@301#", "上海.-浦东-b@302#", "上海.-浦东-c@303#", "上海.-浦东-d@304#",
                             "上海.-浦东-e@305#"}) +
           // The city 山西 of 陕西 shares its tag with the province 山西, and its section comes
           // first: both picks read it.
           section("山西", {"陕西-山西-太原区@1001#"}) + section("山西", {"山西-大同-城区@901#"}) +
           section("陕西", {"陕西-山西-太原区@1001#"}) +
           // An entry without the terminator gives nothing; one with the terminator right
           // after the key gives an empty item.
           section("河北", {"河北-石家庄-长安区@801#", "河北-保定", "河北--空@802#"}) +
           // No section for 重庆.; 山东's closing tag is spelt otherwise.
           "<山东>\r\n山东-济南-历下区@1101#\r\n</山東>\r\n";
}

class CitySelection : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (viewer_) {
            std::string err = viewer_->close_and_wait();
            EXPECT_NE(err.find("corert: 0 blocks (0 bytes) still allocated at program end"), std::string::npos) << err;
        }
    }

    void start(const std::optional<std::string>& settings)
    {
        copy_ = std::make_unique<ProgramCopy>(dead_.port(), settings);
        viewer_ = std::make_unique<Viewer>(*copy_, true);
    }

    DeadPort dead_;  // no server: the notice fails quietly (boxes are auto-answered)
    std::unique_ptr<ProgramCopy> copy_;
    std::unique_ptr<Viewer> viewer_;
};

}  // namespace

TEST_F(CitySelection, ProvinceSectionsGiveTheirCitiesWithoutRepeats)
{
    start(settings_file());
    struct Case {
        Province province;
        Items cities;
    } cases[] = {
        {k广东, {"甲市", "乙市"}},
        {k北京, {"西城", "东城"}},
        {k上海, {"浦东"}},
        {k陕西, {"山西"}},
        // The city's section: split at "山西-", its one entry has no "-" left.
        {k山西, {}},
        {k河北, {"石家庄", ""}},
        {k重庆, {}},
        {k山东, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.province);
        viewer_->pick("组合框1", c.province);
        EXPECT_EQ(viewer_->items("组合框2"), c.cities);
        EXPECT_EQ(viewer_->number_property("组合框2", 19), -1) << "the refilled box has no selection";
    }
}

TEST_F(CitySelection, CityPickFillsDistrictsAndAProvincePickLeavesThemAlone)
{
    start(settings_file());
    viewer_->pick("组合框1", k广东);
    viewer_->pick("组合框2", 0);
    Items districts = {"一区", "二区", "三区"};
    EXPECT_EQ(viewer_->items("组合框3"), districts);
    EXPECT_EQ(viewer_->number_property("组合框3", 19), -1);
    viewer_->pick("组合框3", 1);

    // A province without a section empties the city box; the districts stay as they were,
    // selection included.
    viewer_->pick("组合框1", k重庆);
    EXPECT_EQ(viewer_->items("组合框2"), Items{});
    EXPECT_EQ(viewer_->items("组合框3"), districts);
    EXPECT_EQ(viewer_->number_property("组合框3", 19), 1);

    viewer_->pick("组合框1", k陕西);
    viewer_->pick("组合框2", 0);
    EXPECT_EQ(viewer_->items("组合框3"), Items{"太原区"});
}

TEST_F(CitySelection, SettingsWithoutCarriageReturnsGiveNothing)
{
    std::string lf_only = settings_file();
    for (size_t at = lf_only.find("\r\n"); at != std::string::npos; at = lf_only.find("\r\n", at))
        lf_only.erase(at, 1);
    start(lf_only);
    viewer_->pick("组合框1", k广东);
    EXPECT_EQ(viewer_->items("组合框2"), Items{});
}

TEST_F(CitySelection, MissingSettingsFileGivesEmptyLists)
{
    start(std::nullopt);
    viewer_->pick("组合框1", k广东);
    EXPECT_EQ(viewer_->items("组合框2"), Items{});
}

// The shipped settings file, as a user meets it: every province gives cities, and the
// first city of each gives districts, whether its section stands inside the province's
// or after all of them.
TEST_F(CitySelection, ShippedSettingsFileFillsEveryList)
{
    copy_ = std::make_unique<ProgramCopy>(dead_.port(), std::nullopt);
    nimbra::testing::run_command(
        {"/bin/cp", nimbra::testing::program_directory() + "/config.ini", copy_->dir() + "/config.ini"});
    viewer_ = std::make_unique<Viewer>(*copy_, true);
    for (int province = 0; province < 12; ++province) {
        SCOPED_TRACE(province);
        viewer_->pick("组合框1", province);
        Items cities = viewer_->items("组合框2");
        ASSERT_FALSE(cities.empty());
        EXPECT_EQ(std::set<std::string>(cities.begin(), cities.end()).size(), cities.size());
        viewer_->pick("组合框2", 0);
        EXPECT_FALSE(viewer_->items("组合框3").empty()) << cities[0];
    }
}

// Each added item is followed by a 10 ms pause, so a list of n items takes at least
// 10 n ms to fill.
TEST_F(CitySelection, FillingPausesAfterEachItem)
{
    std::vector<std::string> entries;
    for (int i = 0; i < 40; ++i)
        entries.push_back("广东-市" + std::to_string(i) + "-区@1#");
    start(section("广东", entries));
    auto begin = std::chrono::steady_clock::now();
    viewer_->pick("组合框1", k广东);
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(viewer_->items("组合框2").size(), 40u);
    EXPECT_GE(took, std::chrono::milliseconds(400));
}

// Window events run while a pick cleans its list of repeats, so a second pick can run its
// whole handler inside the first. The box must then hold the second province's cities
// only, not those followed by the first one's.
TEST_F(CitySelection, PickDuringAnotherPickLeavesTheLaterList)
{
    // Cleaning compares every element with every other: 50 cities followed by one more named
    // 5000 times take long enough for the second pick to arrive meanwhile, and adding the
    // 51 that remain is quick.
    std::vector<std::string> entries;
    for (int i = 0; i < 50; ++i)
        entries.push_back("广东-市" + std::to_string(i) + "-区@1#");
    for (int i = 0; i < 5000; ++i)
        entries.push_back("广东-同城-区@1#");
    start(section("广东", entries) + section("北京.", {"北京.-东城-甲@2#"}));
    EXPECT_EQ(field(viewer_->ok({"state"}).at(0), "deepest"), "1") << "no handler has run inside another yet";
    viewer_->ok({"pick", "组合框1", std::to_string(k广东)});
    viewer_->ok({"pick", "组合框1", std::to_string(k北京)});
    viewer_->wait_idle();
    // The second pick's handler ran inside the first one's: two handlers at once.
    EXPECT_EQ(field(viewer_->ok({"state"}).at(0), "deepest"), "2");
    EXPECT_EQ(viewer_->text_property("组合框1", 8), "北京.");
    EXPECT_EQ(viewer_->items("组合框2"), Items{"东城"});
}
