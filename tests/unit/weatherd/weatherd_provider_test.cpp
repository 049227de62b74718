// nimbra-weatherd against a fake forecast provider: pages from its answers, its failures,
// the forecast cache, and the model standing in where the provider cannot be had.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/unit/weatherd/weatherd_harness.h"

using namespace weatherd_test;

namespace {

// Two districts of 广州 and their coordinates (WGS-84) in the shipped place table.
const std::string kYuexiu = "101010101", kTianhe = "101010102";
const Asked kYuexiuAt = {23.1312, 113.2615, "", ""}, kTianheAt = {23.1273, 113.3561, "", ""};

std::vector<std::string> open_meteo(const std::string& upstream, const TempDir& cache,
                                    std::vector<std::string> more = {})
{
    std::vector<std::string> args = {"--source", "open-meteo", "--upstream", upstream, "--cache-dir", cache.str()};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// The fixture's highs and lows from today on, as the forecast block shows them.
std::vector<std::string> fixture_temperatures(bool highs_missing = false)
{
    std::vector<std::string> shown;
    for (int d = 1; d <= 7; ++d)
        shown.insert(shown.end(), {highs_missing ? "—" : std::to_string(30 + d) + "℃", std::to_string(10 + d) + "℃"});
    return shown;
}

std::vector<std::string> temperatures_of(const std::string& page)
{
    return enclosed(cut_block(page, Block::kForecast), "<strong>", "</strong>");
}

std::vector<std::string> live_rows(const std::string& page)
{
    return enclosed(cut_block(page, Block::kLive), "<tr><td>", "</tr>");
}

std::string level_of(const std::string& page, const std::string& index)
{
    std::vector<std::string> found = enclosed(cut_block(page, Block::kLiving), index + "</dt>\n<dd><b>", "</b>");
    return found.size() == 1 ? found[0] : "<no " + index + ">";
}

bool same_place(const Asked& asked, const Asked& place)
{
    return std::fabs(asked.latitude - place.latitude) < 1e-3 && std::fabs(asked.longitude - place.longitude) < 1e-3;
}

int64_t unix_now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string file_text(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

long max_age_of(const httplib::Result& result)
{
    std::string control = result->get_header_value("Cache-Control");
    size_t at = control.find("max-age=");
    return at == std::string::npos ? -1 : std::atol(control.c_str() + at + 8);
}

TEST(ProviderPages, ShowTheFixtureHourByHourWithAttribution)
{
    FakeOpenMeteo fake;
    TempDir cache;
    Service service(open_meteo(fake.url(), cache));
    httplib::Result result = service.get_path("/weather/" + kYuexiu + ".shtml");
    ASSERT_TRUE(result && result->status == 200) << service.process.log();
    const std::string& page = result->body;
    EXPECT_EQ(result->get_header_value("X-Nimbra-Source"), "open-meteo");
    ASSERT_EQ(fake.asked().size(), 1u);
    EXPECT_TRUE(fake.asked()[0].user_agent.starts_with("nimbra-weatherd/")) << fake.asked()[0].user_agent;

    EXPECT_EQ(temperatures_of(page), fixture_temperatures());
    std::vector<std::string> first_date = enclosed(cut_block(page, Block::kForecast), "#day1\">", "</a>");
    ASSERT_EQ(first_date.size(), 1u);
    EXPECT_TRUE(first_date[0].starts_with(std::to_string(unsigned(china_today().day())) + "日")) << first_date[0];

    // Twelve hours, newest first, each with its own hour's temperature (20.H at hour H).
    std::vector<std::string> rows = live_rows(page);
    ASSERT_EQ(rows.size(), 12u);
    for (size_t i = 0; i < rows.size(); ++i) {
        int hour = std::atoi(rows[i].c_str());
        char expected[96];
        std::snprintf(expected, sizeof expected,
                      "<td>阴</td><td>%.1f℃</td><td>64%%</td><td>0.3毫米</td><td>东南风 4级</td>", 20 + hour / 10.0);
        EXPECT_NE(rows[i].find(expected), std::string::npos) << rows[i];
        EXPECT_TRUE(i == 0 || hour == (std::atoi(rows[i - 1].c_str()) + 23) % 24) << "not newest first: " << rows[i];
    }

    // Feels like 19 ℃, UV 8.5, 2.4 mm of rain in two days.
    EXPECT_EQ(level_of(page, "穿衣指数"), "舒适");
    EXPECT_EQ(level_of(page, "紫外线指数"), "强");
    EXPECT_EQ(level_of(page, "洗车指数"), "不宜");
    for (Block block : kBlocks)
        EXPECT_NE(visible_text(cut_block(page, block)).find("数据来源 Open-Meteo.com（CC BY 4.0），获取于"),
                  std::string::npos);
}

TEST(ProviderPages, NullsShowAsDashesNeverAsZero)
{
    FakeOpenMeteo fake;
    fake.set(Answer::kNulls);
    TempDir cache;
    Service service(open_meteo(fake.url(), cache));
    std::string page = service.page_of(kYuexiu);
    EXPECT_EQ(temperatures_of(page), fixture_temperatures(true));
    std::vector<std::string> rows = live_rows(page);
    ASSERT_EQ(rows.size(), 12u);
    for (const std::string& row : rows)
        EXPECT_NE(row.find("<td>阴</td><td>—</td><td>—</td><td>0.3毫米</td>"), std::string::npos) << row;
    EXPECT_EQ(level_of(page, "紫外线指数"), "—");
    EXPECT_EQ(level_of(page, "洗车指数"), "不宜");
}

// Two places: 天河 has a forecast kept on disk from 125 minutes ago, 越秀 has nothing.
TEST(ProviderFailures, KeptDataWithItsAgeOrAPageWithoutNumbers)
{
    struct Case {
        const char* name;
        Answer answer;
        size_t requests;  // one per place, but a 429's Retry-After spares the second
    };
    const Case cases[] = {
        {"server error", Answer::kServerError, 2},
        {"429 with Retry-After", Answer::kTooMany, 1},
        {"silent past the timeout", Answer::kSilent, 2},
        {"malformed JSON", Answer::kMalformed, 2},
        {"arrays of unequal length", Answer::kUnequalArrays, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOpenMeteo fake;
        fake.set(c.answer);
        TempDir cache;
        int64_t now =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        // Kept as the service keeps it: one header line, then the provider's answer.
        std::ofstream(cache.path() / ("forecast-" + kTianhe + ".json"))
            << "nimbra-weatherd forecast fetched_at=" << now - 125 * 60 << "\n"
            << forecast_fixture(kTianheAt.latitude, kTianheAt.longitude).dump();
        Service service(open_meteo(fake.url(), cache, {"--upstream-timeout", "2", "--failure-pause", "0"}));
        auto started = std::chrono::steady_clock::now();
        httplib::Result nothing_kept = service.get_path("/weather/" + kYuexiu + ".shtml");
        httplib::Result kept = service.get_path("/weather/" + kTianhe + ".shtml");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(40))
            << "pages waited past the timeout";
        ASSERT_TRUE(nothing_kept && nothing_kept->status == 200 && kept && kept->status == 200)
            << service.process.log();

        // Each block says that nothing could be had, with no number at all, neither the provider's
        // nor the model's; the one digit allowed is the forecast block's title, "7天天气预报".
        EXPECT_EQ(nothing_kept->get_header_value("X-Nimbra-Source"), "none");
        for (Block block : kBlocks) {
            std::string text = visible_text(cut_block(nothing_kept->body, block));
            if (size_t title = text.find("7天天气预报"); title != std::string::npos)
                text.erase(title, 1);
            EXPECT_NE(text.find("无法"), std::string::npos) << text;
            EXPECT_EQ(text.find_first_of("0123456789"), std::string::npos) << text;
            EXPECT_EQ(text.find("演示数据"), std::string::npos) << text;
        }

        EXPECT_EQ(temperatures_of(kept->body), fixture_temperatures());
        // Said once in the words of each block; the tooltip's whole sentence says it again.
        for (Block block : kBlocks) {
            std::string text = visible_text(cut_block(kept->body, block));
            EXPECT_EQ(count_of(text, "125 分钟前的数据") + count_of(text, "126 分钟前的数据"), 1u) << text;
        }
        EXPECT_EQ(fake.asked().size(), c.requests);
        EXPECT_EQ(service.process.stop_and_wait(), 0) << service.process.log();
    }
}

// Freshness at its boundaries is ForecastCache.FreshUntilExactlyTheTimeToLive (on the cache's
// own clock); here --cache-ttl reaches the cache and the pages' Cache-Control. (越秀区 has an
// airport station, whose reports are asked for every 10 minutes: a TTL below that decides.)
TEST(ForecastCache, AFreshHitAsksNothingAndEachPlaceAsksWithItsCoordinates)
{
    FakeOpenMeteo fake;
    TempDir cache;
    Service service(open_meteo(fake.url(), cache, {"--cache-ttl", "500"}));
    service.page_of(kYuexiu);
    httplib::Result again = service.get_path("/weather/" + kYuexiu + ".shtml");
    ASSERT_TRUE(again && again->status == 200) << service.process.log();
    EXPECT_EQ(temperatures_of(again->body), fixture_temperatures());
    EXPECT_EQ(fake.asked().size(), 1u);
    // What is left of the 500 s, less the moments between the two pages.
    std::string cache_control = again->get_header_value("Cache-Control");
    ASSERT_TRUE(cache_control.starts_with("public, max-age=")) << cache_control;
    int max_age = std::atoi(cache_control.c_str() + std::strlen("public, max-age="));
    EXPECT_LE(max_age, 500);
    EXPECT_GE(max_age, 490);
    service.page_of(kTianhe);
    std::vector<Asked> asked = fake.asked();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_TRUE(same_place(asked[0], kYuexiuAt)) << asked[0].latitude << "," << asked[0].longitude;
    EXPECT_TRUE(same_place(asked[1], kTianheAt)) << asked[1].latitude << "," << asked[1].longitude;
}

// A TTL of 0: no forecast is ever fresh, so every page asks again.
TEST(ForecastCache, ATimeToLiveOfZeroAsksForEveryPage)
{
    FakeOpenMeteo fake;
    TempDir cache;
    Service service(open_meteo(fake.url(), cache, {"--cache-ttl", "0", "--failure-pause", "0"}));
    service.page_of(kYuexiu);
    EXPECT_EQ(temperatures_of(service.page_of(kYuexiu)), fixture_temperatures());
    EXPECT_EQ(fake.asked().size(), 2u);
}

TEST(ForecastCache, ARestartWithTheProviderDownServesWhatIsKeptOnDisk)
{
    FakeOpenMeteo fake;
    TempDir cache;
    {
        Service first(open_meteo(fake.url(), cache));
        first.page_of(kYuexiu);
        EXPECT_EQ(first.process.stop_and_wait(), 0);
    }
    DeadPort down;
    Service second(open_meteo(down.url(), cache));
    httplib::Result result = second.get_path("/weather/" + kYuexiu + ".shtml");
    ASSERT_TRUE(result && result->status == 200) << second.process.log();
    EXPECT_EQ(result->get_header_value("X-Nimbra-Source"), "open-meteo");
    EXPECT_EQ(temperatures_of(result->body), fixture_temperatures());
}

TEST(ForecastCache, FiftyConcurrentPagesForOnePlaceMakeOneRequest)
{
    FakeOpenMeteo fake;
    fake.set(Answer::kGood, std::chrono::seconds(2));
    TempDir cache;
    Service service(open_meteo(fake.url(), cache));
    std::atomic<int> served{0};
    std::vector<std::thread> viewers;
    for (int i = 0; i < 50; ++i) {
        viewers.emplace_back([&] {
            httplib::Result result = service.get_path("/weather/" + kYuexiu + ".shtml");
            if (result && result->status == 200 && temperatures_of(result->body) == fixture_temperatures())
                ++served;
        });
    }
    for (std::thread& viewer : viewers)
        viewer.join();
    EXPECT_EQ(served, 50);
    EXPECT_EQ(fake.asked().size(), 1u);
}

// Services behind one proxy may keep their forecasts in one directory: a place is asked
// for once among them, and the second takes the first one's answer from the disk.
TEST(ForecastCache, TwoServicesSharingADirectoryMakeOneRequestPerPlace)
{
    FakeOpenMeteo fake;
    fake.set(Answer::kGood, std::chrono::seconds(1));
    TempDir cache;
    Service first(open_meteo(fake.url(), cache)), second(open_meteo(fake.url(), cache));
    std::atomic<int> with_data{0};
    std::vector<std::thread> viewers;
    for (const Service* service : {&first, &second, &first, &second})
        viewers.emplace_back([&, service] {
            httplib::Result result = service->get_path("/weather/" + kYuexiu + ".shtml");
            if (result && result->get_header_value("X-Nimbra-Source") == "open-meteo")
                ++with_data;
        });
    for (std::thread& viewer : viewers)
        viewer.join();
    EXPECT_EQ(with_data, 4) << first.process.log() << second.process.log();
    EXPECT_EQ(fake.asked().size(), 1u);
}

TEST(AutoSource, AnUnreachableProviderGivesModelPagesMarkedAsDemoData)
{
    DeadPort down;
    TempDir cache;
    Service service({"--source", "auto", "--upstream", down.url(), "--cache-dir", cache.str()});
    httplib::Result result = service.get_path("/weather/" + kYuexiu + ".shtml");
    ASSERT_TRUE(result && result->status == 200) << service.process.log();
    EXPECT_EQ(result->get_header_value("X-Nimbra-Source"), "model");
    EXPECT_EQ(temperatures_of(result->body).size(), 14u);
    for (Block block : kBlocks)
        EXPECT_NE(cut_block(result->body, block).find("演示数据（非实况）"), std::string::npos)
            << static_cast<int>(block);
}

// Files planted in a shared cache directory, as they were found to be used: the service
// neither writes through them nor waits on them, and a stamp from the future keeps nothing
// fresh.
TEST(KeptFiles, PlantedFilesAreNeitherWrittenThroughNorWaitedOn)
{
    namespace fs = std::filesystem;
    const std::string kept = "forecast-" + kYuexiu + ".json";
    auto stamped = [](const std::string& stamp) {
        return [stamp](const fs::path& dir, const fs::path&) {
            std::ofstream(dir / ("forecast-" + kYuexiu + ".json"))
                << "nimbra-weatherd forecast fetched_at=" << stamp << "\n"
                << forecast_fixture(kYuexiuAt.latitude, kYuexiuAt.longitude).dump();
        };
    };
    struct Case {
        const char* name;
        std::function<void(const fs::path& dir, const fs::path& victim)> plant;
    };
    const Case cases[] = {
        {"a link to another file as the temporary name",
         [&](const fs::path& dir, const fs::path& victim) { fs::create_symlink(victim, dir / (kept + ".partial")); }},
        {"a link to another file as the kept name",
         [&](const fs::path& dir, const fs::path& victim) { fs::create_symlink(victim, dir / kept); }},
        {"a link to a fresh forecast elsewhere as the kept name",
         [&](const fs::path& dir, const fs::path& victim) {
             stamped(std::to_string(unix_now()))(victim.parent_path(), victim);
             fs::create_symlink(victim.parent_path() / kept, dir / kept);
         }},
        {"a FIFO as the kept file", [&](const fs::path& dir, const fs::path&) { mkfifo((dir / kept).c_str(), 0644); }},
        {"/dev/zero as the kept file",
         [&](const fs::path& dir, const fs::path&) { fs::create_symlink("/dev/zero", dir / kept); }},
        {"a FIFO as the lock file",
         [&](const fs::path& dir, const fs::path&) {
             mkfifo((dir / ("forecast-" + kYuexiu + ".lock")).c_str(), 0644);
         }},
        {"a stamp ten years ahead", stamped(std::to_string(unix_now() + 10 * 365 * 86400))},
        {"the largest stamp", stamped("9223372036854775807")},
        {"a negative stamp", stamped("-9223372036854775808")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOpenMeteo fake;
        TempDir cache, elsewhere;
        fs::path victim = elsewhere.path() / "victim";
        std::ofstream(victim) << "victim";
        c.plant(cache.path(), victim);
        Service service(open_meteo(fake.url(), cache));
        auto started = std::chrono::steady_clock::now();
        httplib::Result yuexiu = service.get_path("/weather/" + kYuexiu + ".shtml");
        httplib::Result tianhe = service.get_path("/weather/" + kTianhe + ".shtml");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        ASSERT_TRUE(yuexiu && tianhe) << service.process.log();
        EXPECT_EQ(yuexiu->get_header_value("X-Nimbra-Source"), "open-meteo") << service.process.log();
        EXPECT_EQ(temperatures_of(yuexiu->body), fixture_temperatures());
        EXPECT_EQ(tianhe->get_header_value("X-Nimbra-Source"), "open-meteo");
        EXPECT_EQ(fake.asked().size(), 2u);
        EXPECT_GE(max_age_of(yuexiu), 0);
        EXPECT_LE(max_age_of(yuexiu), 1800);
        EXPECT_EQ(file_text(victim), "victim");
        EXPECT_EQ(service.process.stop_and_wait(), 0) << service.process.log();
    }
}

// Answers the provider should not give. 天河 has a forecast kept from 125 minutes ago.
TEST(ProviderFailures, BadAnswersAreBoundedAndSaidInOneLine)
{
    struct Case {
        Answer answer;
        const char* logged;
        bool fresh;  // the page has the answer's data (else the kept data with its age)
    };
    const Case cases[] = {
        {Answer::kDeepNesting, "answer longer than 524288 bytes", false},
        {Answer::kNotToday, "do not include today", false},
        {Answer::kRefusedMultiline, "status 400: Parameter 'hourly' is invalid\\x0Animbra-weatherd: GET /forged 200",
         false},
        {Answer::kHugeValues, nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.answer));
        FakeOpenMeteo fake;
        fake.set(c.answer);
        TempDir cache;
        std::ofstream(cache.path() / ("forecast-" + kTianhe + ".json"))
            << "nimbra-weatherd forecast fetched_at=" << unix_now() - 125 * 60 << "\n"
            << forecast_fixture(kTianheAt.latitude, kTianheAt.longitude).dump();
        Service service(open_meteo(fake.url(), cache));
        httplib::Result result = service.get_path("/weather/" + kTianhe + ".shtml");
        ASSERT_TRUE(result && result->status == 200) << service.process.log();
        if (c.fresh) {
            EXPECT_EQ(result->get_header_value("X-Nimbra-Source"), "open-meteo");
            EXPECT_EQ(temperatures_of(result->body), fixture_temperatures(true));  // 1.7e308 is no temperature
            EXPECT_EQ(result->body.find("9223372036854775808"), std::string::npos);
        } else {
            EXPECT_TRUE(result->get_header_value("X-Nimbra-Source").starts_with("open-meteo (12"))
                << result->get_header_value("X-Nimbra-Source");
            EXPECT_EQ(temperatures_of(result->body), fixture_temperatures());
        }
        EXPECT_EQ(service.process.stop_and_wait(), 0);
        std::string log = service.process.log();
        if (c.logged) {
            EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        }
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(line.starts_with("nimbra-weatherd: forecast for ")) << line;
    }
}

// The fake answers after 300 ms; twelve places are asked for at once.
TEST(Politeness, NeverMoreInFlightThanAllowedAndEveryPageGetsData)
{
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int fake_limit;  // the fake refuses more than this at once
        int most_in_flight;
        bool refusals;
    };
    const Case cases[] = {
        {"the default, one at a time", {}, 0, 1, false},
        {"three allowed, the provider takes one", {"--upstream-in-flight", "3"}, 1, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOpenMeteo fake;
        fake.set(Answer::kGood, std::chrono::milliseconds(300));
        fake.refuse_beyond(c.fake_limit);
        TempDir cache;
        Service service(open_meteo(fake.url(), cache, c.args));
        std::vector<std::string> codes = city_codes(service, 12);
        ASSERT_EQ(codes.size(), 12u);
        std::atomic<int> with_data{0};
        auto started = std::chrono::steady_clock::now();
        std::vector<std::thread> viewers;
        for (const std::string& code : codes)
            viewers.emplace_back([&, code] {
                httplib::Result result = service.get_path("/weather/" + code + ".shtml");
                if (result && result->status == 200 && result->get_header_value("X-Nimbra-Source") == "open-meteo")
                    ++with_data;
            });
        for (std::thread& viewer : viewers)
            viewer.join();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
        EXPECT_EQ(with_data, 12) << service.process.log();
        EXPECT_LE(fake.most_in_flight(), c.most_in_flight);
        EXPECT_EQ(fake.refused() > 0, c.refusals);
        EXPECT_EQ(service.process.stop_and_wait(), 0);
        EXPECT_EQ(service.process.log().find("left alone"), std::string::npos) << service.process.log();
        if (c.refusals) {
            EXPECT_NE(service.process.log().find("held back"), std::string::npos) << service.process.log();
        }
    }
}

TEST(Politeness, ASpentBudgetHoldsRequestsBackAndSaysSo)
{
    FakeOpenMeteo fake;
    TempDir cache;
    // A place costs 2.5 calls, its forecast 1.5 (15 variables) and its air quality 1, from
    // one budget: five a minute allow two places.
    Service service(open_meteo(fake.url(), cache, {"--upstream-budget", "5/100/1000"}));
    std::vector<std::string> codes = city_codes(service, 4);
    std::vector<std::string> sources;
    auto started = std::chrono::steady_clock::now();
    for (const std::string& code : codes)
        sources.push_back(service.get_path("/weather/" + code + ".shtml")->get_header_value("X-Nimbra-Source"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(sources, (std::vector<std::string>{"open-meteo", "open-meteo", "none", "none"}));
    EXPECT_EQ(fake.asked().size(), 2u);
    EXPECT_EQ(fake.air_quality_asked().size(), 2u);
    EXPECT_EQ(service.process.stop_and_wait(), 0);
    EXPECT_EQ(count_of(service.process.log(), "held back"), 1u) << service.process.log();
    EXPECT_NE(service.process.log().find("per minute is spent"), std::string::npos) << service.process.log();
}

TEST(ProviderRequest, AsksOnlyWhatThePagesUseAndCarriesTheKeyFromTheEnvironment)
{
    FakeOpenMeteo fake;
    TempDir cache;
    setenv("NIMBRA_TEST_API_KEY", "k3y-from_env", 1);
    Service service(open_meteo(fake.url(), cache, {"--api-key", "env:NIMBRA_TEST_API_KEY", "--log"}));
    service.page_of(kYuexiu);
    ASSERT_EQ(fake.asked().size(), 1u);
    std::string query = fake.asked()[0].query;
    EXPECT_NE(query.find("&apikey=k3y-from_env"), std::string::npos) << query;
    EXPECT_EQ(query.find("current="), std::string::npos) << query;
    ASSERT_EQ(fake.air_quality_asked().size(), 1u);
    EXPECT_NE(fake.air_quality_asked()[0].query.find("&apikey=k3y-from_env"), std::string::npos);
    EXPECT_EQ(service.process.stop_and_wait(), 0);
    EXPECT_EQ(service.process.log().find("k3y"), std::string::npos) << service.process.log();

    std::vector<std::string> refused = {NIMBRA_WEATHERD, "--api-key", "k3y-on-the-command-line"};
    ServiceProcess on_command_line(refused);
    EXPECT_EQ(on_command_line.wait_for_end(), 2);
    EXPECT_NE(on_command_line.log().find("visible to every user in ps"), std::string::npos) << on_command_line.log();
}

// The air-quality cache keeps its answers by the forecast's rules, in files of its own
// kind, and pauses only its own API when that fails.
TEST(AirQualityCache, KeptByTheForecastsRulesAndItsFailuresPauseOnlyItself)
{
    FakeOpenMeteo fake;
    TempDir cache;
    {
        Service service(open_meteo(fake.url(), cache));
        service.page_of(kYuexiu);
        EXPECT_EQ(service.process.stop_and_wait(), 0);
    }
    std::string kept = file_text(cache.path() / ("air-quality-" + kYuexiu + ".json"));
    EXPECT_EQ(kept.rfind("nimbra-weatherd air-quality fetched_at=", 0), 0u) << kept.substr(0, 80);
    EXPECT_TRUE(std::filesystem::exists(cache.path() / ("air-quality-" + kYuexiu + ".lock")));

    // A restart reads it back: no new air-quality request for the place.
    fake.set_air_quality(Answer::kServerError);
    Service service(open_meteo(fake.url(), cache, {"--log"}));
    EXPECT_NE(service.page_of(kYuexiu).find("82 良"), std::string::npos);
    EXPECT_EQ(fake.air_quality_asked().size(), 1u);
    // A place without kept air quality asks, fails, and pauses the air-quality API only: the
    // next place still gets its forecast asked for, and its page says so with "—".
    std::string tianhe = service.page_of(kTianhe);
    EXPECT_EQ(temperatures_of(tianhe), fixture_temperatures());
    EXPECT_NE(tianhe.find("空气质量：数据来源 Open-Meteo.com 暂时无法访问"), std::string::npos);
    EXPECT_EQ(fake.air_quality_asked().size(), 2u);
    std::vector<std::string> codes = city_codes(service, 4);
    for (const std::string& code : codes)
        service.page_of(code);
    EXPECT_EQ(fake.air_quality_asked().size(), 2u) << "the failure pause spares the air-quality API";
    EXPECT_GT(fake.asked().size(), 2u) << "the forecast is not paused by the air quality's failure";
    EXPECT_EQ(service.process.stop_and_wait(), 0);
    EXPECT_NE(service.process.log().find("air-quality for " + kTianhe + ": status 500"), std::string::npos)
        << service.process.log();
}

}  // namespace
