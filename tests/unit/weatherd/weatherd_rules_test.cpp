// The fixed rules of the pages, at their boundaries: wind force and direction, weather
// codes, the provider's answer checked field by field, and the living-index levels.
#include <gtest/gtest.h>

#include <functional>

#include "tests/unit/weatherd/weatherd_harness.h"
#include "weatherd/air_quality_answer.h"
#include "weatherd/kept_file.h"
#include "weatherd/living_indexes.h"
#include "weatherd/open_meteo.h"
#include "weatherd/service_log.h"
#include "weatherd/upstream_queue.h"
#include "weatherd/wmo_weather.h"

namespace {

using namespace weatherd;
using nlohmann::json;

// Beaufort limits in m/s (0.3, 1.6, 3.4, 5.5, 8.0, 10.8, 13.9, 17.2, 20.8, 24.5, 28.5,
// 32.7), each approached from both sides in km/h.
TEST(Wind, BeaufortForceAndDirectionAtTheirBoundaries) {
  const std::pair<double, int> forces[] = {
      {0, 0},     {1.0, 0},    {1.1, 1},    {5.7, 1},   {5.8, 2},    {12.2, 2},   {12.3, 3},   {19.7, 3},  {19.9, 4},
      {28.7, 4},  {28.9, 5},   {38.8, 5},   {38.9, 6},  {50.0, 6},   {50.1, 7},   {61.9, 7},   {62.0, 8},  {74.8, 8},
      {74.9, 9},  {88.1, 9},   {88.3, 10},  {102.5, 10}, {102.7, 11}, {117.7, 11}, {117.8, 12}, {400, 12},
  };
  for (auto [speed, force] : forces)
    EXPECT_EQ(BeaufortForce(speed), force) << speed << " km/h";

  const std::pair<double, const char*> directions[] = {
      {0, "北风"}, {22.4, "北风"}, {22.6, "东北风"}, {67.6, "东风"}, {135, "东南风"}, {180, "南风"}, {225, "西南风"},
      {270, "西风"}, {315, "西北风"}, {337.4, "西北风"}, {337.6, "北风"}, {-90, "西风"}, {810, "东风"},
  };
  for (auto [degrees, text] : directions)
    EXPECT_STREQ(WindDirectionText(degrees), text) << degrees << " degrees";

  EXPECT_EQ(WindText(20, 135), "东南风 4级");
  EXPECT_EQ(WindText(std::nullopt, 90), "东风 —");
  EXPECT_EQ(WindText(0, std::nullopt), "— 0级");
}

TEST(WeatherCodes, EveryDocumentedCodeHasWordsAndOthersNone) {
  // The WMO codes the provider documents for weather_code.
  for (int code : {0, 1, 2, 3, 45, 48, 51, 53, 55, 56, 57, 61, 63, 65, 66, 67, 71, 73, 75, 77, 80, 81, 82, 85, 86, 95, 96, 99})
    EXPECT_TRUE(KindOfWeatherCode(code)) << code;
  for (int code : {-1, 4, 10, 50, 100})
    EXPECT_FALSE(KindOfWeatherCode(code)) << code;
  const std::pair<int, const char*> words[] = {{0, "晴"}, {3, "阴"}, {45, "雾"}, {61, "小雨"}, {65, "大雨"},
                                               {71, "小雪"}, {75, "大雪"}, {80, "阵雨"}, {95, "雷阵雨"}};
  for (auto [code, text] : words)
    EXPECT_STREQ(KindOfWeatherCode(code)->text, text) << code;
}

TEST(ProviderAnswer, AMalformedAnswerIsRefusedNamingTheField) {
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
      {changed([](json& a) { a["daily"]["time"][2] = "2026-02-30"; }), "daily.time[2]"},
      {changed([](json& a) { a["hourly"]["wind_speed_10m"].erase(0); }), "hourly.wind_speed_10m: 191 values for 192 times"},
      {changed([](json& a) { a["daily"]["uv_index_max"][3] = "high"; }), "daily.uv_index_max[3]: not a number"},
      {changed([](json& a) { a["daily"].erase("precipitation_sum"); }), "daily.precipitation_sum: missing"},
      {[](json) { return std::string(100000, '['); }, "nested deeper than 8 levels"},
      {[](json) { return "{\"a\":" + std::string(9, '[') + std::string(9, ']') + "}"; }, "nested deeper than 8 levels"},
      {[](json) { return "[\"" + std::string(kLongestProviderAnswer, 'x') + "\"]"; }, "bytes, more than 524288"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseForecast(c.answer(weatherd_test::ForecastFixture(23.1, 113.3)), error)) << c.error;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }

  json answer = weatherd_test::ForecastFixture(23.1, 113.3);
  answer["daily"]["uv_index_max"][1] = nullptr;
  std::string error;
  std::optional<ProviderForecast> forecast = ParseForecast(answer.dump(), error);
  ASSERT_TRUE(forecast) << error;
  EXPECT_EQ(forecast->daily.At("uv_index_max", 1), std::nullopt);
  EXPECT_EQ(forecast->daily.At("temperature_2m_max", 1), 31.0);

  // Values outside their physical range are missing, at both ends and just inside them.
  struct Bound {
    const char* block;
    const char* variable;
    double value;
    bool kept;
  };
  const Bound bounds[] = {
      {"daily", "temperature_2m_max", 1.7e308, false}, {"daily", "temperature_2m_max", 60, true},
      {"daily", "temperature_2m_max", -90.5, false},   {"daily", "uv_index_max", -0.1, false},
      {"daily", "uv_index_max", 30, true},             {"hourly", "relative_humidity_2m", 100.5, false},
      {"hourly", "wind_direction_10m", 360, true},     {"hourly", "precipitation", -1, false},
      {"hourly", "wind_speed_10m", 1e9, false},
  };
  for (const Bound& b : bounds) {
    json changed = answer;
    changed[b.block][b.variable][1] = b.value;
    forecast = ParseForecast(changed.dump(), error);
    ASSERT_TRUE(forecast) << error;
    const ForecastSeries& series = std::string(b.block) == "daily" ? forecast->daily : forecast->hourly;
    EXPECT_EQ(series.At(b.variable, 1).has_value(), b.kept) << b.variable << " " << b.value;
  }

  // A number no int holds is no weather code.
  for (json& code : answer["hourly"]["weather_code"])
    code = 1e300;
  forecast = ParseForecast(answer.dump(), error);
  ASSERT_TRUE(forecast) << error;
  WeatherReport report = ReportFromForecast(*forecast, {weatherd_test::ChinaToday(), 12, 0});
  ASSERT_EQ(report.hours.size(), 12u);
  EXPECT_EQ(report.hours[0].weather_code, std::nullopt);
}

// A mild, dry, calm day: feels like 20 ℃, UV 1, wind force 2, 5 ℃ between high and low,
// humidity 50 %, clear; every index at its best level.
DailyForecast MildDay() {
  DailyForecast day;
  day.apparent_max = day.apparent_min = 20;
  day.uv_index_max = 1;
  day.precipitation = 0;
  day.day = {0, 25, 10, 90};
  day.night = {0, 20, 5, 90};
  day.humidity_mean = 50;
  return day;
}

TEST(LivingIndexes, LevelsAtTheRulesBoundaries) {
  using Change = std::function<void(DailyForecast& today, DailyForecast& tomorrow)>;
  auto feels = [](double t) -> Change { return [t](DailyForecast& d, DailyForecast&) { d.apparent_max = d.apparent_min = t; }; };
  auto uv = [](std::optional<double> v) -> Change { return [v](DailyForecast& d, DailyForecast&) { d.uv_index_max = v; }; };
  auto rain = [](double today, std::optional<double> tomorrow) -> Change {
    return [=](DailyForecast& d, DailyForecast& next) { d.precipitation = today, next.precipitation = tomorrow; };
  };
  auto wind = [](double kmh) -> Change { return [kmh](DailyForecast& d, DailyForecast&) { d.night.wind_speed = kmh; }; };
  auto range = [](double r) -> Change { return [r](DailyForecast& d, DailyForecast&) { d.day.temperature = 20 + r; }; };
  auto damp = [](double h, int code) -> Change {
    return [=](DailyForecast& d, DailyForecast&) { d.humidity_mean = h, d.day.weather_code = code; };
  };
  struct Case {
    const char* index;
    Change change;
    const char* level;
  };
  const Case cases[] = {
      {"穿衣指数", feels(-10.1), "寒冷"}, {"穿衣指数", feels(-10), "冷"}, {"穿衣指数", feels(0), "较冷"},
      {"穿衣指数", feels(8), "较舒适"}, {"穿衣指数", feels(22), "热"}, {"穿衣指数", feels(28), "炎热"},
      {"紫外线指数", uv(2.9), "最弱"}, {"紫外线指数", uv(3), "弱"}, {"紫外线指数", uv(10), "很强"},
      {"紫外线指数", uv(std::nullopt), "—"},
      {"洗车指数", rain(0, 0.5), "较不宜"}, {"洗车指数", rain(0.5, 0.5), "不宜"}, {"洗车指数", wind(28), "适宜"},
      {"洗车指数", wind(29), "较不宜"}, {"洗车指数", rain(0, std::nullopt), "—"},
      {"运动指数", rain(1, 0), "较不宜"}, {"运动指数", wind(39), "较不宜"}, {"运动指数", feels(30), "适宜"},
      {"运动指数", feels(30.1), "较适宜"},
      {"感冒指数", range(12), "极易发"}, {"感冒指数", range(10), "易发"}, {"感冒指数", range(8), "较易发"},
      {"感冒指数", range(7.9), "少发"}, {"感冒指数", feels(-0.1), "易发"},
      {"晾晒指数", rain(0.1, 0), "不宜"}, {"晾晒指数", damp(80, 0), "不太适宜"}, {"晾晒指数", damp(59.9, 2), "极适宜"},
      {"晾晒指数", damp(60, 0), "基本适宜"}, {"晾晒指数", damp(50, 3), "基本适宜"},
      {"旅游指数", rain(5, 0), "较不宜"}, {"旅游指数", rain(0.1, 0), "一般"}, {"旅游指数", feels(28), "适宜"},
      {"旅游指数", feels(28.1), "较适宜"}, {"旅游指数", feels(32.1), "一般"},
      {"舒适度指数", feels(-0.1), "很不舒适"}, {"舒适度指数", feels(9.9), "较不舒适"}, {"舒适度指数", damp(85, 0), "较舒适"},
      {"舒适度指数", damp(84.9, 0), "舒适"},
  };

  for (const Case& c : cases) {
    DailyForecast today = MildDay(), tomorrow = MildDay();
    c.change(today, tomorrow);
    std::string level = "<absent>";
    for (const LivingIndex& index : TodayLivingIndexes(today, &tomorrow))
      if (std::string(index.name) == c.index)
        level = index.level;
    EXPECT_EQ(level, c.level) << c.index << " expected " << c.level;
  }
}

TEST(CallBudget, EachWindowHoldsBackUntilItsOldestCallsLeaveIt) {
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
      budget.Spend(at, calls);
    EXPECT_DOUBLE_EQ(budget.WaitFor(c.now, c.cost), c.wait) << c.name;
    EXPECT_STREQ(budget.Limiting(c.now, c.cost), c.window) << c.name;
  }
}

// A call covers ten variables and two weeks; more count in proportion, fewer as one.
TEST(CallBudget, ARequestCostsByItsVariablesAndDays) {
  struct Case {
    size_t variables;
    int days;
    double cost;
  } cases[] = {{1, 1, 1}, {10, 14, 1}, {15, 8, 1.5}, {6, 6, 1}, {20, 14, 2}, {10, 28, 2}, {20, 28, 4}, {15, 21, 2.25}};
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(RequestCost(c.variables, c.days), c.cost) << c.variables << " variables, " << c.days << " days";
  EXPECT_DOUBLE_EQ(ForecastRequestCost(), 1.5);  // 15 variables, 8 days
  EXPECT_DOUBLE_EQ(AirQualityRequestCost(), 1);  // 6 variables, 6 days
}

TEST(KeptFreshness, AStampInTheFutureIsStaleAndMaxAgeNeverExceedsTheTtl) {
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
    Freshness freshness = FreshnessAt(c.fetched_at, c.now, kTtl);
    EXPECT_EQ(freshness.fresh, c.fresh) << c.fetched_at;
    EXPECT_EQ(freshness.max_age_seconds, c.max_age) << c.fetched_at;
  }
}

TEST(LogText, ControlBytesAndBackslashesAreEscapedTheRestKept) {
  const std::pair<std::string, std::string> cases[] = {
      {"/weather/101010101.shtml", "/weather/101010101.shtml"},
      {"/x\nnimbra-weatherd: GET", "/x\\x0Animbra-weatherd: GET"},
      {"\r\x1b[2J\x7f", "\\x0D\\x1B[2J\\x7F"},
      {"a\\x0Ab", "a\\x5Cx0Ab"},  // a backslash cannot forge an escape
      {"广州 天河", "广州 天河"},
  };
  for (const auto& [text, shown] : cases)
    EXPECT_EQ(Printable(text), shown);
}

}  // namespace
