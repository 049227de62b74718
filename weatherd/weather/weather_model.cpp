#include "weatherd/weather/weather_model.h"

#include "weatherd/weather/wmo_weather.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace weatherd {

namespace {

using std::chrono::days;
using std::chrono::sys_days;
using std::chrono::year_month_day;

// The model's weather kinds, as WMO weather codes.
constexpr int kSunny = 0;
constexpr int kCloudy = 2;
constexpr int kOvercast = 3;
constexpr int kHaze = 5;
constexpr int kFog = 45;
constexpr int kLightRain = 61;
constexpr int kModerateRain = 63;
constexpr int kHeavyRain = 65;
constexpr int kLightSnow = 71;
constexpr int kModerateSnow = 73;
constexpr int kShower = 80;
constexpr int kSnowShower = 85;
constexpr int kThunderShower = 95;

struct Climate {
    const char* province;
    double january_mean;  // daily mean temperature, degrees Celsius
    double july_mean;
    double daily_range;  // typical high minus low
    double wet_share;    // chance of a day with precipitation, at the wettest time of year
    bool winter_haze;
};

// Rough figures for each province's chief city; enough to make pages look right.
const Climate kClimates[] = {
    {"广东", 14, 29, 7, 0.45, false}, {"北京.", -3, 27, 10, 0.30, true},    {"上海.", 5, 29, 7, 0.40, false},
    {"重庆.", 8, 29, 7, 0.40, true},  {"黑龙江", -18, 23, 11, 0.30, false}, {"吉林", -15, 23, 11, 0.30, false},
    {"辽林", -10, 25, 9, 0.30, true}, {"内蒙古", -12, 23, 13, 0.20, false}, {"河北", -2, 27, 10, 0.25, true},
    {"山西", -5, 24, 12, 0.25, true}, {"陕西", 0, 27, 10, 0.30, true},      {"山东", -1, 27, 9, 0.30, true},
};
const Climate kMildClimate{"", 6, 26, 9, 0.30, false};

const Climate& climate_of(const std::string& province)
{
    for (const Climate& climate : kClimates) {
        if (province == climate.province)
            return climate;
    }
    return kMildClimate;
}

uint64_t mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

uint64_t hash_text(const std::string& text)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text)
        h = (h ^ c) * 1099511628211ull;
    return h;
}

// A small deterministic stream of numbers for one place, one day and one purpose.
class Dice {
public:
    Dice(const std::string& code, year_month_day date, uint64_t purpose)
        : state_(mix(hash_text(code) ^
                     mix(static_cast<uint64_t>(sys_days(date).time_since_epoch().count()) * 31 + purpose)))
    {
    }

    double next_unit()
    {  // [0, 1)
        state_ = mix(state_);
        return static_cast<double>(state_ >> 11) / 9007199254740992.0;
    }
    double between(double low, double high) { return low + (high - low) * next_unit(); }
    int pick_one(int count) { return std::min(count - 1, static_cast<int>(next_unit() * count)); }

private:
    uint64_t state_;
};

int day_of_year(year_month_day date)
{
    sys_days start{year_month_day{date.year(), std::chrono::January, std::chrono::day{1}}};
    return static_cast<int>((sys_days(date) - start).count());
}

// 0 in mid-January, 1 in mid-July.
double summerness(year_month_day date)
{
    return (1 - std::cos(2 * std::numbers::pi * (day_of_year(date) - 15) / 365.0)) / 2;
}

// Correlated from one day to the next, so a week does not jump about.
double anomaly(const std::string& code, year_month_day date)
{
    double sum = 0;
    const double weights[] = {0.5, 0.3, 0.2};
    for (int back = 0; back < 3; ++back) {
        Dice dice(code, sys_days(date) - days(back), 1);
        sum += weights[back] * dice.between(-5, 5);
    }
    return sum;
}

int roll_precipitation(Dice& dice, double high, double summer)
{
    double r = dice.next_unit();
    if (high < 2)
        return r < 0.3 ? kSnowShower : r < 0.8 ? kLightSnow : kModerateSnow;
    if (summer > 0.6)
        return r < 0.35   ? kShower
               : r < 0.6  ? kThunderShower
               : r < 0.85 ? kLightRain
               : r < 0.95 ? kModerateRain
                          : kHeavyRain;
    return r < 0.3 ? kShower : r < 0.75 ? kLightRain : r < 0.95 ? kModerateRain : kHeavyRain;
}

int dry_kind(Dice& dice, const Climate& climate, double summer)
{
    double r = dice.next_unit();
    if (climate.winter_haze && summer < 0.3 && r < 0.12)
        return kHaze;
    if (r < 0.16)
        return summer < 0.5 ? kFog : kOvercast;  // fog in the cool half of the year
    return r < 0.45 ? kSunny : r < 0.8 ? kCloudy : kOvercast;
}

struct ModelWind {
    double speed;      // km/h
    double direction;  // degrees
};

// Mostly a light breeze, now and then a fresh one.
ModelWind draw_wind(Dice& dice)
{
    double r = dice.next_unit();
    double speed = r < 0.25   ? dice.between(2, 10)
                   : r < 0.7  ? dice.between(12, 28)
                   : r < 0.92 ? dice.between(20, 38)
                              : dice.between(29, 49);
    return {std::round(speed * 10) / 10, 45.0 * dice.pick_one(8)};
}

struct ModelDay {
    year_month_day date;
    int day_code;
    int night_code;
    int high;
    int low;
    ModelWind day_wind;
    ModelWind night_wind;
};

ModelDay day_for(const std::string& province, const std::string& code, year_month_day date)
{
    const Climate& climate = climate_of(province);
    double summer = summerness(date);
    double district_offset = static_cast<double>(hash_text(code) % 3) - 1;
    double mean = climate.january_mean + (climate.july_mean - climate.january_mean) * summer + district_offset +
                  anomaly(code, date);
    Dice dice(code, date, 2);
    double range = climate.daily_range + dice.between(-2, 2);

    ModelDay day;
    day.date = date;
    day.high = static_cast<int>(std::lround(mean + range / 2));
    day.low = static_cast<int>(std::lround(mean - range / 2));
    double wet_share = climate.wet_share * (0.5 + 0.5 * summer);
    bool wet_day = dice.next_unit() < wet_share;
    day.day_code = wet_day ? roll_precipitation(dice, day.high, summer) : dry_kind(dice, climate, summer);
    double night_turn = dice.next_unit();
    if (night_turn < 0.6)
        day.night_code = day.day_code;
    else if (wet_day)
        day.night_code = night_turn < 0.8 ? kOvercast : kCloudy;
    else
        day.night_code = night_turn < 0.8 ? kCloudy : kSunny;
    day.day_wind = draw_wind(dice);
    day.night_wind = dice.next_unit() < 0.5 ? day.day_wind : draw_wind(dice);
    return day;
}

// Temperature through the day: lowest near 06:00, highest near 14:00.
double hour_temperature(const ModelDay& day, int hour)
{
    double share;
    if (hour >= 6 && hour <= 14)
        share = (1 - std::cos(std::numbers::pi * (hour - 6) / 8.0)) / 2;
    else {
        int since_peak = (hour + 24 - 14) % 24;  // 0..15
        share = (1 + std::cos(std::numbers::pi * since_peak / 16.0)) / 2;
    }
    return day.low + (day.high - day.low) * share;
}

HourlyObservation observation_at(const std::string& province, const std::string& code, year_month_day date, int hour)
{
    ModelDay day = day_for(province, code, date);
    bool daytime = hour >= 7 && hour < 19;
    Dice dice(code, date, 100 + static_cast<uint64_t>(hour));
    HourlyObservation observation;
    observation.time = {date, hour, 0};
    int weather = daytime ? day.day_code : day.night_code;
    observation.weather_code = weather;
    double temperature = hour_temperature(day, hour);
    observation.temperature = std::round((temperature + dice.between(-0.8, 0.8)) * 10) / 10;
    bool wet = is_wet_code(weather);
    double humidity = (wet ? 82 : 45) + dice.between(-12, 12) + (day.high - temperature) * 2;
    observation.humidity = std::clamp(std::round(humidity), 12.0, 100.0);
    observation.precipitation =
        wet && dice.next_unit() < 0.7 ? std::round(dice.between(0.1, weather == kHeavyRain ? 12 : 3.5) * 10) / 10 : 0;
    const ModelWind& wind = daytime ? day.day_wind : day.night_wind;
    observation.wind_speed = wind.speed;
    observation.wind_direction = wind.direction;
    return observation;
}

DailyForecast forecast_for(const std::string& province, const std::string& code, year_month_day date)
{
    ModelDay day = day_for(province, code, date);
    Dice dice(code, date, 3);
    DailyForecast forecast;
    forecast.date = date;
    forecast.day = {day.day_code, day.high, day.day_wind.speed, day.day_wind.direction};
    forecast.night = {day.night_code, day.low, day.night_wind.speed, day.night_wind.direction};
    bool wet_day = is_wet_code(day.day_code), wet_night = is_wet_code(day.night_code);
    // Feels a little warmer in still, humid heat and colder in wind.
    forecast.apparent_max = day.high + (day.high > 26 ? 2 : 0) - day.day_wind.speed / 15;
    forecast.apparent_min = day.low - day.night_wind.speed / 10;
    forecast.precipitation =
        (wet_day ? dice.between(1, day.day_code == kHeavyRain ? 40 : 12) : 0) + (wet_night ? dice.between(0.5, 6) : 0);
    forecast.precipitation = std::round(*forecast.precipitation * 10) / 10;
    double sun = day.day_code <= kCloudy ? 1 : wet_day ? 0.25 : 0.5;
    forecast.uv_index_max = std::round((1 + 8 * summerness(date)) * sun * 10) / 10;
    forecast.humidity_mean = std::clamp(std::round((wet_day ? 80 : 55) + dice.between(-10, 10)), 15.0, 100.0);
    return forecast;
}

// A day's pollution, drawn once per place and day and shared by its hours.
struct ModelPollution {
    double particles;   // 24-hour PM2.5 level, μg/m³
    double ozone_peak;  // afternoon O3, μg/m³
};

ModelPollution pollution_for(const std::string& province, const std::string& code, year_month_day date)
{
    const Climate& climate = climate_of(province);
    double winter = 1 - summerness(date);
    Dice dice(code, date, 4);
    double base = climate.winter_haze ? 20 + 70 * winter : 12 + 20 * winter;
    // Now and then a stagnant day piles the particles up.
    double piling = dice.next_unit() < 0.15 ? dice.between(1.8, 3.2) : dice.between(0.5, 1.4);
    double summer = summerness(date);
    return {base * piling, 40 + 140 * summer * dice.between(0.6, 1.2)};
}

PollutantHour model_pollutant_hour(const ModelPollution& day, const std::string& code, year_month_day date, int hour)
{
    Dice dice(code, date, 200 + static_cast<uint64_t>(hour));
    // Rush hours near 08:00 and 19:00; ozone follows the sun, highest near 15:00.
    double traffic =
        1 + 0.5 * std::exp(-std::pow((hour - 8) / 2.0, 2)) + 0.5 * std::exp(-std::pow((hour - 19) / 2.5, 2));
    double sun = std::max(0.0, std::cos(std::numbers::pi * (hour - 15) / 12.0));
    double jitter = dice.between(0.85, 1.15);
    PollutantHour values;
    auto set = [&](Pollutant pollutant, double micrograms) {
        values.micrograms[static_cast<size_t>(pollutant)] = std::round(micrograms * 10) / 10;
    };
    set(Pollutant::kPm25, day.particles * jitter * (0.8 + 0.2 * traffic));
    set(Pollutant::kPm10, day.particles * 1.4 * jitter * (0.8 + 0.2 * traffic));
    set(Pollutant::kNo2, 25 * traffic * jitter * (0.6 + day.particles / 80));
    set(Pollutant::kSo2, 6 * jitter * (0.5 + day.particles / 60));
    set(Pollutant::kCo, 500 * traffic * jitter * (0.7 + day.particles / 150));
    set(Pollutant::kO3, 20 + (day.ozone_peak - 20) * sun * jitter);
    return values;
}

}  // namespace

AirQualitySeries model_air_quality(const std::string& province, const std::string& code, const LocalTime& now)
{
    AirQualitySeries series;
    sys_days yesterday = sys_days(now.date) - days(1);
    series.first = to_unix_seconds({year_month_day{yesterday}, 0, 0});
    constexpr int kDays = 8;  // yesterday and the seven days shown
    series.hours.reserve(kDays * 24);
    for (int day = 0; day < kDays; ++day) {
        year_month_day date{yesterday + days(day)};
        ModelPollution pollution = pollution_for(province, code, date);
        for (int hour = 0; hour < 24; ++hour)
            series.hours.push_back(model_pollutant_hour(pollution, code, date, hour));
    }
    return series;
}

const char* weekday_name(year_month_day date)
{
    static const char* const names[] = {"星期日", "星期一", "星期二", "星期三", "星期四", "星期五", "星期六"};
    return names[std::chrono::weekday(sys_days(date)).c_encoding()];
}

WeatherReport model_report(const std::string& province, const std::string& code, const LocalTime& now)
{
    WeatherReport report;
    for (int i = 0; i < 7; ++i)
        report.days.push_back(forecast_for(province, code, sys_days(now.date) + days(i)));
    for (int back = 0; back < 12; ++back) {
        int hour = now.hour - back;
        year_month_day date = now.date;
        if (hour < 0) {
            hour += 24;
            date = sys_days(date) - days(1);
        }
        report.hours.push_back(observation_at(province, code, date, hour));
    }
    return report;
}

}  // namespace weatherd
