#include "weatherd/upstream/open_meteo.h"

#include "weatherd/base/json_nesting.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace weatherd {

namespace {

using nlohmann::json;

const char* const kHourlyVariables[] = {"weather_code",  "temperature_2m", "relative_humidity_2m",
                                        "precipitation", "wind_speed_10m", "wind_direction_10m"};
const char* const kDailyVariables[] = {"weather_code",
                                       "temperature_2m_max",
                                       "temperature_2m_min",
                                       "apparent_temperature_max",
                                       "apparent_temperature_min",
                                       "precipitation_sum",
                                       "uv_index_max",
                                       "wind_speed_10m_max",
                                       "wind_direction_10m_dominant"};
constexpr int kPastDays = 1, kForecastDays = 7;
// A call as the provider counts it covers this many variables and days.
constexpr double kVariablesPerCall = 10, kDaysPerCall = 14;

// The range a value can physically take; outside it (1.7e308 as a temperature) the value
// is missing. Wide on purpose: a record is not a fault.
struct PhysicalRange {
    const char* variable;
    double least, most;
};
constexpr PhysicalRange kPhysicalRanges[] = {
    {"weather_code", 0, 99},
    {"temperature_2m", -90, 60},
    {"temperature_2m_max", -90, 60},
    {"temperature_2m_min", -90, 60},
    {"apparent_temperature_max", -100, 70},
    {"apparent_temperature_min", -100, 70},
    {"relative_humidity_2m", 0, 100},
    {"precipitation", 0, 500},       // mm in an hour
    {"precipitation_sum", 0, 2000},  // mm in a day
    {"uv_index_max", 0, 30},
    {"wind_speed_10m", 0, 500},  // km/h
    {"wind_speed_10m_max", 0, 500},
    {"wind_direction_10m", 0, 360},  // degrees
    {"wind_direction_10m_dominant", 0, 360},
    // The air-quality API's concentrations, µg/m³: a dust storm's PM10 reaches some
    // thousands, a volcano's SO2 as much.
    {"pm2_5", 0, 5000},
    {"pm10", 0, 20000},
    {"carbon_monoxide", 0, 100000},
    {"nitrogen_dioxide", 0, 5000},
    {"sulphur_dioxide", 0, 10000},
    {"ozone", 0, 2000},
};

std::optional<double> within_range(std::string_view variable, double value)
{
    for (const PhysicalRange& range : kPhysicalRanges)
        if (variable == range.variable)
            return value >= range.least && value <= range.most ? std::optional<double>(value) : std::nullopt;
    return std::nullopt;  // a variable without a range is not one this service asks for
}

// The answer as a tree, or a discarded value with `error` set.
json parse_bounded(std::string_view text, std::string& error)
{
    if (text.size() > kLongestProviderAnswer) {
        error = std::to_string(text.size()) + " bytes, more than " + std::to_string(kLongestProviderAnswer);
        return json(json::value_t::discarded);
    }
    JsonNestingCheck check(kDeepestProviderNesting);
    if (!json::sax_parse(text, &check)) {
        error =
            check.too_deep() ? "nested deeper than " + std::to_string(kDeepestProviderNesting) + " levels" : "not JSON";
        return json(json::value_t::discarded);
    }
    json answer = json::parse(text, nullptr, false);
    if (answer.is_discarded())
        error = "not JSON";
    return answer;
}

template <size_t N>
std::string join_names(const char* const (&names)[N])
{
    std::string joined;
    for (const char* name : names) {
        if (!joined.empty())
            joined += ',';
        joined += name;
    }
    return joined;
}

// "2026-12-08T14:00" or "2026-12-08"; the provider gives local times in the zone asked for.
bool parse_local_time(const std::string& text, bool with_clock, LocalTime& time)
{
    int year = 0, hour = 0, minute = 0;
    unsigned month = 0, day = 0;
    char tail = 0;
    int fields = with_clock
                     ? std::sscanf(text.c_str(), "%4d-%2u-%2uT%2d:%2d%c", &year, &month, &day, &hour, &minute, &tail)
                     : std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &year, &month, &day, &tail);
    std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}};
    if (fields != (with_clock ? 5 : 3) || !date.ok() || hour < 0 || hour > 23 || minute < 0 || minute > 59)
        return false;
    time = {date, hour, minute};
    return true;
}

bool parse_series(const json& answer, const char* block, bool with_clock, const char* const* variables, size_t count,
                  ForecastSeries& series, std::string& error)
{
    auto found = answer.find(block);
    if (found == answer.end() || !found->is_object())
        return error = std::string(block) + ": missing", false;
    auto times = found->find("time");
    if (times == found->end() || !times->is_array() || times->empty())
        return error = std::string(block) + ".time: missing or empty", false;
    for (size_t i = 0; i < times->size(); ++i) {
        LocalTime time;
        const json& item = (*times)[i];
        if (!item.is_string() || !parse_local_time(item.get<std::string>(), with_clock, time))
            return error = std::string(block) + ".time[" + std::to_string(i) + "]: not a local time", false;
        series.times.push_back(time);
    }
    for (size_t v = 0; v < count; ++v) {
        std::string where = std::string(block) + "." + variables[v];
        auto values = found->find(variables[v]);
        if (values == found->end() || !values->is_array())
            return error = where + ": missing", false;
        if (values->size() != series.times.size())
            return error = where + ": " + std::to_string(values->size()) + " values for " +
                           std::to_string(series.times.size()) + " times",
                   false;
        std::vector<std::optional<double>>& column = series.values[variables[v]];
        for (size_t i = 0; i < values->size(); ++i) {
            const json& item = (*values)[i];
            if (item.is_null())
                column.push_back(std::nullopt);
            else if (item.is_number())
                column.push_back(within_range(variables[v], item.get<double>()));
            else
                return error = where + "[" + std::to_string(i) + "]: not a number", false;
        }
    }
    return true;
}

bool same_hour(const LocalTime& a, const LocalTime& b) { return a.date == b.date && a.hour == b.hour; }

// A number outside every code's range is no code (converting it to int would be undefined).
std::optional<int> as_weather_code(std::optional<double> value)
{
    if (!value || !(*value >= 0 && *value < 1000))
        return std::nullopt;
    return static_cast<int>(*value);
}

// A half day from the hours [from, from + 12h): its most severe weather (WMO codes grow
// with severity, as the provider's own daily code does) and its strongest wind with that
// wind's direction.
HalfDay half_day_from_hours(const ForecastSeries& hourly, int64_t from_unix)
{
    HalfDay half;
    for (size_t i = 0; i < hourly.times.size(); ++i) {
        int64_t t = to_unix_seconds(hourly.times[i]);
        if (t < from_unix || t >= from_unix + 12 * 3600)
            continue;
        if (std::optional<int> code = as_weather_code(hourly.value_at("weather_code", i));
            code && (!half.weather_code || *code > *half.weather_code))
            half.weather_code = code;
        std::optional<double> speed = hourly.value_at("wind_speed_10m", i);
        if (speed && (!half.wind_speed || *speed > *half.wind_speed)) {
            half.wind_speed = speed;
            half.wind_direction = hourly.value_at("wind_direction_10m", i);
        }
    }
    return half;
}

std::optional<double> mean_over_day(const ForecastSeries& hourly, const char* variable,
                                    std::chrono::year_month_day date)
{
    double sum = 0;
    int count = 0;
    for (size_t i = 0; i < hourly.times.size(); ++i) {
        if (hourly.times[i].date != date)
            continue;
        if (std::optional<double> value = hourly.value_at(variable, i)) {
            sum += *value;
            ++count;
        }
    }
    if (count == 0)
        return std::nullopt;
    return sum / count;
}

DailyForecast day_from_forecast(const ProviderForecast& forecast, size_t index)
{
    const ForecastSeries& daily = forecast.daily;
    DailyForecast day;
    day.date = daily.times[index].date;
    int64_t midnight = to_unix_seconds({day.date, 0, 0});
    day.day = half_day_from_hours(forecast.hourly, midnight + 8 * 3600);
    day.night = half_day_from_hours(forecast.hourly, midnight + 20 * 3600);
    // Where the hours do not reach, the day's own figures stand in for its day half.
    if (!day.day.weather_code)
        day.day.weather_code = as_weather_code(daily.value_at("weather_code", index));
    if (!day.day.wind_speed) {
        day.day.wind_speed = daily.value_at("wind_speed_10m_max", index);
        day.day.wind_direction = daily.value_at("wind_direction_10m_dominant", index);
    }
    day.day.temperature = daily.value_at("temperature_2m_max", index);
    day.night.temperature = daily.value_at("temperature_2m_min", index);
    day.apparent_max = daily.value_at("apparent_temperature_max", index);
    day.apparent_min = daily.value_at("apparent_temperature_min", index);
    day.precipitation = daily.value_at("precipitation_sum", index);
    day.uv_index_max = daily.value_at("uv_index_max", index);
    day.humidity_mean = mean_over_day(forecast.hourly, "relative_humidity_2m", day.date);
    return day;
}

HourlyObservation hour_from_forecast(const ForecastSeries& hourly, size_t index)
{
    HourlyObservation hour;
    hour.time = hourly.times[index];
    hour.weather_code = as_weather_code(hourly.value_at("weather_code", index));
    hour.temperature = hourly.value_at("temperature_2m", index);
    hour.humidity = hourly.value_at("relative_humidity_2m", index);
    hour.precipitation = hourly.value_at("precipitation", index);
    hour.wind_speed = hourly.value_at("wind_speed_10m", index);
    hour.wind_direction = hourly.value_at("wind_direction_10m", index);
    return hour;
}

}  // namespace

std::optional<double> ForecastSeries::value_at(std::string_view variable, size_t index) const
{
    auto column = values.find(variable);
    if (column == values.end() || index >= column->second.size())
        return std::nullopt;
    return column->second[index];
}

const char kCustomerUpstream[] = "https://customer-api.open-meteo.com";
const char kCustomerAirQualityUpstream[] = "https://customer-air-quality-api.open-meteo.com";

std::string forecast_request_url(std::string_view upstream, const Coordinates& at, std::string_view api_key)
{
    std::string url(upstream);
    while (!url.empty() && url.back() == '/')
        url.pop_back();
    char place[96];
    std::snprintf(place, sizeof place, "latitude=%.4f&longitude=%.4f", at.latitude, at.longitude);
    url += "/v1/forecast?";
    url += place;
    url += "&timezone=Asia%2FShanghai&forecast_days=" + std::to_string(kForecastDays);
    url += "&past_days=" + std::to_string(kPastDays);
    url += "&hourly=" + join_names(kHourlyVariables);
    url += "&daily=" + join_names(kDailyVariables);
    if (!api_key.empty()) {
        url += "&apikey=";
        url += api_key;
    }
    return url;
}

double request_cost(size_t variables, int days)
{
    return std::max(1.0, static_cast<double>(variables) / kVariablesPerCall) *
           std::max(1.0, static_cast<double>(days) / kDaysPerCall);
}

double forecast_request_cost()
{
    return request_cost(std::size(kHourlyVariables) + std::size(kDailyVariables), kPastDays + kForecastDays);
}

std::string refusal_reason(std::string_view body)
{
    std::string ignored;
    json answer = parse_bounded(body, ignored);
    if (!answer.is_object())
        return "";
    auto flag = answer.find("error");
    auto reason = answer.find("reason");
    if (flag == answer.end() || *flag != true || reason == answer.end() || !reason->is_string())
        return "";
    return reason->get<std::string>();
}

bool covers_date(const ProviderForecast& forecast, std::chrono::year_month_day date, bool with_daily)
{
    auto holds = [date](const ForecastSeries& series) {
        return std::any_of(series.times.begin(), series.times.end(),
                           [date](const LocalTime& t) { return t.date == date; });
    };
    return (!with_daily || holds(forecast.daily)) && holds(forecast.hourly);
}

// The answer as a JSON object, or nothing with `error` set: too long or deep, not JSON, or a
// refusal.
static std::optional<json> open_answer(std::string_view text, std::string& error)
{
    json answer = parse_bounded(text, error);
    if (answer.is_discarded())
        return std::nullopt;
    if (!answer.is_object())
        return error = "not a JSON object", std::nullopt;
    // A refusal is {"error": true, "reason": "..."}. An "error" of another type is compared,
    // not converted: converting it throws, and a throw here would leave the place's fetch
    // marked as running, so that every later page for the place waited forever.
    auto flag = answer.find("error");
    auto reason = answer.find("reason");
    if (flag != answer.end() && *flag == true && reason != answer.end() && reason->is_string())
        return error = "provider refused: " + reason->get<std::string>(), std::nullopt;
    return answer;
}

std::optional<ProviderForecast> parse_forecast(std::string_view text, std::string& error)
{
    std::optional<json> answer = open_answer(text, error);
    if (!answer)
        return std::nullopt;
    ProviderForecast forecast;
    if (!parse_series(*answer, "hourly", true, kHourlyVariables, std::size(kHourlyVariables), forecast.hourly, error) ||
        !parse_series(*answer, "daily", false, kDailyVariables, std::size(kDailyVariables), forecast.daily, error))
        return std::nullopt;
    // The height of the point asked for (the provider's terrain model): a station far above or
    // below it does not stand for the place. Higher than Everest or below the Dead Sea is none.
    if (auto elevation = answer->find("elevation"); elevation != answer->end() && elevation->is_number() &&
                                                    elevation->get<double>() >= -500 &&
                                                    elevation->get<double>() <= 9000)
        forecast.elevation = elevation->get<double>();
    return forecast;
}

std::optional<ProviderForecast> parse_hourly_answer(std::string_view text, const std::vector<const char*>& variables,
                                                    std::string& error)
{
    std::optional<json> answer = open_answer(text, error);
    ProviderForecast parsed;
    if (!answer || !parse_series(*answer, "hourly", true, variables.data(), variables.size(), parsed.hourly, error))
        return std::nullopt;
    return parsed;
}

WeatherReport report_from_forecast(const ProviderForecast& forecast, const LocalTime& now)
{
    return report_from_forecast(forecast, now, now);
}

WeatherReport report_from_forecast(const ProviderForecast& forecast, const LocalTime& now, const LocalTime& newest_hour)
{
    WeatherReport report;
    const ForecastSeries& daily = forecast.daily;
    for (size_t i = 0; i < daily.times.size() && report.days.size() < 7; ++i) {
        if (daily.times[i].date >= now.date)
            report.days.push_back(day_from_forecast(forecast, i));
    }
    // The newest hour is newest_hour's, or the last the data holds if it ends sooner.
    const ForecastSeries& hourly = forecast.hourly;
    size_t newest = hourly.times.size();
    for (size_t i = 0; i < hourly.times.size(); ++i) {
        if (to_unix_seconds(hourly.times[i]) <= to_unix_seconds(newest_hour))
            newest = i;
        if (same_hour(hourly.times[i], newest_hour))
            break;
    }
    if (newest == hourly.times.size())
        return report;  // every hour lies after now
    for (size_t back = 0; back < 12 && back <= newest; ++back)
        report.hours.push_back(hour_from_forecast(hourly, newest - back));
    return report;
}

}  // namespace weatherd
