// The air-quality API's request for one place and its answer, and how the air quality
// reaches the page's report. The answer is checked as the forecast's is (open_meteo.h):
// an hourly block whose every column is as long as its times, numbers or nulls. Its hours
// are then laid out one per hour from the first, so that a missing or misplaced hour reads
// as a missing value, never as its neighbour's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "weatherd/air_quality.h"
#include "weatherd/open_meteo.h"
#include "weatherd/weather_report.h"

namespace weatherd {

// "{upstream}/v1/air-quality?latitude=..&longitude=..&timezone=Asia/Shanghai&past_days=1
// &forecast_days=5&hourly=pm2_5,pm10,carbon_monoxide,nitrogen_dioxide,sulphur_dioxide,ozone",
// and "&apikey=KEY" for the paid service.
std::string AirQualityRequestUrl(std::string_view upstream, const Coordinates& at, std::string_view api_key = {});

// What that request counts as against the provider's budget, by the rule every one of its
// APIs counts by (open_meteo.h's RequestCost): six variables over six days, one call.
double AirQualityRequestCost();

// Decodes an answer into the hourly block of the six pollutants (the daily block stays
// empty). On a malformed one returns nothing and sets `error` to a message naming the field.
std::optional<ProviderForecast> ParseAirQuality(std::string_view json, std::string& error);

// Consecutive hours of concentrations from `first` (local time, on the hour).
struct AirQualitySeries {
    int64_t first = 0;  // unix seconds of hours[0]
    std::vector<PollutantHour> hours;
    // When worked out (WorkOutIndexes), the AQI of each hour, and of the day that starts at
    // each hour; empty until then.
    std::vector<std::optional<AirQuality>> hour_indexes;
    std::vector<std::optional<AirQuality>> day_indexes;
};

AirQualitySeries SeriesFromAnswer(const ProviderForecast& answer);

// Works out every hour's and every day's AQI at once, for a series that many pages read.
void WorkOutIndexes(AirQualitySeries& series);

// Gives each day and each hour of `report` its AQI where the series covers it.
void AttachAirQuality(const AirQualitySeries& series, WeatherReport& report);

}  // namespace weatherd
