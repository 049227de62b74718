// The air quality index at its edges: both sides of every breakpoint of the regulation's
// table (written out here again from docs/weather-service.md, not taken from the code),
// the levels, the primary pollutants, the day's and the hour's averages and the two
// special rules, and values that are missing; and the answer's hours laid out by time.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include <nlohmann/json.hpp>

#include "weatherd/weather/air_quality.h"
#include "weatherd/upstream/air_quality_answer.h"

namespace {

using namespace weatherd;

struct Breakpoints {
    Averaging averaging;
    const char* name;
    std::vector<double> limits;  // at IAQI 0, 50, 100, 150, 200, 300, 400, 500
};

const Breakpoints kTable[] = {
    {Averaging::kSo2Day, "SO2 24h", {0, 50, 150, 475, 800, 1600, 2100, 2620}},
    {Averaging::kSo2Hour, "SO2 1h", {0, 150, 500, 650, 800}},
    {Averaging::kNo2Day, "NO2 24h", {0, 40, 80, 180, 280, 565, 750, 940}},
    {Averaging::kNo2Hour, "NO2 1h", {0, 100, 200, 700, 1200, 2340, 3090, 3840}},
    {Averaging::kPm10Day, "PM10 24h", {0, 50, 150, 250, 350, 420, 500, 600}},
    {Averaging::kCoDay, "CO 24h (mg/m3)", {0, 2, 4, 14, 24, 36, 48, 60}},
    {Averaging::kCoHour, "CO 1h (mg/m3)", {0, 5, 10, 35, 60, 90, 120, 150}},
    {Averaging::kO3Hour, "O3 1h", {0, 160, 200, 300, 400, 800, 1000, 1200}},
    {Averaging::kO3EightHours, "O3 8h", {0, 100, 160, 215, 265, 800}},
    {Averaging::kPm25Day, "PM2.5 24h", {0, 35, 75, 115, 150, 250, 350, 500}},
};
const int kIndexAt[] = {0, 50, 100, 150, 200, 300, 400, 500};

// A step of a thousandth of a unit moves every segment's IAQI by less than one, so just
// below a breakpoint rounds up to the breakpoint's IAQI and just above it to one more.
TEST(AirQualityIndex, BothSidesOfEveryBreakpointOfEveryColumn)
{
    const double step = 0.001;
    for (const Breakpoints& column : kTable) {
        SCOPED_TRACE(column.name);
        EXPECT_EQ(individual_index(column.averaging, 0), 0);
        for (size_t i = 1; i < column.limits.size(); ++i) {
            double limit = column.limits[i];
            EXPECT_EQ(individual_index(column.averaging, limit - step), kIndexAt[i]) << limit;
            EXPECT_EQ(individual_index(column.averaging, limit), kIndexAt[i]) << limit;
            if (i + 1 < column.limits.size()) {
                EXPECT_EQ(individual_index(column.averaging, limit + step), kIndexAt[i] + 1) << limit;
            }
        }
        // Halfway along the first segment: 25, exactly, not rounded past it.
        EXPECT_EQ(individual_index(column.averaging, column.limits[1] / 2), 25);
        // Past the top: a whole column gives 500, the two short ones nothing (their special rules).
        double past = column.limits.back() + 1;
        if (column.limits.size() == 8) {
            EXPECT_EQ(individual_index(column.averaging, past), 500);
        } else {
            EXPECT_EQ(individual_index(column.averaging, past), std::nullopt);
        }
        EXPECT_EQ(individual_index(column.averaging, -step), std::nullopt);
        EXPECT_EQ(individual_index(column.averaging, std::nan("")), std::nullopt);
    }
    EXPECT_EQ(individual_index(Averaging::kPm25Day, 100000), 500);
}

TEST(AirQualityIndex, TheSixLevelsAtTheirEdges)
{
    const std::pair<int, const char*> levels[] = {
        {0, "优"},         {50, "优"},        {51, "良"},        {100, "良"},
        {101, "轻度污染"}, {150, "轻度污染"}, {151, "中度污染"}, {200, "中度污染"},
        {201, "重度污染"}, {300, "重度污染"}, {301, "严重污染"}, {500, "严重污染"},
    };
    for (auto [aqi, category] : levels)
        EXPECT_STREQ(level_of(aqi).category, category) << aqi;
    EXPECT_STREQ(level_of(75).color, "#ffff00");
    EXPECT_STREQ(level_of(400).color_name, "褐红色");
}

using Indexes = std::array<std::optional<int>, kPollutantCount>;

Indexes only_at(Pollutant pollutant, int index, int others)
{
    Indexes indexes;
    indexes.fill(others);
    indexes[static_cast<size_t>(pollutant)] = index;
    return indexes;
}

TEST(AirQualityIndex, TheLargestIndexAndItsPollutantsAbove50)
{
    for (Pollutant pollutant :
         {Pollutant::kSo2, Pollutant::kNo2, Pollutant::kPm10, Pollutant::kCo, Pollutant::kO3, Pollutant::kPm25}) {
        std::optional<AirQuality> quality = combine_indexes(only_at(pollutant, 120, 60));
        ASSERT_TRUE(quality);
        EXPECT_EQ(quality->aqi, 120);
        EXPECT_EQ(quality->primary, std::vector<Pollutant>{pollutant}) << pollutant_name(pollutant);
    }
    Indexes tied = only_at(Pollutant::kPm25, 88, 20);
    tied[static_cast<size_t>(Pollutant::kO3)] = 88;
    EXPECT_EQ(combine_indexes(tied)->primary, (std::vector<Pollutant>{Pollutant::kO3, Pollutant::kPm25}));
    EXPECT_TRUE(combine_indexes(only_at(Pollutant::kPm25, 50, 10))->primary.empty()) << "no primary pollutant at 50";
    Indexes some_missing;
    some_missing[static_cast<size_t>(Pollutant::kNo2)] = 70;
    EXPECT_EQ(combine_indexes(some_missing)->aqi, 70);
    EXPECT_EQ(combine_indexes(Indexes{}), std::nullopt);
}

// Hours in μg/m³, one value for every pollutant unless changed.
std::vector<PollutantHour> hours_of(size_t count, std::optional<double> micrograms)
{
    PollutantHour hour;
    hour.micrograms.fill(micrograms);
    return std::vector<PollutantHour>(count, hour);
}

void set_values(std::vector<PollutantHour>& hours, Pollutant pollutant, std::optional<double> value, size_t from = 0,
                size_t to = SIZE_MAX)
{
    for (size_t i = from; i < hours.size() && i < to; ++i)
        hours[i].micrograms[static_cast<size_t>(pollutant)] = value;
}

TEST(AirQualityDay, TwentyFourHourMeansCoInMilligramsAndOzoneBothWays)
{
    // CO 4,000 μg/m³ is 4 mg/m³, the 24-hour column's 100; as μg it would be 500.
    std::vector<PollutantHour> day = hours_of(24, 0);
    set_values(day, Pollutant::kCo, 4000);
    std::optional<AirQuality> quality = day_air_quality(day, 0);
    ASSERT_TRUE(quality);
    EXPECT_EQ(quality->aqi, 100);
    EXPECT_EQ(quality->primary, std::vector<Pollutant>{Pollutant::kCo});

    // The mean, not the peak: PM2.5 at 240 for 3 hours and 0 for 21 is a mean of 30 → 43.
    day = hours_of(24, 0);
    set_values(day, Pollutant::kPm25, 240, 0, 3);
    EXPECT_EQ(day_air_quality(day, 0)->aqi, 43);

    // Ozone at 200 all day: 1-hour 100, 8-hour 100 + 50 × 40/55 = 136.4 → 137, the larger.
    day = hours_of(24, 0);
    set_values(day, Pollutant::kO3, 200);
    EXPECT_EQ(day_air_quality(day, 0)->aqi, 137);
    // Ozone at 850: the 8-hour mean is past its column, so the 1-hour index alone, 300 + 100 × 50/200.
    set_values(day, Pollutant::kO3, 850);
    EXPECT_EQ(day_air_quality(day, 0)->aqi, 325);
    EXPECT_EQ(day_air_quality(day, 0)->primary, std::vector<Pollutant>{Pollutant::kO3});
    // One afternoon hour of 400 in a day of 100: the 1-hour column gives 200, the 8-hour mean
    // of 137.5 only 82.
    set_values(day, Pollutant::kO3, 100);
    set_values(day, Pollutant::kO3, 400, 15, 16);
    EXPECT_EQ(day_air_quality(day, 0)->aqi, 200);

    // A day starts where it is told: the second day of two.
    std::vector<PollutantHour> two = hours_of(48, 0);
    set_values(two, Pollutant::kPm10, 150, 24);
    EXPECT_EQ(day_air_quality(two, 24)->aqi, 100);
    EXPECT_EQ(day_air_quality(two, 0)->aqi, 0);
}

// The day docs/weather-service.md works by hand: 轻度污染 at 129, from PM2.5.
TEST(AirQualityDay, TheHazyWinterDayOfTheDocs)
{
    std::vector<PollutantHour> day = hours_of(24, 0);
    set_values(day, Pollutant::kSo2, 12);
    set_values(day, Pollutant::kNo2, 58);
    set_values(day, Pollutant::kPm10, 135);
    set_values(day, Pollutant::kCo, 1300);
    set_values(day, Pollutant::kPm25, 98);
    set_values(day, Pollutant::kO3, 40);
    set_values(day, Pollutant::kO3, 62, 13, 15);
    set_values(day, Pollutant::kO3, 60, 15, 16);
    std::optional<AirQuality> quality = day_air_quality(day, 0);
    ASSERT_TRUE(quality);
    EXPECT_EQ(quality->aqi, 129);
    EXPECT_STREQ(quality->level->category, "轻度污染");
    EXPECT_EQ(quality->primary, std::vector<Pollutant>{Pollutant::kPm25});
    // Without PM2.5 the largest is PM10's 93; without both, NO2's 73, then CO's 33, O3's 24.
    set_values(day, Pollutant::kPm25, std::nullopt);
    EXPECT_EQ(day_air_quality(day, 0)->aqi, 93);
    set_values(day, Pollutant::kPm10, std::nullopt);
    EXPECT_EQ(day_air_quality(day, 0)->aqi, 73);
    set_values(day, Pollutant::kNo2, std::nullopt);
    EXPECT_EQ(day_air_quality(day, 0)->aqi, 33);
    set_values(day, Pollutant::kCo, std::nullopt);
    EXPECT_EQ(day_air_quality(day, 0)->aqi, 24);
}

TEST(AirQualityDay, AMeanNeedsTwentyHoursAndAnEightHourMaximumFourteenWindows)
{
    std::vector<PollutantHour> day = hours_of(24, std::nullopt);
    set_values(day, Pollutant::kPm25, 75, 0, 20);
    EXPECT_EQ(day_air_quality(day, 0)->aqi, 100);
    set_values(day, Pollutant::kPm25, std::nullopt, 19, 20);
    EXPECT_EQ(day_air_quality(day, 0), std::nullopt) << "19 hours are not enough";
    // A day that runs past the data has too few hours.
    EXPECT_EQ(day_air_quality(hours_of(30, 10), 12), std::nullopt);
    // Ozone for the first 20 hours only: the 1-hour maximum stands, the 8-hour one (windows
    // from 00:00 to 16:00, each needing 6 hours) has 15 windows and stands too.
    day = hours_of(24, std::nullopt);
    set_values(day, Pollutant::kO3, 100, 0, 20);
    EXPECT_EQ(day_air_quality(day, 0)->aqi, 50);
    // Ozone at 150 (1-hour 47, 8-hour 92) for 19 hours: too few for the 1-hour maximum; 14
    // windows, the fewest that make the 8-hour one. For 18 hours, one window fewer: nothing.
    set_values(day, Pollutant::kO3, 150, 0, 19);
    set_values(day, Pollutant::kO3, std::nullopt, 19);
    EXPECT_EQ(day_air_quality(day, 0)->aqi, 92);
    set_values(day, Pollutant::kO3, std::nullopt, 18);
    EXPECT_EQ(day_air_quality(day, 0), std::nullopt);
    // A day has 17 windows, the last from 16:00 to 24:00: ozone at 200 in just those hours is
    // an 8-hour mean of 200 (137); the window before holds seven of them (175, 114).
    day = hours_of(24, 0);
    set_values(day, Pollutant::kO3, 200, 16);
    EXPECT_EQ(day_air_quality(day, 0)->aqi, 137);
}

TEST(AirQualityHour, OneHourGasesAndTwentyFourHourMovingParticles)
{
    // PM2.5 at 240 in the hour after 23 hours of 0: the moving mean is 10 → 15, not 240's 290.
    std::vector<PollutantHour> hours = hours_of(24, 0);
    set_values(hours, Pollutant::kPm25, 240, 23);
    EXPECT_EQ(hour_air_quality(hours, 23)->aqi, 15);
    std::vector<PollutantHour> only_particles = hours_of(24, std::nullopt);
    set_values(only_particles, Pollutant::kPm25, 240);
    EXPECT_EQ(hour_air_quality(only_particles, 23)->aqi, 290);
    EXPECT_EQ(hour_air_quality(only_particles, 22), std::nullopt) << "fewer than 24 hours behind it";

    // Gases by their 1-hour columns: NO2 200 → 100, CO 10,000 μg/m³ → 100, O3 200 → 100.
    for (auto [pollutant, value] : {std::pair{Pollutant::kNo2, 200.0},
                                    {Pollutant::kCo, 10000.0},
                                    {Pollutant::kO3, 200.0},
                                    {Pollutant::kSo2, 500.0}}) {
        hours = hours_of(24, 0);
        set_values(hours, pollutant, value, 23);
        std::optional<AirQuality> quality = hour_air_quality(hours, 23);
        ASSERT_TRUE(quality) << pollutant_name(pollutant);
        EXPECT_EQ(quality->aqi, 100) << pollutant_name(pollutant);
        EXPECT_EQ(quality->primary, std::vector<Pollutant>{pollutant});
    }

    // SO2 past its 1-hour column: the 24-hour moving mean's index, (23 × 100 + 900) / 24 =
    // 133.3 → 50 + 50 × 83.3/100 = 91.7 → 92.
    hours = hours_of(24, 0);
    set_values(hours, Pollutant::kSo2, 100);
    set_values(hours, Pollutant::kSo2, 900, 23);
    EXPECT_EQ(hour_air_quality(hours, 23)->aqi, 92);
    EXPECT_EQ(hour_air_quality(hours, 23)->primary, std::vector<Pollutant>{Pollutant::kSo2});

    // Nothing at all in the hour and behind it: no AQI.
    EXPECT_EQ(hour_air_quality(hours_of(24, std::nullopt), 23), std::nullopt);
}

// A skipped hour stays empty rather than taking its neighbour's values; a time far off
// cannot make the series huge; a missing column is refused by name.
TEST(AirQualityAnswer, HoursArePlacedByTheirTime)
{
    using nlohmann::json;
    auto answer = [](std::vector<std::string> times, std::vector<double> pm25) {
        json hourly = {{"time", times}, {"pm2_5", pm25}};
        for (const char* name : {"pm10", "carbon_monoxide", "nitrogen_dioxide", "sulphur_dioxide", "ozone"})
            hourly[name] = std::vector<std::nullptr_t>(times.size(), nullptr);
        return json{{"hourly", hourly}}.dump();
    };
    std::string error;
    std::optional<ProviderForecast> parsed =
        parse_air_quality(answer({"2026-12-08T00:00", "2026-12-08T01:00", "2026-12-08T03:00"}, {10, 20, 30}), error);
    ASSERT_TRUE(parsed) << error;
    AirQualitySeries series = series_from_answer(*parsed);
    ASSERT_EQ(series.hours.size(), 4u);
    const size_t pm25 = static_cast<size_t>(Pollutant::kPm25);
    EXPECT_EQ(series.hours[1].micrograms[pm25], 20);
    EXPECT_EQ(series.hours[2].micrograms[pm25], std::nullopt);
    EXPECT_EQ(series.hours[3].micrograms[pm25], 30);

    parsed = parse_air_quality(answer({"2026-12-08T00:00", "2099-12-08T00:00"}, {10, 20}), error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_LE(series_from_answer(*parsed).hours.size(), 24u * 16);

    // Outside what the air can hold, a concentration is missing, not an AQI of thousands.
    parsed = parse_air_quality(answer({"2026-12-08T00:00", "2026-12-08T01:00", "2026-12-08T02:00"}, {-1, 1e308, 5000}),
                               error);
    ASSERT_TRUE(parsed) << error;
    series = series_from_answer(*parsed);
    EXPECT_EQ(series.hours[0].micrograms[pm25], std::nullopt);
    EXPECT_EQ(series.hours[1].micrograms[pm25], std::nullopt);
    EXPECT_EQ(series.hours[2].micrograms[pm25], 5000);

    json no_ozone = json::parse(answer({"2026-12-08T00:00"}, {10}));
    no_ozone["hourly"].erase("ozone");
    EXPECT_FALSE(parse_air_quality(no_ozone.dump(), error));
    EXPECT_EQ(error, "hourly.ozone: missing");
}

}  // namespace
