#include "weatherd/upstream/air_quality_answer.h"

#include <algorithm>
#include <cstdio>

namespace weatherd {

namespace {

struct Variable {
    Pollutant pollutant;
    const char* name;  // the API's
};

// Indexed by Pollutant.
constexpr Variable kVariables[] = {
    {Pollutant::kSo2, "sulphur_dioxide"},
    {Pollutant::kNo2, "nitrogen_dioxide"},
    {Pollutant::kPm10, "pm10"},
    {Pollutant::kCo, "carbon_monoxide"},
    {Pollutant::kO3, "ozone"},
    {Pollutant::kPm25, "pm2_5"},
};

constexpr bool variables_in_pollutant_order()
{
    for (size_t i = 0; i < std::size(kVariables); ++i)
        if (static_cast<size_t>(kVariables[i].pollutant) != i)
            return false;
    return true;
}
static_assert(std::size(kVariables) == kPollutantCount && variables_in_pollutant_order());

// The request asks for yesterday (the 24-hour means of today's first hours reach back into
// it) and the five days of the global CAMS forecast, the one that covers China; the API
// would add days 6 and 7 without values.
constexpr int kPastDays = 1;
constexpr int kForecastDays = 5;

// An answer lays its hours out over at most this many; a longer span is no answer of ours
// and is cut, so that a hostile time stamp cannot make the series huge.
constexpr int64_t kLongestSeriesHours = 24 * 16;

}  // namespace

std::string air_quality_request_url(std::string_view upstream, const Coordinates& at, std::string_view api_key)
{
    std::string base(upstream);
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    char place[96];
    std::snprintf(place, sizeof place, "latitude=%.4f&longitude=%.4f", at.latitude, at.longitude);
    std::string hourly;
    // The order the pages name them in, PM2.5 first; the answer's order does not matter.
    for (Pollutant pollutant :
         {Pollutant::kPm25, Pollutant::kPm10, Pollutant::kCo, Pollutant::kNo2, Pollutant::kSo2, Pollutant::kO3}) {
        if (!hourly.empty())
            hourly += ',';
        hourly += kVariables[static_cast<size_t>(pollutant)].name;
    }
    std::string url = base + "/v1/air-quality?" + place +
                      "&timezone=Asia%2FShanghai&past_days=" + std::to_string(kPastDays) +
                      "&forecast_days=" + std::to_string(kForecastDays) + "&hourly=" + hourly;
    if (!api_key.empty()) {
        url += "&apikey=";
        url += api_key;
    }
    return url;
}

double air_quality_request_cost() { return request_cost(std::size(kVariables), kPastDays + kForecastDays); }

std::optional<ProviderForecast> parse_air_quality(std::string_view json, std::string& error)
{
    std::vector<const char*> names;
    for (const Variable& variable : kVariables)
        names.push_back(variable.name);
    return parse_hourly_answer(json, names, error);
}

AirQualitySeries series_from_answer(const ProviderForecast& answer)
{
    AirQualitySeries series;
    const ForecastSeries& hourly = answer.hourly;
    if (hourly.times.empty())
        return series;
    int64_t first = to_unix_seconds(hourly.times[0]), last = first;
    for (const LocalTime& time : hourly.times) {
        first = std::min(first, to_unix_seconds(time));
        last = std::max(last, to_unix_seconds(time));
    }
    first -= first % kHourSeconds;  // times are on the hour; one that is not finds no place
    series.first = first;
    series.hours.resize(static_cast<size_t>(std::min((last - first) / kHourSeconds + 1, kLongestSeriesHours)));
    std::vector<std::optional<size_t>> places;
    for (const LocalTime& time : hourly.times)
        places.push_back(hour_index(series, to_unix_seconds(time)));
    // Each column is looked up once: pages are made from the kept answer every time.
    for (const Variable& variable : kVariables) {
        auto column = hourly.values.find(variable.name);
        if (column == hourly.values.end())
            continue;
        for (size_t i = 0; i < places.size() && i < column->second.size(); ++i) {
            if (places[i])
                series.hours[*places[i]].micrograms[static_cast<size_t>(variable.pollutant)] = column->second[i];
        }
    }
    return series;
}

}  // namespace weatherd
