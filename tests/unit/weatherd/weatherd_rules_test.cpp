// The fixed rules of the pages, each table row written from the documented rule
// (docs/weather-service.md) and each boundary approached from both sides: wind force and
// direction, the weather-code table, the provider's answer checked field by field, how a
// day's hours become its two halves, the living-index levels, freshness and the pauses
// after failures (on the cache's own clock, no sleeping), the provider's answer size and
// Retry-After, and how the page rounds and dates what it shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <future>

#include "tests/unit/weatherd/weatherd_harness.h"
#include "weatherd/upstream/air_quality_answer.h"
#include "weatherd/upstream/forecast_cache.h"
#include "weatherd/upstream/kept_file.h"
#include "weatherd/weather/living_indexes.h"
#include "weatherd/upstream/open_meteo.h"
#include "weatherd/base/service_log.h"
#include "weatherd/upstream/upstream_client.h"
#include "weatherd/upstream/upstream_queue.h"
#include "weatherd/weather/weather_model.h"
#include "weatherd/pages/weather_page.h"
#include "weatherd/upstream/weather_sources.h"
#include "weatherd/weather/wmo_weather.h"

namespace {

using namespace weatherd;
using nlohmann::json;

// Beaufort upper limits in m/s (0.3, 1.6, 3.4, 5.5, 8.0, 10.8, 13.9, 17.2, 20.8, 24.5, 28.5,
// 32.7): each limit exactly, in km/h (m/s x 3.6), is the higher force; 0.01 km/h below it
// the lower one.
TEST(Wind, BeaufortForceAndDirectionAtTheirBoundaries)
{
    const std::pair<double, int> forces[] = {
        {0, 0},       {1.07, 0},   {1.08, 1},    {5.75, 1},    {5.76, 2},  {12.23, 2}, {12.24, 3},
        {19.79, 3},   {19.8, 4},   {28.79, 4},   {28.8, 5},    {38.87, 5}, {38.88, 6}, {50.03, 6},
        {50.04, 7},   {61.91, 7},  {61.92, 8},   {74.87, 8},   {74.88, 9}, {88.19, 9}, {88.2, 10},
        {102.59, 10}, {102.6, 11}, {117.71, 11}, {117.72, 12}, {400, 12},
    };
    for (auto [speed, force] : forces)
        EXPECT_EQ(beaufort_force(speed), force) << speed << " km/h";

    const std::pair<double, const char*> directions[] = {
        {0, "北风"},     {22.4, "北风"},  {22.6, "东北风"}, {67.6, "东风"},  {135, "东南风"},
        {180, "南风"},   {225, "西南风"}, {270, "西风"},    {315, "西北风"}, {337.4, "西北风"},
        {337.6, "北风"}, {-90, "西风"},   {810, "东风"},
    };
    for (auto [degrees, text] : directions)
        EXPECT_STREQ(wind_direction_text(degrees), text) << degrees << " degrees";

    EXPECT_EQ(wind_text(20, 135), "东南风 4级");
    EXPECT_EQ(wind_text(std::nullopt, 90), "东风 —");
    EXPECT_EQ(wind_text(0, std::nullopt), "— 0级");
}

// Every code the provider documents for weather_code, and haze, which only the model uses.
TEST(WeatherCodes, EveryDocumentedCodeHasItsWordsAndIconAndOthersNone)
{
    struct Row {
        int code;
        const char* text;
        int icon;
    };
    const Row rows[] = {
        {0, "晴", 0},
        {1, "少云", 1},
        {2, "多云", 1},
        {3, "阴", 2},
        {5, "霾", 53},
        {45, "雾", 18},
        {48, "冻雾", 18},
        {51, "毛毛雨", 7},
        {53, "毛毛雨", 7},
        {55, "毛毛雨", 7},
        {56, "冻雨", 19},
        {57, "冻雨", 19},
        {61, "小雨", 7},
        {63, "中雨", 8},
        {65, "大雨", 9},
        {66, "冻雨", 19},
        {67, "冻雨", 19},
        {71, "小雪", 14},
        {73, "中雪", 15},
        {75, "大雪", 16},
        {77, "米雪", 14},
        {80, "阵雨", 3},
        {81, "阵雨", 3},
        {82, "强阵雨", 3},
        {85, "阵雪", 13},
        {86, "强阵雪", 13},
        {95, "雷阵雨", 4},
        {96, "雷阵雨伴有冰雹", 5},
        {99, "雷阵雨伴有冰雹", 5},
        // Named only by airport reports.
        {4, "烟", 53},
        {6, "浮尘", 53},
        {7, "扬沙", 53},
        {10, "轻雾", 18},
        {17, "雷暴", 4},
        {31, "沙尘暴", 53},
        {34, "强沙尘暴", 53},
        {68, "雨夹雪", 19},
        {69, "雨夹雪", 19},
        {79, "冰粒", 19},
        {89, "冰雹", 5},
    };
    for (const Row& row : rows) {
        std::optional<WeatherKind> kind = kind_of_weather_code(row.code);
        ASSERT_TRUE(kind) << row.code;
        EXPECT_STREQ(kind->text, row.text) << row.code;
        EXPECT_EQ(kind->icon, row.icon) << row.code;
    }
    for (int code : {-1, 8,  9,  11, 16, 18, 30, 32, 44, 46, 50, 52, 54, 58, 60, 62,
                     64, 70, 72, 74, 76, 78, 83, 84, 87, 88, 90, 94, 97, 98, 100})
        EXPECT_FALSE(kind_of_weather_code(code)) << code;

    std::vector<int> icons = all_weather_icons();
    std::sort(icons.begin(), icons.end());
    EXPECT_EQ(icons, (std::vector<int>{0, 1, 2, 3, 4, 5, 7, 8, 9, 13, 14, 15, 16, 18, 19, 53}));
}

TEST(ProviderAnswer, AMalformedAnswerIsRefusedNamingTheField)
{
    struct Case {
        std::function<std::string(json)> answer;
        const char* error;
    };
    auto changed = [](std::function<void(json&)> change) {
        return [change](json answer) {
            change(answer);
            return answer.dump();
        };
    };
    const Case cases[] = {
        {[](json answer) { return answer.dump().substr(0, 200); }, "not JSON"},
        {[](json) { return std::string("[1, 2]"); }, "not a JSON object"},
        {[](json) { return std::string(R"({"error": true, "reason": "Latitude must be in range of -90 to 90°."})"); },
         "provider refused: Latitude must be in range"},
        {[](json) { return std::string(R"({"error": 1, "reason": "not a flag"})"); }, "hourly: missing"},
        {changed([](json& a) { a.erase("hourly"); }), "hourly: missing"},
        {changed([](json& a) { a["hourly"]["time"] = json::array(); }), "hourly.time: missing or empty"},
        {changed([](json& a) { a["hourly"]["time"][5] = "2026-12-08 05:00"; }), "hourly.time[5]"},
        {changed([](json& a) { a["hourly"]["time"][6] = "2026-12-08T24:00"; }), "hourly.time[6]"},
        {changed([](json& a) { a["hourly"]["time"][7] = "2026-12-08T05:60"; }), "hourly.time[7]"},
        {changed([](json& a) { a["daily"]["time"][2] = "2026-02-30"; }), "daily.time[2]"},
        // Too short and too long are both refused.
        {changed([](json& a) { a["hourly"]["wind_speed_10m"].erase(0); }),
         "hourly.wind_speed_10m: 191 values for 192 times"},
        {changed([](json& a) { a["hourly"]["wind_speed_10m"].push_back(1); }),
         "hourly.wind_speed_10m: 193 values for 192 times"},
        {changed([](json& a) { a["daily"]["uv_index_max"].push_back(1); }), "daily.uv_index_max: 9 values for 8 times"},
        {changed([](json& a) { a["daily"]["uv_index_max"][3] = "high"; }), "daily.uv_index_max[3]: not a number"},
        {changed([](json& a) { a["daily"].erase("precipitation_sum"); }), "daily.precipitation_sum: missing"},
        {[](json) { return std::string(100000, '['); }, "nested deeper than 8 levels"},
        {[](json) { return "{\"a\":" + std::string(9, '[') + std::string(9, ']') + "}"; },
         "nested deeper than 8 levels"},
        {[](json) {
             std::string deep = "1";
             for (int level = 0; level < 9; ++level)
                 deep = "{\"a\":" + deep + "}";
             return deep;
         },
         "nested deeper than 8 levels"},
        {[](json) { return "[\"" + std::string(kLongestProviderAnswer, 'x') + "\"]"; }, "bytes, more than 524288"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(parse_forecast(c.answer(weatherd_test::forecast_fixture(23.1, 113.3)), error)) << c.error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }

    json answer = weatherd_test::forecast_fixture(23.1, 113.3);
    answer["daily"]["uv_index_max"][1] = nullptr;
    answer["hourly"]["time"][23] = answer["hourly"]["time"][23].get<std::string>().substr(0, 10) + "T23:59";
    std::string error;
    std::optional<ProviderForecast> forecast = parse_forecast(answer.dump(), error);
    ASSERT_TRUE(forecast) << error;
    EXPECT_EQ(forecast->daily.value_at("uv_index_max", 1), std::nullopt);
    EXPECT_EQ(forecast->daily.value_at("temperature_2m_max", 1), 31.0);

    // Values outside their physical range are missing, at both ends and just inside them.
    struct Bound {
        const char* block;
        const char* variable;
        double value;
        bool kept;
    };
    const Bound bounds[] = {
        {"daily", "temperature_2m_max", 1.7e308, false},
        {"daily", "temperature_2m_max", 60, true},
        {"daily", "temperature_2m_max", 60.5, false},
        {"daily", "temperature_2m_max", -90, true},
        {"daily", "temperature_2m_max", -90.5, false},
        {"daily", "uv_index_max", -0.1, false},
        {"daily", "uv_index_max", 30, true},
        {"hourly", "relative_humidity_2m", 100.5, false},
        {"hourly", "relative_humidity_2m", 100, true},
        {"hourly", "relative_humidity_2m", 0, true},
        {"hourly", "wind_direction_10m", 360, true},
        {"hourly", "precipitation", -1, false},
        {"hourly", "wind_speed_10m", 1e9, false},
    };
    for (const Bound& b : bounds) {
        json changed = answer;
        changed[b.block][b.variable][1] = b.value;
        forecast = parse_forecast(changed.dump(), error);
        ASSERT_TRUE(forecast) << error;
        const ForecastSeries& series = std::string(b.block) == "daily" ? forecast->daily : forecast->hourly;
        EXPECT_EQ(series.value_at(b.variable, 1).has_value(), b.kept) << b.variable << " " << b.value;
    }

    // A number no int holds is no weather code.
    for (json& code : answer["hourly"]["weather_code"])
        code = 1e300;
    forecast = parse_forecast(answer.dump(), error);
    ASSERT_TRUE(forecast) << error;
    WeatherReport report = report_from_forecast(*forecast, {weatherd_test::china_today(), 12, 0});
    ASSERT_EQ(report.hours.size(), 12u);
    EXPECT_EQ(report.hours[0].weather_code, std::nullopt);
}

// A provider answer for 2027-01-15 and 16, made by hand: every hour 少云 (1) with a
// 10 km/h wind from the north and 50 % humidity, except the hours a row changes.
struct Hour {
    int day;  // 0: the 15th, 1: the 16th
    int hour;
    std::optional<double> code, wind, direction, humidity;
};
Hour hour_with_code(int day, int hour, double code) { return {day, hour, code, {}, {}, {}}; }
Hour hour_with_wind(int day, int hour, double speed, double direction) { return {day, hour, {}, speed, direction, {}}; }
Hour hour_with_humidity(int day, int hour, double percent) { return {day, hour, {}, {}, {}, percent}; }

const std::chrono::year_month_day kJanuary15 = std::chrono::year{2027} / std::chrono::January / std::chrono::day{15};

ProviderForecast two_days(const std::vector<Hour>& changes)
{
    const std::chrono::year_month_day dates[] = {kJanuary15, std::chrono::sys_days(kJanuary15) + std::chrono::days(1)};
    ProviderForecast forecast;
    ForecastSeries& hourly = forecast.hourly;
    for (int i = 0; i < 48; ++i) {
        hourly.times.push_back({dates[i / 24], i % 24, 0});
        hourly.values["weather_code"].push_back(1);
        hourly.values["wind_speed_10m"].push_back(10);
        hourly.values["wind_direction_10m"].push_back(0);
        hourly.values["relative_humidity_2m"].push_back(50);
    }
    for (const Hour& change : changes) {
        size_t i = static_cast<size_t>(change.day * 24 + change.hour);
        if (change.code)
            hourly.values["weather_code"][i] = change.code;
        if (change.wind)
            hourly.values["wind_speed_10m"][i] = change.wind;
        if (change.direction)
            hourly.values["wind_direction_10m"][i] = change.direction;
        if (change.humidity)
            hourly.values["relative_humidity_2m"][i] = change.humidity;
    }
    ForecastSeries& daily = forecast.daily;
    daily.times = {{dates[0]}, {dates[1]}};
    daily.values["weather_code"] = {63, 63};
    daily.values["temperature_2m_max"] = {10, 11};
    daily.values["temperature_2m_min"] = {0, 1};
    daily.values["wind_speed_10m_max"] = {40, 40};
    daily.values["wind_direction_10m_dominant"] = {180, 180};
    return forecast;
}

// The day half is 08:00-20:00, the night half 20:00 to 08:00 the next morning; each shows
// its most severe code and its strongest wind (the earliest hour of the strongest) with
// that hour's direction; today's humidity is the mean over today's hours.
TEST(ProviderAnswer, TheHoursOfADayMakeItsTwoHalves)
{
    struct Row {
        const char* what;
        std::vector<Hour> hours;
        std::optional<int> day_code, night_code;
        const char* day_wind;
        const char* night_wind;
    };
    const Row rows[] = {
        {"nothing changed", {}, 1, 1, "北风 2级", "北风 2级"},
        {"rain at 07:00 is the night before", {hour_with_code(0, 7, 61)}, 1, 1, "北风 2级", "北风 2级"},
        {"rain at 08:00 is the day", {hour_with_code(0, 8, 61)}, 61, 1, "北风 2级", "北风 2级"},
        {"rain at 19:00 is the day", {hour_with_code(0, 19, 61)}, 61, 1, "北风 2级", "北风 2级"},
        {"rain at 20:00 is the night", {hour_with_code(0, 20, 61)}, 1, 61, "北风 2级", "北风 2级"},
        {"rain at 07:00 next morning is the night", {hour_with_code(1, 7, 61)}, 1, 61, "北风 2级", "北风 2级"},
        {"rain at 08:00 next morning is the next day", {hour_with_code(1, 8, 61)}, 1, 1, "北风 2级", "北风 2级"},
        {"the most severe code wins",
         {hour_with_code(0, 9, 45), hour_with_code(0, 10, 95), hour_with_code(0, 11, 3)},
         95,
         1,
         "北风 2级",
         "北风 2级"},
        {"the strongest wind with its direction", {hour_with_wind(0, 12, 30, 90)}, 1, 1, "东风 5级", "北风 2级"},
        {"of two as strong, the earlier",
         {hour_with_wind(0, 12, 30, 90), hour_with_wind(0, 15, 30, 270)},
         1,
         1,
         "东风 5级",
         "北风 2级"},
        {"wind at 20:00 is the night's", {hour_with_wind(0, 20, 30, 180)}, 1, 1, "北风 2级", "南风 5级"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WeatherReport report = report_from_forecast(two_days(row.hours), {kJanuary15, 23, 0});
        ASSERT_EQ(report.days.size(), 2u);
        const DailyForecast& today = report.days[0];
        EXPECT_EQ(today.day.weather_code, row.day_code);
        EXPECT_EQ(today.night.weather_code, row.night_code);
        EXPECT_EQ(wind_text(today.day.wind_speed, today.day.wind_direction), row.day_wind);
        EXPECT_EQ(wind_text(today.night.wind_speed, today.night.wind_direction), row.night_wind);
        EXPECT_EQ(today.day.temperature, 10.0);
        EXPECT_EQ(today.night.temperature, 0.0);
    }

    // 12 hours of 40 % and 12 of 80 % on the 15th (and 0 % on the 16th, which is not its day).
    std::vector<Hour> damp;
    for (int hour = 0; hour < 24; ++hour) {
        damp.push_back(hour_with_humidity(0, hour, hour < 12 ? 40 : 80));
        damp.push_back(hour_with_humidity(1, hour, 0));
    }
    ProviderForecast forecast = two_days(damp);
    WeatherReport report = report_from_forecast(forecast, {kJanuary15, 23, 0});
    EXPECT_EQ(report.days[0].humidity_mean, 60.0);

    // Where the hours do not reach (the 16th's night), the day's own figures stand in for its
    // day half only.
    forecast.hourly.times.resize(32), forecast.hourly.values.clear();
    for (const char* name : {"weather_code", "wind_speed_10m", "wind_direction_10m", "relative_humidity_2m"})
        forecast.hourly.values[name].assign(32, std::nullopt);
    report = report_from_forecast(forecast, {kJanuary15, 23, 0});
    ASSERT_EQ(report.days.size(), 2u);
    EXPECT_EQ(report.days[1].day.weather_code, 63);
    EXPECT_EQ(wind_text(report.days[1].day.wind_speed, report.days[1].day.wind_direction), "南风 6级");
    EXPECT_EQ(report.days[1].night.weather_code, std::nullopt);
}

// A mild, dry, calm day: feels like 20 ℃, UV 1, wind force 2 by day and 1 at night, 5 ℃
// between high and low, humidity 50 %, clear; every index at its best level.
DailyForecast mild_day()
{
    DailyForecast day;
    day.apparent_max = day.apparent_min = 20;
    day.uv_index_max = 1;
    day.precipitation = 0;
    day.day = {0, 25, 10, 90};
    day.night = {0, 20, 5, 90};
    day.humidity_mean = 50;
    return day;
}

// Each rule's thresholds from both sides, one row per side, from the documented table; a
// wind of 28 km/h is force 4, 29 force 5, 38 force 5, 39 force 6.
TEST(LivingIndexes, LevelsAtTheRulesBoundaries)
{
    using Change = std::function<void(DailyForecast & today, std::optional<DailyForecast> & tomorrow)>;
    using Tomorrow = std::optional<DailyForecast>;
    auto feels = [](std::optional<double> t) -> Change {
        return [t](DailyForecast& d, Tomorrow&) { d.apparent_max = d.apparent_min = t; };
    };
    auto feels_between = [](double high, double low) -> Change {
        return [=](DailyForecast& d, Tomorrow&) { d.apparent_max = high, d.apparent_min = low; };
    };
    auto uv = [](std::optional<double> v) -> Change {
        return [v](DailyForecast& d, Tomorrow&) { d.uv_index_max = v; };
    };
    auto rain = [](double today, std::optional<double> tomorrow) -> Change {
        return [=](DailyForecast& d, Tomorrow& next) { d.precipitation = today, next->precipitation = tomorrow; };
    };
    auto no_tomorrow = [](double today) -> Change {
        return [=](DailyForecast& d, Tomorrow& next) { d.precipitation = today, next.reset(); };
    };
    auto wind = [](double kmh) -> Change { return [kmh](DailyForecast& d, Tomorrow&) { d.night.wind_speed = kmh; }; };
    auto day_wind = [](double kmh) -> Change { return [kmh](DailyForecast& d, Tomorrow&) { d.day.wind_speed = kmh; }; };
    auto range = [](double r) -> Change { return [r](DailyForecast& d, Tomorrow&) { d.day.temperature = 20 + r; }; };
    auto damp = [](std::optional<double> h, int code) -> Change {
        return [=](DailyForecast& d, Tomorrow&) { d.humidity_mean = h, d.day.weather_code = code; };
    };
    auto and_then = [](Change a, Change b) -> Change {
        return [=](DailyForecast& d, Tomorrow& next) { a(d, next), b(d, next); };
    };
    struct Case {
        const char* index;
        Change change;
        const char* level;
    };
    const Case cases[] = {
        // feels < -10 寒冷; < 0 冷; < 8 较冷; < 15 较舒适; < 22 舒适; < 28 热; else 炎热
        {"穿衣指数", feels(-10.1), "寒冷"},
        {"穿衣指数", feels(-10), "冷"},
        {"穿衣指数", feels(-0.1), "冷"},
        {"穿衣指数", feels(0), "较冷"},
        {"穿衣指数", feels(7.9), "较冷"},
        {"穿衣指数", feels(8), "较舒适"},
        {"穿衣指数", feels(14.9), "较舒适"},
        {"穿衣指数", feels(15), "舒适"},
        {"穿衣指数", feels(21.9), "舒适"},
        {"穿衣指数", feels(22), "热"},
        {"穿衣指数", feels(27.9), "热"},
        {"穿衣指数", feels(28), "炎热"},
        {"穿衣指数", feels_between(30, 0), "舒适"},  // feels is the mean: 15
        {"穿衣指数", feels(std::nullopt), "—"},
        // UV < 3 最弱; < 5 弱; < 7 中等; < 10 强; else 很强
        {"紫外线指数", uv(2.9), "最弱"},
        {"紫外线指数", uv(3), "弱"},
        {"紫外线指数", uv(4.9), "弱"},
        {"紫外线指数", uv(5), "中等"},
        {"紫外线指数", uv(6.9), "中等"},
        {"紫外线指数", uv(7), "强"},
        {"紫外线指数", uv(9.9), "强"},
        {"紫外线指数", uv(10), "很强"},
        {"紫外线指数", uv(std::nullopt), "—"},
        // two days ≥ 1 mm 不宜; two days > 0 or wind ≥ 5级 较不宜; else 适宜
        {"洗车指数", rain(0.5, 0.5), "不宜"},
        {"洗车指数", rain(1, 0), "不宜"},
        {"洗车指数", rain(0, 1), "不宜"},
        {"洗车指数", rain(0.4, 0.5), "较不宜"},
        {"洗车指数", rain(0, 0.1), "较不宜"},
        {"洗车指数", rain(0, 0), "适宜"},
        {"洗车指数", wind(28), "适宜"},
        {"洗车指数", wind(29), "较不宜"},
        {"洗车指数", day_wind(29), "较不宜"},
        {"洗车指数", no_tomorrow(0.5), "较不宜"},
        {"洗车指数", no_tomorrow(1), "不宜"},
        {"洗车指数", rain(0, std::nullopt), "—"},
        // rain today ≥ 1 mm or wind ≥ 6级 较不宜; feels < 5 or > 30 较适宜; else 适宜
        {"运动指数", rain(1, 0), "较不宜"},
        {"运动指数", rain(0.9, 0), "适宜"},
        {"运动指数", wind(39), "较不宜"},
        {"运动指数", wind(38), "适宜"},
        {"运动指数", day_wind(39), "较不宜"},
        {"运动指数", feels(4.9), "较适宜"},
        {"运动指数", feels(5), "适宜"},
        {"运动指数", feels(30), "适宜"},
        {"运动指数", feels(30.1), "较适宜"},
        {"运动指数", feels(std::nullopt), "—"},
        // range ≥ 12 极易发; range ≥ 10 or feels < 0 易发; range ≥ 8 or feels < 8 较易发; else 少发
        {"感冒指数", range(12), "极易发"},
        {"感冒指数", range(11.9), "易发"},
        {"感冒指数", range(10), "易发"},
        {"感冒指数", range(9.9), "较易发"},
        {"感冒指数", range(8), "较易发"},
        {"感冒指数", range(7.9), "少发"},
        {"感冒指数", feels(-0.1), "易发"},
        {"感冒指数", feels(0), "较易发"},
        {"感冒指数", feels(7.9), "较易发"},
        {"感冒指数", feels(8), "少发"},
        {"感冒指数", feels(std::nullopt), "—"},
        // rain today ≥ 0.1 mm 不宜; humidity ≥ 80% 不太适宜; 晴/少云/多云 and humidity < 60% 极适宜;
        // else 基本适宜
        {"晾晒指数", rain(0.1, 0), "不宜"},
        {"晾晒指数", rain(0.09, 0), "极适宜"},
        {"晾晒指数", damp(80, 0), "不太适宜"},
        {"晾晒指数", damp(79.9, 0), "基本适宜"},
        {"晾晒指数", damp(59.9, 0), "极适宜"},
        {"晾晒指数", damp(59.9, 1), "极适宜"},
        {"晾晒指数", damp(59.9, 2), "极适宜"},
        {"晾晒指数", damp(59.9, 3), "基本适宜"},
        {"晾晒指数", damp(60, 0), "基本适宜"},
        {"晾晒指数", damp(std::nullopt, 0), "—"},
        // rain today ≥ 5 mm or wind ≥ 6级 较不宜; rain today ≥ 0.1 mm or feels < 0 or > 32 一般;
        // feels 10-28 适宜; else 较适宜
        {"旅游指数", rain(5, 0), "较不宜"},
        {"旅游指数", rain(4.9, 0), "一般"},
        {"旅游指数", wind(39), "较不宜"},
        {"旅游指数", wind(38), "适宜"},
        {"旅游指数", rain(0.1, 0), "一般"},
        {"旅游指数", rain(0.09, 0), "适宜"},
        {"旅游指数", feels(-0.1), "一般"},
        {"旅游指数", feels(0), "较适宜"},
        {"旅游指数", feels(9.9), "较适宜"},
        {"旅游指数", feels(10), "适宜"},
        {"旅游指数", feels(28), "适宜"},
        {"旅游指数", feels(28.1), "较适宜"},
        {"旅游指数", feels(32), "较适宜"},
        {"旅游指数", feels(32.1), "一般"},
        {"旅游指数", and_then(rain(0.1, 0), feels(20)), "一般"},
        {"旅游指数", feels(std::nullopt), "—"},
        // feels < 0 or > 32 很不舒适; < 10 or > 28 较不舒适; humidity ≥ 85% 较舒适; else 舒适
        {"舒适度指数", feels(-0.1), "很不舒适"},
        {"舒适度指数", feels(0), "较不舒适"},
        {"舒适度指数", feels(9.9), "较不舒适"},
        {"舒适度指数", feels(10), "舒适"},
        {"舒适度指数", feels(28), "舒适"},
        {"舒适度指数", feels(28.1), "较不舒适"},
        {"舒适度指数", feels(32), "较不舒适"},
        {"舒适度指数", feels(32.1), "很不舒适"},
        {"舒适度指数", damp(85, 0), "较舒适"},
        {"舒适度指数", damp(84.9, 0), "舒适"},
        {"舒适度指数", and_then(damp(90, 0), feels(9.9)), "较不舒适"},
        {"舒适度指数", damp(std::nullopt, 0), "—"},
    };

    for (const Case& c : cases) {
        DailyForecast today = mild_day();
        std::optional<DailyForecast> tomorrow = mild_day();
        c.change(today, tomorrow);
        std::string level = "<absent>";
        for (const LivingIndex& index : today_living_indexes(today, tomorrow ? &*tomorrow : nullptr))
            if (std::string(index.name) == c.index)
                level = index.level;
        EXPECT_EQ(level, c.level) << c.index << " expected " << c.level;
    }
}

TEST(CallBudget, EachWindowHoldsBackUntilItsOldestCallsLeaveIt)
{
    PolitenessSettings free;  // 600 a minute, 5,000 an hour, 10,000 a day
    struct Case {
        const char* name;
        std::vector<std::pair<double, double>> spent;  // (at, calls)
        double now, cost, wait;
        const char* window;
    };
    const Case cases[] = {
        {"nothing spent", {}, 0, 1.5, 0, ""},
        {"the minute's 600 spent at 0", {{0, 600}}, 10, 1.5, 50, "minute"},
        {"the minute has room again at 60", {{0, 600}}, 60, 1.5, 0, ""},
        {"the oldest of two spendings frees enough", {{0, 300}, {30, 300}}, 40, 1.5, 20, "minute"},
        {"the hour's 5,000 spent over its first minutes", {{0, 500}, {100, 500}, {200, 4000}}, 300, 1, 3300, "hour"},
        {"the day's 10,000 spent over two hours", {{0, 5000}, {3600, 5000}}, 7200, 1, 86400 - 7200, "day"},
        {"a request above the minute's whole budget", {}, 0, 601, -1, "minute"},
    };
    for (const Case& c : cases) {
        CallBudget budget(free);
        for (auto [at, calls] : c.spent)
            budget.spend(at, calls);
        EXPECT_DOUBLE_EQ(budget.wait_for(c.now, c.cost), c.wait) << c.name;
        EXPECT_STREQ(budget.limiting(c.now, c.cost), c.window) << c.name;
    }
}

// A call covers ten variables and two weeks; more count in proportion, fewer as one.
// Two hold-backs one after the other (two requests in flight refused with 429, each with
// its own Retry-After, or one for concurrency): the later end stands, whichever came first.
TEST(UpstreamQueue, OfTwoHoldBacksTheLaterEndStands)
{
    struct Row {
        const char* what;
        double first, second;
        bool second_for_concurrency;
        bool runs;  // within 5 s
    };
    const Row rows[] = {
        {"long, then short", 60, 0.1, false, false},
        {"short, then long", 0.1, 60, false, false},
        {"long, then short for concurrency", 60, 0.1, true, false},
        {"short, then short", 0.1, 0.2, false, true},
    };
    for (const Row& row : rows) {
        weatherd::UpstreamQueue queue{"provider.invalid", {}};
        queue.hold_back(row.first, "first");
        if (row.second_for_concurrency)
            queue.refused_for_concurrency(row.second, "second");
        else
            queue.hold_back(row.second, "second");
        bool ran = false;
        EXPECT_EQ(queue.run(1, weatherd::Deadline::seconds_from_now(5), [&] { ran = true; }), row.runs) << row.what;
        EXPECT_EQ(ran, row.runs) << row.what;
    }
}

TEST(CallBudget, ARequestCostsByItsVariablesAndDays)
{
    struct Case {
        size_t variables;
        int days;
        double cost;
    } cases[] = {{1, 1, 1},   {10, 14, 1}, {15, 8, 1.5}, {6, 6, 1},
                 {20, 14, 2}, {10, 28, 2}, {20, 28, 4},  {15, 21, 2.25}};
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(request_cost(c.variables, c.days), c.cost)
            << c.variables << " variables, " << c.days << " days";
    EXPECT_DOUBLE_EQ(forecast_request_cost(), 1.5);   // 15 variables, 8 days
    EXPECT_DOUBLE_EQ(air_quality_request_cost(), 1);  // 6 variables, 6 days
}

TEST(KeptFreshness, AStampInTheFutureIsStaleAndMaxAgeNeverExceedsTheTtl)
{
    struct Case {
        int64_t fetched_at, now;
        bool fresh;
        int64_t max_age;
    };
    constexpr int64_t kNow = 1'800'000'000, kTtl = 1800;
    const Case cases[] = {
        {kNow, kNow, true, kTtl},
        {kNow - 100, kNow, true, kTtl - 100},
        {kNow - kTtl, kNow, false, 0},
        {kNow + 1, kNow, false, 0},
        {kNow + 10LL * 365 * 86400, kNow, false, 0},
        {INT64_MIN, kNow, false, 0},
        {INT64_MAX, kNow, false, 0},
        {INT64_MIN, INT64_MAX, false, 0},
    };
    for (const Case& c : cases) {
        Freshness freshness = freshness_at(c.fetched_at, c.now, kTtl);
        EXPECT_EQ(freshness.fresh, c.fresh) << c.fetched_at;
        EXPECT_EQ(freshness.max_age_seconds, c.max_age) << c.fetched_at;
    }
}

TEST(LogText, ControlBytesAndBackslashesAreEscapedTheRestKept)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/weather/101010101.shtml", "/weather/101010101.shtml"},
        {"/x\nnimbra-weatherd: GET", "/x\\x0Animbra-weatherd: GET"},
        {"\r\x1b[2J\x7f", "\\x0D\\x1B[2J\\x7F"},
        {"a\\x0Ab", "a\\x5Cx0Ab"},  // a backslash cannot forge an escape
        {"广州 天河", "广州 天河"},
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(printable(text), shown);
    // What a client sent need not be UTF-8, and is shown as ASCII.
    EXPECT_EQ(printable_ascii("/\xC3\xA9\xFF\n\x7F~"), "/\\xC3\\xA9\\xFF\\x0A\\x7F~");
}

// A kept file is read up to the size bound, exactly at it too, and not one byte past it.
TEST(KeptFiles, ReadUpToTheSizeBoundAndNoFurther)
{
    weatherd_test::TempDir dir;
    std::filesystem::path path = dir.path() / "forecast-101010101";
    std::string why;
    ASSERT_TRUE(write_kept_file(path, "kept ", std::string(500, 'x'), 1'800'000'000, why)) << why;
    size_t size = std::filesystem::file_size(path);
    const std::pair<size_t, bool> rows[] = {{size + 1, true}, {size, true}, {size - 1, false}};
    for (auto [longest, read] : rows) {
        std::optional<KeptFile> kept = read_kept_file(path, "kept ", why, longest);
        EXPECT_EQ(kept.has_value(), read) << "a bound of " << longest << " for " << size << " bytes: " << why;
    }
}

// The cache on a clock of its own and a provider that answers what the row says.
struct CacheRig {
    // Now, as the fixture's dates are: an answer must hold today's date to count.
    static inline const int64_t kStart = static_cast<int64_t>(std::time(nullptr));
    int64_t now = kStart;
    int64_t wall_clock_set_by = 0;  // the steps of the wall clock, which elapsed time does not see
    int asked = 0;
    UpstreamAnswer answer = good_answer();
    weatherd::UpstreamQueue queue{"provider.invalid", {}};
    ForecastCache cache{{"http://provider.invalid", "", {}, 1800, 60, 3600},
                        [this](const std::string&, const weatherd::Deadline&) {
                            ++asked;
                            return answer;
                        },
                        [this] { return now; },
                        queue,
                        [this] { return now - wall_clock_set_by; }};

    void set_wall_clock(int64_t by)
    {
        now += by;
        wall_clock_set_by += by;
    }

    static UpstreamAnswer good_answer()
    {
        return {true, 200, weatherd_test::forecast_fixture(23.1, 113.3).dump(), std::nullopt, ""};
    }
    ForecastCache::Result ask_page() { return cache.for_place("101010101", {23.1, 113.3}); }
};

// A forecast is fresh while it is younger than the TTL (1800 s here); at exactly the TTL the
// provider is asked again.
// A page that arrives while its place is being fetched waits for that request, but no
// longer than it would for one of its own: a request stuck in the queue or the network
// must not hold every later page of the place.
TEST(ForecastCache, APageWaitsForAnotherPagesRequestNoLongerThanItsLongestWait)
{
    std::promise<void> release, fetching;
    std::shared_future<void> released = release.get_future().share();
    weatherd::UpstreamQueue queue{"provider.invalid", {}};
    weatherd::ForecastCacheSettings settings{"http://provider.invalid", "", {}, 1800, 60, 3600};
    settings.longest_page_wait_seconds = 0.2;
    ForecastCache cache{settings,
                        [&](const std::string&, const weatherd::Deadline&) {
                            fetching.set_value();  // asked once only: the second page waits
                            released.wait();
                            return CacheRig::good_answer();
                        },
                        [] { return CacheRig::kStart; }, queue};
    auto first = std::async(std::launch::async, [&] {
        return cache.for_place("101010101", {23.1, 113.3}, weatherd::Deadline::seconds_from_now(30));
    });
    fetching.get_future().wait();

    auto started = std::chrono::steady_clock::now();
    ForecastCache::Result waited = cache.for_place("101010101", {23.1, 113.3});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_FALSE(waited.forecast) << "nothing was kept yet";
    EXPECT_FALSE(waited.fresh);
    EXPECT_GE(seconds, 0.15);
    EXPECT_LT(seconds, 5.0) << "waited for the other page's request past the longest wait";

    release.set_value();
    EXPECT_TRUE(first.get().fresh);
}

TEST(ForecastCache, FreshUntilExactlyTheTimeToLive)
{
    const std::pair<int64_t, bool> rows[] = {{0, false},   {1, false},   {1799, false},
                                             {1800, true}, {1801, true}, {86400, true}};
    for (auto [age, asks_again] : rows) {
        SCOPED_TRACE(age);
        CacheRig rig;
        ASSERT_TRUE(rig.ask_page().fresh);
        rig.now += age;
        ForecastCache::Result result = rig.ask_page();
        EXPECT_EQ(rig.asked, asks_again ? 2 : 1);
        EXPECT_TRUE(result.fresh);
        EXPECT_EQ(result.fetched_at, asks_again ? rig.now : CacheRig::kStart);
    }
}

// Every kind of failure leaves the provider alone for --failure-pause (60 s here), or for a
// 503's Retry-After (at least a second, at most an hour); at exactly the end of the pause it
// is asked again. Meanwhile what was kept is served, marked not fresh. (A 429 is a refusal
// that holds the provider's queue back, not a failure: see the politeness tests.)
TEST(ForecastCache, EachFailureKindPausesTheProviderForItsTime)
{
    struct Row {
        const char* what;
        UpstreamAnswer answer;
        int64_t pause;
    };
    auto status = [](long code, std::optional<long> retry_after = std::nullopt, std::string body = "{}") {
        return UpstreamAnswer{true, code, std::move(body), retry_after, ""};
    };
    const Row rows[] = {
        {"not reached", {false, 0, "", std::nullopt, "Connection refused"}, 60},
        {"500", status(500), 60},
        {"500 with Retry-After", status(500, 120), 60},
        {"404 with Retry-After", status(404, 120), 60},
        {"503", status(503), 60},
        {"503 with Retry-After", status(503, 120), 120},
        {"503 with a Retry-After of a day", status(503, 86400), 3600},
        {"503 with a Retry-After of 0", status(503, 0), 1},
        {"200, not JSON", status(200, std::nullopt, "{\"hourly\": ["), 60},
        {"200, arrays too short",
         status(200, std::nullopt,
                [] {
                    json answer = weatherd_test::forecast_fixture(23.1, 113.3);
                    answer["daily"]["uv_index_max"].erase(0);
                    return answer.dump();
                }()),
         60},
        {"200, no hour of today",
         status(200, std::nullopt,
                [] {
                    json answer = weatherd_test::forecast_fixture(23.1, 113.3);
                    for (json& column : answer["hourly"])
                        column.erase(column.begin() + 24, column.end());  // yesterday's hours only
                    return answer.dump();
                }()),
         60},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        for (bool kept : {false, true}) {
            SCOPED_TRACE(kept ? "with a kept forecast" : "with nothing kept");
            CacheRig rig;
            if (kept) {
                rig.ask_page();
                rig.now += 1800;
            }
            rig.answer = row.answer;
            int before = rig.asked;
            int64_t failed_at = rig.now;
            ForecastCache::Result result = rig.ask_page();
            EXPECT_EQ(rig.asked, before + 1);
            EXPECT_FALSE(result.fresh);
            EXPECT_EQ(result.forecast != nullptr, kept);
            if (kept) {
                EXPECT_EQ(result.fetched_at, CacheRig::kStart);
            }

            rig.now = failed_at + row.pause - 1;
            result = rig.ask_page();
            EXPECT_EQ(rig.asked, before + 1) << "asked during the pause";
            EXPECT_EQ(result.forecast != nullptr, kept);
            EXPECT_FALSE(result.fresh);

            rig.answer = CacheRig::good_answer();
            rig.now = failed_at + row.pause;
            result = rig.ask_page();
            EXPECT_EQ(rig.asked, before + 2) << "not asked when the pause ended";
            EXPECT_TRUE(result.fresh);
            EXPECT_EQ(result.fetched_at, rig.now);
        }
    }
}

// The failure pause runs on elapsed time: a failure while the clock ran a day ahead, then
// the clock set right, ends the pause when the pause has passed, not a day later.
TEST(ForecastCache, AClockSetBackDoesNotLengthenTheFailurePause)
{
    CacheRig rig;
    rig.set_wall_clock(86400);
    rig.answer = {false, 0, "", std::nullopt, "Connection refused"};
    EXPECT_FALSE(rig.ask_page().forecast);
    rig.set_wall_clock(-86400);
    rig.answer = CacheRig::good_answer();
    rig.now += 75;
    EXPECT_TRUE(rig.ask_page().fresh);
    EXPECT_EQ(rig.asked, 2);
}

// A loopback server whose answers the rows choose: /bytes/N answers N bytes, /retry?value=V
// a 429 with "NAME: V" (NAME from the name parameter).
class TinyServer {
public:
    TinyServer()
    {
        server_.Get(R"(/bytes/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(std::string(std::stoul(request.matches[1].str()), 'x'), "application/octet-stream");
        });
        server_.Get("/retry", [](const httplib::Request& request, httplib::Response& response) {
            response.status = 429;
            response.set_header(request.get_param_value("name"), request.get_param_value("value"));
            response.set_content("{}", "application/octet-stream");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });  // bound: connections wait for it
    }
    ~TinyServer()
    {
        server_.stop();
        thread_.join();
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

// The body limit: an answer exactly as long as it is taken, one byte more is not.
TEST(UpstreamClient, AnswersUpToTheLimitAreTakenLongerOnesRefused)
{
    upstream_client_init();
    TinyServer server;
    UpstreamLimits limits;
    limits.total_seconds = 20;
    limits.max_body_bytes = 1000;
    const std::pair<int, bool> rows[] = {{0, true}, {999, true}, {1000, true}, {1001, false}, {50000, false}};
    for (auto [bytes, taken] : rows) {
        SCOPED_TRACE(bytes);
        UpstreamAnswer answer = fetch_from_upstream(server.url("/bytes/" + std::to_string(bytes)), limits,
                                                    weatherd::Deadline::seconds_from_now(30));
        EXPECT_EQ(answer.reached, taken) << answer.error;
        if (taken) {
            EXPECT_EQ(answer.status, 200);
            EXPECT_EQ(answer.body.size(), static_cast<size_t>(bytes));
        } else {
            EXPECT_EQ(answer.error, "answer longer than 1000 bytes");
        }
    }
}

// Retry-After in seconds, whatever the case of its name; a date, a negative number or
// anything else is no Retry-After.
TEST(UpstreamClient, RetryAfterIsReadInSecondsOnly)
{
    upstream_client_init();
    TinyServer server;
    UpstreamLimits limits;
    limits.total_seconds = 20;
    struct Row {
        const char* name;
        const char* value;
        std::optional<long> seconds;
    };
    const Row rows[] = {
        {"Retry-After", "120", 120},
        {"retry-after", "7", 7},
        {"RETRY-AFTER", "3600", 3600},
        {"Retry-After", "0", 0},
        {"Retry-After", "Wed, 21 Oct 2026 07:28:00 GMT", std::nullopt},
        {"Retry-After", "-5", std::nullopt},
        {"Retry-After", "12abc", std::nullopt},
        {"Retry-Afterwards", "120", std::nullopt},
        {"X-Retry-After", "120", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + ": " + row.value);
        httplib::Params params = {{"name", row.name}, {"value", row.value}};
        UpstreamAnswer answer =
            fetch_from_upstream(server.url("/retry?" + httplib::detail::params_to_query_str(params)), limits,
                                weatherd::Deadline::seconds_from_now(30));
        ASSERT_TRUE(answer.reached) << answer.error;
        EXPECT_EQ(answer.status, 429);
        EXPECT_EQ(answer.retry_after_seconds, row.seconds);
    }
}

Place yuexiu_place() { return {"广东", "广州", "越秀区", "101010101", Coordinates{23.1, 113.3}}; }

// What a cache in front may keep a page for: what is left of the data's freshness, 60 s for
// stale data. Stale data's hourly table ends at the hour it was fetched.
TEST(WeatherSources, PagesKeepForWhatIsLeftOfTheirFreshness)
{
    // The fixture's hours lie around the real today, so this cache's clock starts near it.
    const int64_t fetched_at =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count() -
        2 * 3600;
    const std::pair<int64_t, int64_t> rows[] = {{0, 1800}, {1, 1799}, {600, 1200}, {1799, 1}};
    for (auto [age, max_age] : rows) {
        SCOPED_TRACE(age);
        CacheRig rig;
        rig.now = fetched_at;
        WeatherSources sources(SourceMode::kOpenMeteo, &rig.cache, 1800);
        sources.for_place(yuexiu_place(), china_time(rig.now));
        rig.now = fetched_at + age;
        SourcedReport sourced = sources.for_place(yuexiu_place(), china_time(rig.now));
        EXPECT_EQ(rig.asked, 1);
        EXPECT_EQ(sourced.max_age_seconds, max_age);
        EXPECT_EQ(sourced.last_modified, fetched_at);
        EXPECT_FALSE(sourced.provenance.stale);
        ASSERT_FALSE(sourced.report.hours.empty());
        EXPECT_EQ(sourced.report.hours.front().time.hour, china_time(rig.now).hour);
    }

    // Two hours later the provider fails: the kept data is served, for a minute, with the
    // hours up to when it was fetched.
    CacheRig rig;
    WeatherSources sources(SourceMode::kOpenMeteo, &rig.cache, 1800);
    rig.now = fetched_at;
    sources.for_place(yuexiu_place(), china_time(rig.now));
    rig.now = fetched_at + 2 * 3600;
    rig.answer = {true, 500, "{}", std::nullopt, ""};
    SourcedReport stale = sources.for_place(yuexiu_place(), china_time(rig.now));
    EXPECT_TRUE(stale.provenance.stale);
    EXPECT_EQ(stale.max_age_seconds, 60);
    EXPECT_EQ(stale.last_modified, fetched_at);
    ASSERT_FALSE(stale.report.hours.empty());
    EXPECT_EQ(stale.report.hours.front().time.hour, china_time(fetched_at).hour);
    EXPECT_EQ(source_name(stale.provenance, rig.now), "open-meteo (120 min old)");
}

// The page's words about its data: how old kept data is, in whole minutes rounded down.
TEST(WeatherPage, TheAgeOfKeptDataInWholeMinutes)
{
    const int64_t fetched_at = 1'800'000'000;  // 2027-01-15 16:00 in China
    const std::pair<int64_t, const char*> rows[] = {
        {0, "0 分钟前"}, {59, "0 分钟前"}, {60, "1 分钟前"}, {7559, "125 分钟前"}, {7560, "126 分钟前"},
    };
    for (auto [age, words] : rows) {
        Provenance stale{Provenance::Kind::kProvider, fetched_at, true};
        std::string text = provenance_text(stale, fetched_at + age);
        EXPECT_NE(text.find(std::string("暂时无法更新：") + words + "的数据"), std::string::npos)
            << age << ": " << text;
        EXPECT_NE(text.find("获取于 1月15日 16:00"), std::string::npos) << text;
    }
    Provenance fresh{Provenance::Kind::kProvider, fetched_at, false};
    EXPECT_EQ(provenance_text(fresh, fetched_at + 7559), "数据来源 Open-Meteo.com（CC BY 4.0），获取于 1月15日 16:00");
    const std::pair<Provenance, const char*> names[] = {
        {fresh, "open-meteo"},
        {{Provenance::Kind::kProvider, fetched_at, true}, "open-meteo (125 min old)"},
        {{Provenance::Kind::kModel, 0, false}, "model"},
        {{Provenance::Kind::kNoData, 0, false}, "none"},
    };
    for (auto [provenance, name] : names)
        EXPECT_EQ(source_name(provenance, fetched_at + 7559), name);
}

// A user opens a block for its numbers: each shows its title, then its table or list,
// and only below them the lines about where they came from, each in a few words with the
// whole sentence as its tooltip. The words keep what they must say: the provider and its
// licence, when the data was fetched or how old it is, that the hours are a model's values,
// and that demo data is demo data.
TEST(WeatherPage, EachBlockShowsItsNumbersBeforeTheirSourceInAFewWords)
{
    using Kind = Provenance::Kind;
    using AirKind = AirQualitySource::Kind;
    const int64_t fetched_at = 1'800'000'000;  // 2027-01-15 16:00 in China
    const int64_t now_unix = fetched_at + 125 * 60;
    const LocalTime now = china_time(now_unix);
    const std::string kProvider = "数据来源 Open-Meteo.com（CC BY 4.0），";
    const std::string kCams = "空气质量：CAMS 模式值（非监测站数据），经 Open-Meteo.com（CC BY 4.0），";
    struct Case {
        const char* name;
        Provenance provenance;
        AirQualitySource air_quality;
        std::vector<std::string> words;  // what every block's source lines say
        bool model_hours;                // the hourly block says its values are a model's
    };
    const Case cases[] = {
        {"provider",
         {Kind::kProvider, fetched_at, false},
         {AirKind::kProvider, fetched_at, false},
         {kProvider + "获取于 1月15日 16:00", kCams + "按 HJ 633-2012"},
         true},
        {"kept after a failure",
         {Kind::kProvider, fetched_at, true},
         {AirKind::kProvider, fetched_at, true},
         {kProvider + "125 分钟前的数据，暂时无法更新", kCams + "125 分钟前获取，暂时无法更新"},
         true},
        {"air quality not had",
         {Kind::kProvider, fetched_at, false},
         {AirKind::kNone, 0, false},
         {kProvider + "获取于 1月15日 16:00", "空气质量：数据来源 Open-Meteo.com 暂时无法访问"},
         true},
        {"model",
         {Kind::kModel, 0, false},
         {AirKind::kModel, 0, false},
         {"演示数据（非实况）", "空气质量：演示数据（非实况）"},
         false},
    };
    struct Data {
        weatherd_test::Block block;
        const char *first, *last;  // where the numbers start, and the end of their last row or item
    };
    const Data blocks[] = {
        {weatherd_test::Block::kForecast, "<table class=\"yuBaoTable\"", "</table>"},
        {weatherd_test::Block::kLive, "<table class=\"liveTable\"", "</table>"},
        {weatherd_test::Block::kLiving, "<dl class=\"livingItem\"", "</dl>"},
    };
    for (const Case& c : cases) {
        WeatherReport report = model_report("广东", "101010101", now);
        report.air_quality_source = c.air_quality;
        std::string page = weather_page(yuexiu_place(), report, c.provenance, now);
        for (const Data& data : blocks) {
            SCOPED_TRACE(std::string(c.name) + ", block " + std::to_string(int(data.block)));
            std::string block = weatherd_test::cut_block(page, data.block);
            size_t title = block.find("<h"), first = block.find(data.first), last = block.rfind(data.last);
            size_t source = block.find("<p class=\"dataSource\"");
            ASSERT_NE(first, std::string::npos) << block;
            ASSERT_NE(source, std::string::npos) << block;
            EXPECT_LT(title, first) << block;
            EXPECT_LT(last, source) << "a source line before the numbers end: " << block;
            EXPECT_EQ(weatherd_test::count_of(block, "<p class=\"dataSource\""), 2u) << block;

            std::string lines = block.substr(source);
            std::string shown = weatherd_test::visible_text(lines);
            for (const std::string& words : c.words)
                EXPECT_NE(shown.find(words), std::string::npos) << words << " in " << shown;
            bool hourly = data.block == weatherd_test::Block::kLive && c.model_hours;
            EXPECT_EQ(shown.find("逐时数值为模式值，不是气象站的实测观测") != std::string::npos, hourly) << shown;
            // The whole sentences, shown where they are short enough, else in the tooltips.
            for (const std::string& whole :
                 {provenance_text(c.provenance, now_unix), air_quality_source_text(c.air_quality, now_unix)}) {
                bool said = shown.find(whole) != std::string::npos ||
                            lines.find("title=\"" + escape_html(whole)) != std::string::npos;
                EXPECT_TRUE(said) << whole << " in " << lines;
            }
        }
    }
}

// A model page's forecast is "issued" at 08:00 and 18:00, each from its own minute on.
TEST(WeatherPage, TheModelsIssueTimeChangesOnTheHour)
{
    const std::pair<LocalTime, const char*> rows[] = {
        {{kJanuary15, 17, 59}, "2027-01-15 08:00发布"}, {{kJanuary15, 18, 0}, "2027-01-15 18:00发布"},
        {{kJanuary15, 18, 1}, "2027-01-15 18:00发布"},  {{kJanuary15, 23, 59}, "2027-01-15 18:00发布"},
        {{kJanuary15, 0, 0}, "2027-01-14 18:00发布"},   {{kJanuary15, 7, 59}, "2027-01-14 18:00发布"},
        {{kJanuary15, 8, 0}, "2027-01-15 08:00发布"},
    };
    for (auto [now, issued] : rows) {
        std::string page = weather_page(yuexiu_place(), WeatherReport{}, {Provenance::Kind::kModel, 0, false}, now);
        EXPECT_NE(page.find(std::string("(") + issued + ")"), std::string::npos)
            << now.hour << ":" << now.minute << " should read " << issued;
    }
}

// Highs and lows in whole degrees, halves away from zero; the night half with night icons.
TEST(WeatherPage, HighsAndLowsRoundHalvesAwayFromZero)
{
    const std::pair<double, const char*> rows[] = {
        {20.5, "21℃"}, {21.5, "22℃"}, {20.49, "20℃"}, {-0.5, "-1℃"}, {-0.4, "0℃"}, {-20.5, "-21℃"}, {0, "0℃"},
    };
    const LocalTime now{kJanuary15, 10, 30};
    WeatherReport report;
    for (auto [value, shown] : rows) {
        DailyForecast day;
        day.date = now.date;
        day.day = {0, value, 10, 0};
        day.night = {0, value, 10, 0};
        report.days.push_back(day);
    }
    std::string page = weather_page(yuexiu_place(), report, {Provenance::Kind::kModel, 0, false}, now);
    std::vector<std::string> shown = weatherd_test::enclosed(
        weatherd_test::cut_block(page, weatherd_test::Block::kForecast), "<strong>", "</strong>");
    std::vector<std::string> expected;
    for (auto [value, text] : rows)
        expected.insert(expected.end(), {text, text});
    EXPECT_EQ(shown, expected);
    std::string forecast = weatherd_test::cut_block(page, weatherd_test::Block::kForecast);
    EXPECT_EQ(weatherd_test::count_of(forecast, "/m2/i/icon_weather/29x20/d00.gif"), std::size(rows));
    EXPECT_EQ(weatherd_test::count_of(forecast, "/m2/i/icon_weather/29x20/n00.gif"), std::size(rows));
}

}  // namespace
