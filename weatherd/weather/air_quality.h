// China's air quality index (AQI) as the technical regulation HJ 633-2012 defines it, from
// the concentrations of six pollutants. Each pollutant's individual index (IAQI) is read off
// the regulation's concentration table by linear interpolation between its breakpoints and
// rounded up to a whole number; the AQI is the largest IAQI, and above 50 the pollutants
// that reach it are the primary ones. A day's AQI takes the day's 24-hour means (and the
// day's largest 1-hour and 8-hour ozone), an hour's AQI the hour's own values (and the
// 24-hour moving means of the particles). docs/weather-service.md states the table.
//
// This file knows nothing of time zones, providers or pages: it takes consecutive hours
// of concentrations and gives numbers, levels and words.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace weatherd {

enum class Pollutant { kSo2, kNo2, kPm10, kCo, kO3, kPm25 };
constexpr size_t kPollutantCount = 6;

// The averages the regulation's table has a column for.
enum class Averaging {
    kSo2Day,   // 24-hour mean, μg/m³
    kSo2Hour,  // 1-hour, μg/m³; the column ends at 800 (IAQI 200)
    kNo2Day,
    kNo2Hour,
    kPm10Day,
    kCoDay,         // 24-hour mean, mg/m³
    kCoHour,        // 1-hour, mg/m³
    kO3Hour,        // 1-hour, μg/m³
    kO3EightHours,  // 8-hour moving mean, μg/m³; the column ends at 800 (IAQI 300)
    kPm25Day,
};

// The IAQI of one concentration in the column's unit, rounded up. Past the top of a whole
// column: 500. Nothing for a value that is no concentration (negative, not finite) and
// past the end of the two short columns, where the regulation has the caller use another
// column instead.
std::optional<int> individual_index(Averaging averaging, double concentration);

// One of the regulation's six levels.
struct AqiLevel {
    int level;               // 1 to 6
    const char* category;    // "优" ... "严重污染"
    const char* color_name;  // "绿色" ...
    const char* color;       // "#00e400" ...
    const char* health;      // the effect on health
    const char* advice;      // what sensitive groups and everyone should do
};

const AqiLevel& level_of(int aqi);

struct AirQuality {
    int aqi = 0;
    std::vector<Pollutant> primary;  // those with the largest IAQI, when the AQI is above 50
    const AqiLevel* level = nullptr;
};

// "细颗粒物(PM2.5)" ...
const char* pollutant_name(Pollutant pollutant);

// The AQI of the individual indexes, a missing one left out; nothing when all are missing.
std::optional<AirQuality> combine_indexes(const std::array<std::optional<int>, kPollutantCount>& individual);

// One hour's concentrations as the provider gives them: μg/m³ for all six, CO included.
struct PollutantHour {
    std::array<std::optional<double>, kPollutantCount> micrograms;
};

// `hours` are consecutive hours, oldest first. The day is the 24 hours from `day_start`
// (its 00:00); `hour` is one index into `hours`. Nothing when no pollutant has values enough.
std::optional<AirQuality> day_air_quality(std::span<const PollutantHour> hours, size_t day_start);
std::optional<AirQuality> hour_air_quality(std::span<const PollutantHour> hours, size_t hour);

}  // namespace weatherd
