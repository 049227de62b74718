// The forecast provider's API: the request for one place and the answer decoded into
// the page's report. The answer is checked before anything of it is used: every array
// of a block as long as its time array, times that parse, numbers or nulls where numbers
// belong; a null stays a missing value.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "weatherd/weather_report.h"

namespace weatherd {

struct Coordinates {
  double latitude;
  double longitude;
};

// "{upstream}/v1/forecast?latitude=..&longitude=..&timezone=Asia/Shanghai&..." with every
// variable the three blocks need.
std::string ForecastRequestUrl(std::string_view upstream, const Coordinates& at);

// One block of the answer ("hourly" or "daily"): its times and each variable's values.
struct ForecastSeries {
  std::vector<LocalTime> times;
  std::map<std::string, std::vector<std::optional<double>>, std::less<>> values;

  std::optional<double> At(std::string_view variable, size_t index) const;
};

struct ProviderForecast {
  ForecastSeries hourly;
  ForecastSeries daily;
};

// Decodes an answer. On a malformed one returns nothing and sets `error` to a message
// naming the field.
std::optional<ProviderForecast> ParseForecast(std::string_view json, std::string& error);

// Decodes an answer of the provider's other APIs, which hold one hourly block (the air
// quality's), checked as a forecast's is: `variables` name the columns it must have. The
// daily block stays empty.
std::optional<ProviderForecast> ParseHourlyAnswer(std::string_view json, const std::vector<const char*>& variables,
                                                  std::string& error);

// Seven days from `now`'s date (fewer when the data ends sooner) and the twelve hours up
// to `now`'s hour, newest first.
WeatherReport ReportFromForecast(const ProviderForecast& forecast, const LocalTime& now);

}  // namespace weatherd
