// Believable made-up weather: a climate per province, day-to-day variation drawn from the
// place's code and the date, so a page is stable within a day, differs between places and
// days, and tomorrow's forecast today is tomorrow's forecast tomorrow. Pages built from it
// always say that it is demo data.
#pragma once

#include <chrono>
#include <string>

#include "weatherd/weather_report.h"

namespace weatherd {

// Seven days from `now`'s date and the twelve hours up to `now`'s hour, newest first.
WeatherReport ModelReport(const std::string& province, const std::string& code, const LocalTime& now);

const char* WeekdayName(std::chrono::year_month_day date);  // "星期一" ...

}  // namespace weatherd
