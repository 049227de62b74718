#include "weatherd/weather/metar_decode.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>
#include <tuple>

#include "weatherd/weather/wmo_weather.h"

namespace weatherd {

namespace {

// The weather the groups of METAR reports name (the WMO's present-weather code table 4678)
// as the code of wmo_weather.h whose words the page shows, by intensity: light ("-"),
// moderate (no sign), heavy ("+"). The key is the group without its intensity; groups of
// several precipitation kinds are listed as reports spell them.
struct GroupCodes {
    const char* group;
    int light, moderate, heavy;
};
const GroupCodes kGroupCodes[] = {
    {"DZ", 51, 53, 55},     {"FZDZ", 56, 56, 57},   {"RA", 61, 63, 65},   {"FZRA", 66, 66, 67}, {"SHRA", 80, 81, 82},
    {"SN", 71, 73, 75},     {"SHSN", 85, 85, 86},   {"SG", 77, 77, 77},   {"RASN", 68, 69, 69}, {"SNRA", 68, 69, 69},
    {"SHRASN", 68, 69, 69}, {"SHSNRA", 68, 69, 69}, {"DZRA", 61, 63, 65}, {"RADZ", 61, 63, 65}, {"PL", 79, 79, 79},
    {"GR", 89, 89, 89},     {"GS", 89, 89, 89},     {"SHGR", 89, 89, 89}, {"SHGS", 89, 89, 89}, {"TS", 17, 17, 17},
    {"TSRA", 95, 95, 95},   {"TSSHRA", 95, 95, 95}, {"TSGR", 96, 96, 99}, {"TSGS", 96, 96, 99}, {"TSRAGR", 96, 96, 99},
    {"FG", 45, 45, 45},     {"MIFG", 45, 45, 45},   {"BCFG", 45, 45, 45}, {"PRFG", 45, 45, 45}, {"FZFG", 48, 48, 48},
    {"BR", 10, 10, 10},     {"HZ", 5, 5, 5},        {"FU", 4, 4, 4},      {"DU", 6, 6, 6},      {"SA", 7, 7, 7},
    {"BLSA", 7, 7, 7},      {"BLDU", 7, 7, 7},      {"DRSA", 7, 7, 7},    {"DRDU", 7, 7, 7},    {"SS", 31, 31, 34},
    {"DS", 31, 31, 34},
};

// Cloud cover when no weather is reported: clear, few, scattered, broken, overcast.
struct CoverCode {
    const char* cover;
    int code;
};
const CoverCode kCoverCodes[] = {{"CAVOK", 0}, {"SKC", 0}, {"CLR", 0}, {"NSC", 0}, {"NCD", 0},
                                 {"FEW", 1},   {"SCT", 2}, {"BKN", 2}, {"OVC", 3}};

// Upper limits of forces 0..11 in whole knots, the scale's own figures for reports in knots.
const int kBeaufortKnots[] = {1, 4, 7, 11, 17, 22, 28, 34, 41, 48, 56, 64};

constexpr double kMagnusA = 17.625;
constexpr double kMagnusB = 243.04;

// Two reports of the same time that say different things: neither can be trusted.
bool same_observation(const MetarReport& a, const MetarReport& b)
{
    auto wind = [](const std::optional<MetarWind>& w) {
        return w ? std::make_tuple(true, w->direction, w->variable, w->speed, w->gust, w->unit)
                 : std::make_tuple(false, std::optional<double>(), false, 0.0, std::optional<double>(),
                                   WindUnit::kMetresPerSecond);
    };
    return a.temperature == b.temperature && a.dew_point == b.dew_point && wind(a.wind) == wind(b.wind) &&
           a.weather == b.weather && a.cover == b.cover;
}

// The station's reports by time, made at or before `now`; a time reported twice with
// different content is left out.
std::map<int64_t, const MetarReport*> usable_reports(const std::vector<MetarReport>& reports, std::string_view station,
                                                     int64_t now)
{
    std::map<int64_t, const MetarReport*> by_time;
    std::map<int64_t, bool> conflicting;
    for (const MetarReport& report : reports) {
        if (report.station != station || report.observed_at > now)
            continue;
        auto [at, inserted] = by_time.emplace(report.observed_at, &report);
        if (!inserted && !same_observation(*at->second, report))
            conflicting[report.observed_at] = true;
    }
    for (const auto& [time, conflict] : conflicting)
        by_time.erase(time);
    return by_time;
}

HourlyObservation row_from(const MetarReport& report, int64_t hour)
{
    HourlyObservation row;
    row.time = china_time(hour);
    row.weather_code = weather_code_of_report(report.weather, report.cover);
    // Reports give both in whole degrees, the dew point never above the temperature; a pair
    // that says otherwise has one of them wrong, and neither is shown.
    bool consistent = !report.temperature || !report.dew_point || *report.dew_point <= *report.temperature;
    if (consistent)
        row.temperature = report.temperature;
    if (consistent && report.temperature && report.dew_point)
        row.humidity = relative_humidity(*report.temperature, *report.dew_point);
    if (report.wind)
        row.wind_words = observed_wind_text(*report.wind);
    return row;
}

}  // namespace

std::optional<int> weather_code_of_group(std::string_view group)
{
    int intensity = 0;
    if (group.starts_with("-"))
        intensity = -1, group.remove_prefix(1);
    else if (group.starts_with("+"))
        intensity = 1, group.remove_prefix(1);
    for (const GroupCodes& entry : kGroupCodes) {
        if (group == entry.group)
            return intensity < 0 ? entry.light : intensity > 0 ? entry.heavy : entry.moderate;
    }
    return std::nullopt;  // in the vicinity (VC...), recent (RE...) or a kind the table lacks
}

std::optional<int> weather_code_of_report(std::string_view weather, std::string_view cover)
{
    std::optional<int> most;
    std::istringstream groups{std::string(weather)};
    for (std::string group; groups >> group;) {
        std::optional<int> code = weather_code_of_group(group);
        if (code && (!most || *code > *most))
            most = code;  // the table's codes grow with severity, precipitation above the rest
    }
    if (most)
        return most;
    for (const CoverCode& entry : kCoverCodes)
        if (cover == entry.cover)
            return entry.code;
    return std::nullopt;
}

std::string group_of_weather_code(int code)
{
    for (const GroupCodes& entry : kGroupCodes) {
        if (entry.moderate == code)
            return entry.group;
        if (entry.light == code)
            return std::string("-") + entry.group;
        if (entry.heavy == code)
            return std::string("+") + entry.group;
    }
    return "";
}

int beaufort_force_in(double speed, WindUnit unit)
{
    switch (unit) {
    case WindUnit::kMetresPerSecond: return beaufort_force(speed * 3.6);
    case WindUnit::kKilometresPerHour: return beaufort_force(speed);
    case WindUnit::kKnots: break;
    }
    int force = 0;
    while (force < 12 && speed >= kBeaufortKnots[force])
        ++force;
    return force;
}

std::optional<double> relative_humidity(double temperature, double dew_point)
{
    if (dew_point > temperature)
        return std::nullopt;
    double ratio =
        std::exp(kMagnusA * dew_point / (kMagnusB + dew_point) - kMagnusA * temperature / (kMagnusB + temperature));
    return 100 * ratio;
}

double dew_point_of(double temperature, double humidity)
{
    double gamma = std::log(std::clamp(humidity, 1.0, 100.0) / 100) + kMagnusA * temperature / (kMagnusB + temperature);
    return kMagnusB * gamma / (kMagnusA - gamma);
}

std::string observed_wind_text(const MetarWind& wind)
{
    std::string direction = wind.variable     ? "风向不定"
                            : wind.speed == 0 ? "静风"
                            : wind.direction  ? wind_direction_text(*wind.direction)
                                              : "—";
    std::string text = direction + " " + std::to_string(beaufort_force_in(wind.speed, wind.unit)) + "级";
    if (wind.gust)
        text += " 阵风" + std::to_string(beaufort_force_in(*wind.gust, wind.unit)) + "级";
    return text;
}

std::vector<HourlyObservation> observed_hours(const std::vector<MetarReport>& reports, std::string_view station,
                                              int64_t now)
{
    std::map<int64_t, const MetarReport*> usable = usable_reports(reports, station, now);
    std::vector<HourlyObservation> rows;
    int64_t hour = now - ((now % 3600) + 3600) % 3600;
    for (int i = 0; i < 12; ++i, hour -= 3600) {
        const MetarReport* nearest = nullptr;
        int64_t nearest_off = 0;
        for (auto at = usable.lower_bound(hour - kReportReachSeconds);
             at != usable.end() && at->first <= hour + kReportReachSeconds; ++at) {
            int64_t off = std::llabs(at->first - hour);
            if (!nearest || off < nearest_off)  // on a tie, the earlier report: made by the hour
                nearest = at->second, nearest_off = off;
        }
        if (nearest) {
            rows.push_back(row_from(*nearest, hour));
        } else {
            HourlyObservation empty;
            empty.time = china_time(hour);
            rows.push_back(empty);
        }
    }
    return rows;
}

std::optional<int64_t> newest_report_of(const std::vector<MetarReport>& reports, std::string_view station, int64_t now)
{
    std::map<int64_t, const MetarReport*> usable = usable_reports(reports, station, now);
    if (usable.empty())
        return std::nullopt;
    return usable.rbegin()->first;
}

}  // namespace weatherd
