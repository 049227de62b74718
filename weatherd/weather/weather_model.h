// Believable made-up weather: a climate per province, day-to-day variation drawn from the
// place's code and the date, so a page is stable within a day, differs between places and
// days, and tomorrow's forecast today is tomorrow's forecast tomorrow. Pages built from it
// always say that it is demo data.
#pragma once

#include <chrono>
#include <string>

#include "weatherd/weather/air_quality_series.h"
#include "weatherd/weather/weather_report.h"

namespace weatherd {

// Seven days from `now`'s date and the twelve hours up to `now`'s hour, newest first.
WeatherReport model_report(const std::string& province, const std::string& code, const LocalTime& now);

// Made-up concentrations for the same place and days, from yesterday 00:00 to the end of
// the seventh day (the 24-hour means of today's first hours reach back into yesterday):
// more particles in winter and, where the climate has winter haze, much more; ozone with
// the summer afternoons; traffic gases with the rush hours.
AirQualitySeries model_air_quality(const std::string& province, const std::string& code, const LocalTime& now);

const char* weekday_name(std::chrono::year_month_day date);  // "星期一" ...

}  // namespace weatherd
