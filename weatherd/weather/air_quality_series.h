// A place's hours of air quality: consecutive hours of concentrations, the AQI of each hour
// and of each day worked out from them once (air_quality.h's rules), and how they reach a
// report's days and hours. The provider's answer is read into a series in one place
// (air_quality_answer.h), the model makes one of its own (weather_model.h); from the series
// on, every page takes the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "weatherd/weather/air_quality.h"
#include "weatherd/weather/weather_report.h"

namespace weatherd {

// Consecutive hours of concentrations from `first` (local time, on the hour).
struct AirQualitySeries {
    int64_t first = 0;  // unix seconds of hours[0]
    std::vector<PollutantHour> hours;
    // When worked out (work_out_indexes), the AQI of each hour, and of the day that starts at
    // each hour; empty until then.
    std::vector<std::optional<AirQuality>> hour_indexes;
    std::vector<std::optional<AirQuality>> day_indexes;
};

constexpr int64_t kHourSeconds = 3600;

// The index of the hour at `unix_seconds` in `series`, when it holds that hour.
std::optional<size_t> hour_index(const AirQualitySeries& series, int64_t unix_seconds);

// Works out every hour's and every day's AQI at once, for a series that many pages read.
void work_out_indexes(AirQualitySeries& series);

// Gives each day and each hour of `report` its AQI where the series covers it.
void attach_air_quality(const AirQualitySeries& series, WeatherReport& report);

}  // namespace weatherd
