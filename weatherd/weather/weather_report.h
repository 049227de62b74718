// Room weatherd/weather/: what the service knows of places and their weather, whoever
// supplied the numbers: the places and their stations, the report a page shows (this file),
// weather codes and words, living indexes, the air-quality index and its series, airport
// reports and what they say, and the made-up model. Plain rules on values: no provider, no
// disk, no page. It may use weatherd/base/ only.
//
// What a city page shows, whichever source it came from: seven days of forecast, the
// last hours of observations, and where the numbers came from. A value the source left
// out stays empty all the way to the page, where it reads "—" (never 0).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "weatherd/weather/air_quality.h"

namespace weatherd {

// A wall-clock time in China Standard Time (UTC+8, no daylight saving), the time zone
// every page and every provider request uses.
struct LocalTime {
    std::chrono::year_month_day date;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

LocalTime china_time(int64_t unix_seconds);
int64_t to_unix_seconds(const LocalTime& time);

// Half a day of forecast: the day half runs 08:00-20:00, the night half to 08:00 next day.
struct HalfDay {
    std::optional<int> weather_code;       // WMO code
    std::optional<double> temperature;     // the day's high for the day half, its low for the night
    std::optional<double> wind_speed;      // km/h
    std::optional<double> wind_direction;  // degrees the wind comes from
};

struct DailyForecast {
    std::chrono::year_month_day date;
    HalfDay day;
    HalfDay night;
    std::optional<double> apparent_max;  // degrees Celsius
    std::optional<double> apparent_min;
    std::optional<double> precipitation;  // mm over the day
    std::optional<double> uv_index_max;
    std::optional<double> humidity_mean;    // percent
    std::optional<AirQuality> air_quality;  // the day's AQI, where the air-quality forecast reaches
};

struct HourlyObservation {
    LocalTime time;  // on the hour
    std::optional<int> weather_code;
    std::optional<double> temperature;
    std::optional<double> humidity;
    std::optional<double> precipitation;  // mm in the hour
    std::optional<double> wind_speed;
    std::optional<double> wind_direction;
    std::optional<AirQuality> air_quality;  // the hour's AQI
    std::string wind_words;                 // an observed wind in the station's own terms; "": from the two above
};

// Where the hourly block's rows came from when the place has an airport weather station
// within reach (metar_decode.h); the other blocks keep the page's provenance.
struct StationSource {
    enum class Kind {
        kObserved,  // the station's reports
        kTooOld,    // its newest report is too old: the rows are the page's own source's
        kNotHad,    // no reports could be had: the same
        kMadeUp,    // the model's made-up reports, demo data
    };
    Kind kind = Kind::kObserved;
    std::string name;  // UTF-8
    std::string icao;
    double distance_km = 0;
    int64_t newest_report = 0;  // unix seconds; 0: none
};

// Where a page's air quality came from. It has its own source: the air-quality provider
// can fail while the forecast is had, and the page then shows "—" for it.
struct AirQualitySource {
    enum class Kind {
        kNone,      // not had: neither fetched nor kept
        kProvider,  // CAMS by way of the provider, fresh or the last good data
        kModel,     // made up with the model's weather
    };
    Kind kind = Kind::kNone;
    int64_t fetched_at = 0;  // provider data: when it was fetched (unix seconds)
    bool stale = false;
};

struct WeatherReport {
    std::vector<DailyForecast> days;       // today first, at most seven
    std::vector<HourlyObservation> hours;  // newest first, at most twelve
    AirQualitySource air_quality_source;
    std::optional<StationSource> station;  // none: the place has no station within reach
};

// Where a page's numbers came from; every block says it in words.
struct Provenance {
    enum class Kind {
        kProvider,  // the forecast provider, fresh or the last good data
        kModel,     // the made-up model
        kNoData,    // the provider failed and nothing was kept
    };
    Kind kind = Kind::kModel;
    int64_t fetched_at = 0;  // provider data: when it was fetched (unix seconds)
    bool stale = false;      // provider data past its freshness, served because the provider failed
};

}  // namespace weatherd
