// From a station's METAR reports to the rows of the hourly block: which report stands for
// each of the last twelve whole hours, and what the page says of it. A report is shown only
// for what it truly says: a field it lacks, or that makes no sense, reads "—".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "weatherd/weather/metar_answer.h"
#include "weatherd/weather/weather_report.h"

namespace weatherd {

// A report stands for a whole hour when it was made at most this long before or after it.
constexpr int64_t kReportReachSeconds = 20 * 60;
// A station whose newest report is older than this no longer describes the weather now.
constexpr int64_t kOldestShownReportSeconds = 2 * 3600;

// The page's weather (a code of wmo_weather.h's table, which has the words and the icon)
// for the present-weather groups and the cloud cover of a report: the most severe group
// that the table knows, else the cover; nothing when neither tells.
std::optional<int> weather_code_of_report(std::string_view weather, std::string_view cover);
// The same for one group ("-SHRA", "+TSRA", "BR"); nothing for a group the table lacks.
std::optional<int> weather_code_of_group(std::string_view group);
// A group for a code, the inverse of the above for the codes the model makes, so that its
// made-up reports read like real ones; "" for a code without one.
std::string group_of_weather_code(int code);

// Beaufort force 0..12 for a speed in the unit the station reported: the scale's limits
// in metres per second for MPS, in knots for KT (the scale's own whole-knot limits).
int beaufort_force_in(double speed, WindUnit unit);

// Relative humidity in percent from temperature and dew point (°C) by the Magnus formula
// over water, a = 17.625, b = 243.04 °C; nothing when the dew point is above the temperature.
std::optional<double> relative_humidity(double temperature, double dew_point);
// The dew point for a humidity, the formula turned around (for the model's made-up reports).
double dew_point_of(double temperature, double humidity);

// "东北风 3级 阵风5级", "风向不定 1级", "静风 0级".
std::string observed_wind_text(const MetarWind& wind);

// The twelve whole hours up to `now`, newest first, each from the station's report nearest
// to it within the reach (else all "—"). `reports` may hold other stations' reports, in any
// order, and duplicates: two reports of the same time that differ are both left out.
// Reports made after `now` are not used. Precipitation is never reported hourly: "—".
std::vector<HourlyObservation> observed_hours(const std::vector<MetarReport>& reports, std::string_view station,
                                              int64_t now);

// The time of the station's newest usable report at or before `now`; nothing without one.
std::optional<int64_t> newest_report_of(const std::vector<MetarReport>& reports, std::string_view station, int64_t now);

}  // namespace weatherd
