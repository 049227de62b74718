// Today's living indexes, derived from the forecast by fixed rules (docs/weather-service.md
// lists them), so that real data and the model give their levels the same way.
#pragma once

#include <string>
#include <vector>

#include "weatherd/weather/weather_report.h"

namespace weatherd {

struct LivingIndex {
    const char* key;    // badge file name stem
    const char* name;   // "穿衣指数", ...
    std::string level;  // "—" when the data needed is missing
    std::string advice;
};

// From today's forecast and tomorrow's (for rain in the next two days); `tomorrow` may be
// null when the data ends today.
std::vector<LivingIndex> today_living_indexes(const DailyForecast& today, const DailyForecast* tomorrow);

}  // namespace weatherd
