// Airport reports to the hourly block's rows, each table written from the documented rules
// (docs/weather-service.md): the present-weather table, the Beaufort scale in the unit the
// report gives at every limit, the Magnus humidity against published dew-point tables, and
// each kind of bad report with the result it must have.
#include <gtest/gtest.h>

#include "tests/unit/weatherd/weatherd_harness.h"
#include "weatherd/weather/metar_answer.h"
#include "weatherd/upstream/metar_cache.h"
#include "weatherd/weather/metar_decode.h"
#include "weatherd/upstream/open_meteo.h"
#include "weatherd/weather/stations.h"
#include "weatherd/weather/wmo_weather.h"

namespace {

using namespace weatherd;
using nlohmann::json;
using weatherd_test::metar_fixture;

std::string words_of(std::optional<int> code)
{
    std::optional<WeatherKind> kind = code ? kind_of_weather_code(*code) : std::nullopt;
    return kind ? kind->text : "—";
}

TEST(MetarWeather, EveryGroupOfTheTableHasTheDocumentedWords)
{
    const struct {
        const char *weather, *cover, *words;
    } cases[] = {
        {"-DZ", "", "毛毛雨"},
        {"+DZ", "", "毛毛雨"},
        {"FZDZ", "", "冻雨"},
        {"-RA", "", "小雨"},
        {"RA", "", "中雨"},
        {"+RA", "", "大雨"},
        {"FZRA", "", "冻雨"},
        {"-SHRA", "", "阵雨"},
        {"SHRA", "", "阵雨"},
        {"+SHRA", "", "强阵雨"},
        {"-SN", "", "小雪"},
        {"SN", "", "中雪"},
        {"+SN", "", "大雪"},
        {"SHSN", "", "阵雪"},
        {"+SHSN", "", "强阵雪"},
        {"SG", "", "米雪"},
        {"-RASN", "", "雨夹雪"},
        {"SNRA", "", "雨夹雪"},
        {"-SHRASN", "", "雨夹雪"},
        {"PL", "", "冰粒"},
        {"GR", "", "冰雹"},
        {"SHGS", "", "冰雹"},
        {"TS", "", "雷暴"},
        {"TSRA", "", "雷阵雨"},
        {"-TSRA", "", "雷阵雨"},
        {"+TSRA", "", "雷阵雨"},
        {"TSGR", "", "雷阵雨伴有冰雹"},
        {"FG", "", "雾"},
        {"BCFG", "", "雾"},
        {"FZFG", "", "冻雾"},
        {"BR", "", "轻雾"},
        {"HZ", "", "霾"},
        {"FU", "", "烟"},
        {"DU", "", "浮尘"},
        {"SA", "", "扬沙"},
        {"BLDU", "", "扬沙"},
        {"SS", "", "沙尘暴"},
        {"+DS", "", "强沙尘暴"},
        // Precipitation outranks what only dims the air; thunder outranks mist.
        {"-RA BR", "OVC", "小雨"},
        {"BR HZ", "", "轻雾"},
        {"TS BR", "", "雷暴"},
        // Only in the vicinity, recent, or a kind the table lacks: the sky tells.
        {"VCSH", "BKN", "多云"},
        {"RERA", "SCT", "多云"},
        {"UP", "OVC", "阴"},
        {"VCFG", "", "—"},
        {"", "CAVOK", "晴"},
        {"", "NSC", "晴"},
        {"", "FEW", "少云"},
        {"", "OVC", "阴"},
        {"", "VV", "—"},
        {"", "", "—"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(words_of(weather_code_of_report(c.weather, c.cover)), c.words) << c.weather << " / " << c.cover;
    // The model's made-up reports name the codes it makes by groups that read back the same.
    for (int code : {5, 45, 51, 61, 63, 65, 71, 73, 75, 80, 82, 85, 95})
        EXPECT_EQ(weather_code_of_group(group_of_weather_code(code)), code) << code;
}

TEST(MetarWind, BeaufortForceAtEveryLimitInTheReportsOwnUnit)
{
    // The scale's upper limits of forces 0-11: m/s (China's GB/T 28591) and whole knots.
    const double mps[] = {0.3, 1.6, 3.4, 5.5, 8.0, 10.8, 13.9, 17.2, 20.8, 24.5, 28.5, 32.7};
    const int knots[] = {1, 4, 7, 11, 17, 22, 28, 34, 41, 48, 56, 64};
    for (int force = 0; force < 12; ++force) {
        EXPECT_EQ(beaufort_force_in(mps[force] - 0.1, WindUnit::kMetresPerSecond), force) << mps[force];
        EXPECT_EQ(beaufort_force_in(mps[force], WindUnit::kMetresPerSecond), force + 1) << mps[force];
        EXPECT_EQ(beaufort_force_in(knots[force] - 1, WindUnit::kKnots), force) << knots[force];
        EXPECT_EQ(beaufort_force_in(knots[force], WindUnit::kKnots), force + 1) << knots[force];
    }
    // 16 kt is 8.2 m/s: force 4 by the knot scale, 5 by the m/s one; the report's unit decides.
    EXPECT_EQ(beaufort_force_in(16, WindUnit::kKnots), 4);
}

TEST(MetarWind, TheRawWindGroupInItsOwnUnit)
{
    const struct {
        const char *raw, *words;
    } cases[] = {
        {"METAR ZBAA 110300Z 09004MPS CAVOK M02/M15 Q1030 NOSIG", "东风 3级"},
        {"ZBAA 110300Z 36010MPS 9999 FEW030 05/M03 Q1021", "北风 5级"},
        {"ZBAA 110300Z VRB02MPS 9999 NSC 05/M03 Q1021", "风向不定 2级"},
        {"ZBAA 110300Z 00000MPS 9999 NSC 05/M03 Q1021", "静风 0级"},
        {"ZSPD 110300Z 22008G15MPS 9999 SCT020 20/15 Q1012", "西南风 5级 阵风7级"},
        {"KJFK 110300Z 24015G25KT 10SM FEW250 20/10 A3012", "西南风 4级 阵风6级"},
        {"ZBAA 110300Z 27005G03MPS 9999 NSC 05/M03 Q1021", "西风 3级"},  // a "gust" below the wind
        {"ZBAA 110300Z 18010MPS 150V210 9999 NSC 05/M03 Q1021", "南风 5级"},
    };
    for (const auto& c : cases) {
        std::optional<MetarWind> wind = raw_wind(c.raw);
        ASSERT_TRUE(wind) << c.raw;
        EXPECT_EQ(observed_wind_text(*wind), c.words) << c.raw;
    }
    for (const char* bad : {"ZBAA 110300Z /////MPS 9999 NSC", "ZBAA 110300Z 99910MPS 9999", "ZBAA 110300Z 270999MPS",
                            "ZBAA 110300Z 9999 NSC 05/M03 Q1021 RMK 27005MPS", "ZBAA 110300Z 2700AMPS"})
        EXPECT_FALSE(raw_wind(bad)) << bad;
}

TEST(MetarHumidity, MagnusAgreesWithPublishedDewPointTables)
{
    // Relative humidity for temperature and dew point, as the usual dew-point tables give
    // it to the whole percent: 20/10 ℃ 52 %, 30/25 ℃ 75 %, 10/0 ℃ 50 %.
    EXPECT_NEAR(*relative_humidity(20, 10), 52, 1);
    EXPECT_NEAR(*relative_humidity(30, 25), 75, 1);
    EXPECT_NEAR(*relative_humidity(10, 0), 50, 1);
    EXPECT_DOUBLE_EQ(*relative_humidity(-5, -5), 100);
    EXPECT_FALSE(relative_humidity(5, 6));
    EXPECT_NEAR(dew_point_of(20, *relative_humidity(20, 10)), 10, 1e-9);
}

// 2026-01-15 10:40 China time; the rows are 10:00 back to 23:00 the day before.
constexpr int64_t kNow = 1768444800;
constexpr int64_t kHour = kNow - 40 * 60;

std::vector<HourlyObservation> rows_of(const json& answer)
{
    std::string error;
    std::optional<std::vector<MetarReport>> reports = parse_metar_answer(answer.dump(), error);
    EXPECT_TRUE(reports) << error;
    return reports ? observed_hours(*reports, "ZBAA", kNow) : std::vector<HourlyObservation>();
}

json report_json(int64_t at, std::optional<double> temperature, std::optional<double> dew_point = -3,
                 const std::string& wind = "09004MPS")
{
    return metar_fixture("ZBAA", at, temperature, dew_point, "METAR ZBAA 000000Z " + wind + " CAVOK 05/M03 Q1030");
}

TEST(MetarRows, EachHourFromTheNearestReportWithinTwentyMinutes)
{
    json answer = json::array();
    answer.push_back(report_json(kHour - 20 * 60, 1));             // 10:00, 20 min before: in reach
    answer.push_back(report_json(kHour - 3600 + 21 * 60, 2));      // 09:21: too far from 09:00 and 10:00
    answer.push_back(report_json(kHour - 2 * 3600 - 10 * 60, 3));  // 07:50 and
    answer.push_back(report_json(kHour - 2 * 3600 + 10 * 60, 4));  // 08:10: as near; the earlier one
    answer.push_back(report_json(kHour - 3 * 3600, 5));            // 07:00
    answer.push_back(report_json(kNow + 60, 9));                   // after now: not yet made
    answer.push_back(metar_fixture("ZSPD", kHour, 20, 10, "METAR ZSPD 000000Z 09004MPS"));  // another station
    std::vector<HourlyObservation> rows = rows_of(answer);
    ASSERT_EQ(rows.size(), 12u);
    EXPECT_EQ(rows[0].time.hour, 10);
    EXPECT_EQ(rows[11].time.hour, 23);
    EXPECT_EQ(rows[0].temperature, 1);
    EXPECT_FALSE(rows[1].temperature);
    EXPECT_EQ(rows[2].temperature, 3);
    EXPECT_EQ(rows[3].temperature, 5);
    for (size_t i = 4; i < rows.size(); ++i)
        EXPECT_FALSE(rows[i].temperature || rows[i].humidity || !rows[i].wind_words.empty()) << i;
    EXPECT_EQ(rows[0].wind_words, "东风 3级");
    EXPECT_FALSE(rows[0].precipitation);
    EXPECT_EQ(words_of(rows[0].weather_code), "少云");

    // Out of order, the same rows.
    json reversed = json::array();
    for (auto it = answer.rbegin(); it != answer.rend(); ++it)
        reversed.push_back(*it);
    std::vector<HourlyObservation> again = rows_of(reversed);
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(again[i].temperature, rows[i].temperature) << i;
}

TEST(MetarRows, BadReportsShowDashesNeverAWrongNumber)
{
    json missing = report_json(kHour, std::nullopt);
    json no_wind = metar_fixture("ZBAA", kHour - 3600, 4, -3, "METAR ZBAA 000000Z 9999 NSC 04/M03 Q1030");
    json hot = report_json(kHour - 2 * 3600, 75);    // out of range
    json wet = report_json(kHour - 3 * 3600, 4, 6);  // dew point above the temperature
    json twin_a = report_json(kHour - 4 * 3600, 7), twin_b = report_json(kHour - 4 * 3600, 9);  // disagreeing twins
    json same_a = report_json(kHour - 5 * 3600, 8), same_b = same_a;                            // a report sent twice
    json variable = report_json(kHour - 6 * 3600, 6, -3, "VRB01MPS");
    json text_visibility = report_json(kHour - 7 * 3600, 5);
    text_visibility["visib"] = "10+";
    text_visibility["wdir"] = "VRB";
    json unnamed = report_json(kHour - 8 * 3600, 3);
    unnamed.erase("icaoId");
    json undated = report_json(kHour - 9 * 3600, 3);
    undated["obsTime"] = "yesterday";
    json wrong_types = report_json(kHour - 10 * 3600, 3);
    wrong_types["temp"] = "warm", wrong_types["dewp"] = json::array(), wrong_types["clouds"] = "OVC";
    std::vector<HourlyObservation> rows =
        rows_of(json::array({missing, no_wind, hot, wet, twin_a, twin_b, same_a, same_b, variable, text_visibility,
                             unnamed, undated, wrong_types}));
    ASSERT_EQ(rows.size(), 12u);
    EXPECT_FALSE(rows[0].temperature || rows[0].humidity);
    EXPECT_EQ(rows[0].wind_words, "东风 3级");
    EXPECT_EQ(rows[1].temperature, 4);
    EXPECT_EQ(rows[1].wind_words, "");
    EXPECT_FALSE(rows[2].temperature || rows[2].humidity);
    EXPECT_FALSE(rows[3].temperature || rows[3].humidity);
    EXPECT_FALSE(rows[4].temperature);
    EXPECT_EQ(rows[5].temperature, 8);
    EXPECT_EQ(rows[6].wind_words, "风向不定 1级");
    EXPECT_EQ(rows[7].temperature, 5);
    EXPECT_FALSE(rows[8].temperature);
    EXPECT_FALSE(rows[9].temperature);
    EXPECT_FALSE(rows[10].temperature || rows[10].humidity);
    EXPECT_EQ(rows[10].wind_words, "东风 3级");
    EXPECT_EQ(words_of(rows[10].weather_code), "晴");  // CAVOK in the raw report

    std::string error;
    for (const std::string& body : {std::string("{\"error\": \"no\"}"), std::string("[[[[[[1]]]]]]"), std::string("[{"),
                                    std::string(kLongestMetarAnswer + 1, ' ')}) {
        EXPECT_FALSE(parse_metar_answer(body, error)) << body.substr(0, 20);
        EXPECT_FALSE(error.empty());
    }
    EXPECT_TRUE(parse_metar_answer("[]", error));
}

TEST(MetarRows, AStationThatStoppedHasNoNewReport)
{
    json answer = json::array({report_json(kHour - 3 * 3600, 2), report_json(kNow + 600, 3)});
    std::string error;
    std::vector<MetarReport> reports = *parse_metar_answer(answer.dump(), error);
    EXPECT_EQ(newest_report_of(reports, "ZBAA", kNow), kHour - 3 * 3600);
    EXPECT_FALSE(newest_report_of(reports, "ZSPD", kNow));
    EXPECT_EQ(metar_request_url("http://127.0.0.1:1", {"ZBAA", "ZSPD"}, 14),
              "http://127.0.0.1:1/api/data/metar?ids=ZBAA,ZSPD&format=json&hours=14");
}

// On the cache's own clocks, no sleeping: one request in ten minutes however often it is
// asked, the same after a failure, longer when a Retry-After asks for longer.
TEST(MetarCacheRules, OneRequestInTenMinutesAfterSuccessOrFailure)
{
    int64_t wall = kNow, elapsed = 1000;
    std::vector<UpstreamAnswer> answers;
    int asked = 0;
    auto fetch = [&](const std::string&, const Deadline&) {
        ++asked;
        UpstreamAnswer answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    };
    UpstreamQueue queue("test", {});
    MetarCache cache(
        {"http://127.0.0.1:1", {"ZBAA"}, {}}, fetch, [&] { return wall; }, queue, [&] { return elapsed; });
    auto get = [&] { return cache.reports_by(Deadline::seconds_from_now(5)); };
    auto good = [](const std::string& body) { return UpstreamAnswer{true, 200, body, std::nullopt, "", false}; };

    answers = {good(json::array({report_json(kHour, 4)}).dump())};
    EXPECT_EQ(get().reports->size(), 1u);
    wall += 599, elapsed += 599;
    EXPECT_EQ(get().reports->size(), 1u);
    EXPECT_TRUE(cache.without_asking());
    EXPECT_EQ(asked, 1);

    wall += 1, elapsed += 1;  // ten minutes: due
    EXPECT_FALSE(cache.without_asking());
    answers = {UpstreamAnswer{true, 500, "", std::nullopt, "", false}};
    EXPECT_EQ(get().reports->size(), 1u) << "a failure keeps the reports it had";
    wall += 599, elapsed += 599;
    get();
    EXPECT_EQ(asked, 2);
    wall += 1, elapsed += 1;
    answers = {UpstreamAnswer{true, 503, "", 1800, "", false}};
    get();
    wall += 1799, elapsed += 1799;
    get();
    EXPECT_EQ(asked, 3) << "a 503's Retry-After longer than ten minutes is kept";
    wall += 1, elapsed += 1;
    answers = {UpstreamAnswer{true, 204, "", std::nullopt, "", false}};
    EXPECT_EQ(get().reports->size(), 0u) << "no content: no reports, not a failure";
    EXPECT_EQ(asked, 4);
}

TEST(MetarStations, TheShippedTablesAndTheirLimits)
{
    const StationTable& shipped = shipped_stations();
    EXPECT_EQ(shipped.stations.size(), 68u);
    EXPECT_EQ(shipped.places.size(), 446u);
    const PlaceStation* chaoyang = shipped.for_place("101020103");
    ASSERT_TRUE(chaoyang);
    EXPECT_EQ(chaoyang->station->icao, "ZBAA");
    EXPECT_EQ(chaoyang->station->name, "北京首都国际机场");
    EXPECT_DOUBLE_EQ(chaoyang->distance_km, 19.9);
    EXPECT_FALSE(shipped.for_place("101020304"));  // 延庆区
    for (const auto& [code, place] : shipped.places)
        EXPECT_LE(place.distance_km, 50) << code;

    Station zbaa{"ZBAA", "北京首都国际机场", 40.08, 116.585, 35.0};
    const struct {
        std::optional<double> place;
        bool stands;
    } heights[] = {{335, true}, {335.5, false}, {-265, true}, {-266, false}, {std::nullopt, true}};
    for (const auto& h : heights)
        EXPECT_EQ(within_height(zbaa, h.place), h.stands) << h.place.value_or(-1);
    zbaa.elevation.reset();
    EXPECT_TRUE(within_height(zbaa, 3000));
    // The place's height is the one the forecast gives for its point; an absurd one is none.
    json forecast = weatherd_test::forecast_fixture(40.0, 116.5);
    std::string error;
    EXPECT_EQ(parse_forecast(forecast.dump(), error)->elevation, 21.0) << error;
    forecast["elevation"] = 12000;
    EXPECT_FALSE(parse_forecast(forecast.dump(), error)->elevation);

    StationTable table;
    EXPECT_FALSE(parse_station_tables("ZBAA\tx\t40\tnorth\t35\n", "", table, error));
    EXPECT_EQ(error, "stations.tsv: line 1: not ICAO, name, latitude, longitude, elevation");
    EXPECT_FALSE(parse_station_tables("# c\nZBAA\tx\t40\t116\t\n", "101\tZSPD\t3.0\n", table, error));
    EXPECT_EQ(error, "place-stations.tsv: line 1: not code, a station of stations.tsv, distance");
    EXPECT_TRUE(parse_station_tables("# c\nZBAA\tx\t40\t116\t\n", "101\tZBAA\t3.0\n", table, error));
    EXPECT_FALSE(table.stations[0].elevation);
}

}  // namespace
