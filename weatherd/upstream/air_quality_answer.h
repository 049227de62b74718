// The air-quality API's request for one place and its answer, read into a series of hours
// (air_quality_series.h, where the indexes are worked out and reach the page's report). The answer is checked as the forecast's is (open_meteo.h):
// an hourly block whose every column is as long as its times, numbers or nulls. Its hours
// are then laid out one per hour from the first, so that a missing or misplaced hour reads
// as a missing value, never as its neighbour's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "weatherd/weather/air_quality_series.h"
#include "weatherd/upstream/open_meteo.h"

namespace weatherd {

// "{upstream}/v1/air-quality?latitude=..&longitude=..&timezone=Asia/Shanghai&past_days=1
// &forecast_days=5&hourly=pm2_5,pm10,carbon_monoxide,nitrogen_dioxide,sulphur_dioxide,ozone",
// and "&apikey=KEY" for the paid service.
std::string air_quality_request_url(std::string_view upstream, const Coordinates& at, std::string_view api_key = {});

// What that request counts as against the provider's budget, by the rule every one of its
// APIs counts by (open_meteo.h's request_cost): six variables over six days, one call.
double air_quality_request_cost();

// Decodes an answer into the hourly block of the six pollutants (the daily block stays
// empty). On a malformed one returns nothing and sets `error` to a message naming the field.
std::optional<ProviderForecast> parse_air_quality(std::string_view json, std::string& error);

// The answer's hours laid out one per hour from the first, its concentrations in place.
AirQualitySeries series_from_answer(const ProviderForecast& answer);

}  // namespace weatherd
