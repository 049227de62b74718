// Believable made-up weather: a climate per province, day-to-day variation drawn from the
// place's code and the date, so a page is stable within a day, differs between places and
// days, and tomorrow's forecast today is tomorrow's forecast tomorrow.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace demo {

struct WeatherKind {
  int icon;          // number in the icon file names d<NN>.gif / n<NN>.gif
  const char* text;  // UTF-8
};

struct Wind {
  const char* direction;
  const char* force;
};

struct DayForecast {
  std::chrono::year_month_day date;
  WeatherKind day;
  WeatherKind night;
  int high;  // degrees Celsius
  int low;
  Wind day_wind;
  Wind night_wind;
};

struct Observation {
  int hour;  // 0..23, local time of the observation
  WeatherKind kind;
  int temperature;
  int humidity;    // percent
  double rain_mm;  // precipitation in the hour
  Wind wind;
};

struct LivingIndex {
  const char* key;   // icon file name stem
  const char* name;  // "穿衣指数", ...
  std::string level;
  std::string advice;
};

struct LocalTime {
  std::chrono::year_month_day date;
  int hour;
  int minute;
};

// Seven days starting with `first`.
std::vector<DayForecast> ForecastWeek(const std::string& province, const std::string& code,
                                      std::chrono::year_month_day first);

// The `count` hourly observations up to and including `now`'s hour, newest first.
std::vector<Observation> RecentObservations(const std::string& province, const std::string& code,
                                            const LocalTime& now, int count);

std::vector<LivingIndex> TodayLivingIndexes(const DayForecast& today, const DayForecast& tomorrow);

// Every weather kind the model can produce (for the icons the service must serve).
const std::vector<WeatherKind>& AllWeatherKinds();

const char* WeekdayName(std::chrono::year_month_day date);  // "星期一" ...

}  // namespace demo
