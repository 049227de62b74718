// The forecast provider's API: the request for one place and the answer decoded into
// the page's report. The answer is checked before anything of it is used: its size and
// nesting while it is parsed (nothing is built from an answer too long or too deep), every
// array of a block as long as its time array, times that parse, numbers or nulls where
// numbers belong; a null, and a number outside the variable's physical range, stay a
// missing value.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "weatherd/weather/places.h"
#include "weatherd/weather/weather_report.h"

namespace weatherd {

// "{upstream}/v1/forecast?latitude=..&longitude=..&timezone=Asia/Shanghai&..." with the
// variables the three blocks use and no others, and "&apikey=KEY" for the paid service.
std::string forecast_request_url(std::string_view upstream, const Coordinates& at, std::string_view api_key = {});

// How many of the provider's calls a request of `variables` variables over `days` days
// counts as: a call covers ten variables and two weeks, and more count in proportion (the
// provider's rule for every one of its APIs).
double request_cost(size_t variables, int days);
// The forecast request's cost: 15 variables over 8 days, 1.5 calls.
double forecast_request_cost();

// The paid service's hosts, where a request with an API key goes: the forecast's and the
// air quality's.
extern const char kCustomerUpstream[];
extern const char kCustomerAirQualityUpstream[];

// The longest answer read, and the deepest nesting parsed: a real answer is tens of KB
// and three levels deep.
constexpr size_t kLongestProviderAnswer = 512 << 10;
constexpr int kDeepestProviderNesting = 8;

// The provider's words in a refusal ({"error": true, "reason": "..."}), or "" when the
// body is not one; as the provider wrote them, to be made printable by whoever logs them.
std::string refusal_reason(std::string_view body);

// One block of the answer ("hourly" or "daily"): its times and each variable's values.
struct ForecastSeries {
    std::vector<LocalTime> times;
    std::map<std::string, std::vector<std::optional<double>>, std::less<>> values;

    std::optional<double> value_at(std::string_view variable, size_t index) const;
};

struct ProviderForecast {
    ForecastSeries hourly;
    ForecastSeries daily;
    std::optional<double> elevation;  // metres, of the point asked for; none when not given
};

// Decodes an answer. On a malformed one returns nothing and sets `error` to a message
// naming the field.
std::optional<ProviderForecast> parse_forecast(std::string_view json, std::string& error);

// Decodes an answer of the provider's other APIs, which hold one hourly block (the air
// quality's), checked as a forecast's is: `variables` name the columns it must have. The
// daily block stays empty.
std::optional<ProviderForecast> parse_hourly_answer(std::string_view json, const std::vector<const char*>& variables,
                                                    std::string& error);

// Whether the hourly block, and with `with_daily` the daily one, hold `date`: an answer
// without today (a lagging mirror, a wrong clock) is not today's.
bool covers_date(const ProviderForecast& forecast, std::chrono::year_month_day date, bool with_daily = true);

// Seven days from `now`'s date (fewer when the data ends sooner) and the twelve hours up
// to `now`'s hour, newest first.
WeatherReport report_from_forecast(const ProviderForecast& forecast, const LocalTime& now);
// The same, with the hours up to `newest_hour` instead (kept data shows the hours up to
// its fetch, not forecasts as observations) while the days still start at now's date.
WeatherReport report_from_forecast(const ProviderForecast& forecast, const LocalTime& now,
                                   const LocalTime& newest_hour);

}  // namespace weatherd
