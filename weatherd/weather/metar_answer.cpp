#include "weatherd/weather/metar_answer.h"

#include "weatherd/base/json_nesting.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

namespace weatherd {

namespace {

using json = nlohmann::json;

// An answer is an array of flat objects with one array of cloud layers: three levels.
constexpr int kDeepestMetarNesting = 4;

// The fastest wind a report could truly give, in each unit (the world record gust is
// 113 m/s); a larger number is a garbled group.
constexpr double kFastestMetresPerSecond = 120;

double in_metres_per_second(double speed, WindUnit unit)
{
    switch (unit) {
    case WindUnit::kKnots: return speed * 1852.0 / 3600.0;
    case WindUnit::kKilometresPerHour: return speed / 3.6;
    case WindUnit::kMetresPerSecond: break;
    }
    return speed;
}

// A number field within [least, most]; anything else (a string, null, absent) is missing.
std::optional<double> number_in(const json& report, const char* field, double least, double most)
{
    auto found = report.find(field);
    if (found == report.end() || !found->is_number())
        return std::nullopt;
    double value = found->get<double>();
    if (!std::isfinite(value) || value < least || value > most)
        return std::nullopt;
    return value;
}

std::string string_field(const json& report, const char* field)
{
    auto found = report.find(field);
    return found != report.end() && found->is_string() ? found->get<std::string>() : std::string();
}

int cover_rank(std::string_view cover)
{
    static const char* const kOrder[] = {"CAVOK", "SKC", "CLR", "NSC", "NCD", "FEW", "SCT", "BKN", "OVC", "VV"};
    for (size_t i = 0; i < std::size(kOrder); ++i)
        if (cover == kOrder[i])
            return static_cast<int>(i);
    return -1;
}

// The most cover among the layers; CAVOK in the raw report stands for clear sky.
std::string most_cover(const json& report, std::string_view raw)
{
    std::string most;
    auto clouds = report.find("clouds");
    if (clouds != report.end() && clouds->is_array()) {
        for (const json& layer : *clouds) {
            if (!layer.is_object())
                continue;
            std::string cover = string_field(layer, "cover");
            if (cover_rank(cover) > cover_rank(most))
                most = cover;
        }
    }
    if (most.empty() && raw.find(" CAVOK") != std::string_view::npos)
        most = "CAVOK";
    return most;
}

bool is_station_code(const std::string& code)
{
    return code.size() == 4 && std::all_of(code.begin(), code.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

std::optional<MetarReport> read_report(const json& item)
{
    if (!item.is_object())
        return std::nullopt;
    MetarReport report;
    report.station = string_field(item, "icaoId");
    auto observed = item.find("obsTime");
    if (!is_station_code(report.station) || observed == item.end() || !observed->is_number_integer())
        return std::nullopt;
    report.observed_at = observed->get<int64_t>();
    report.raw = string_field(item, "rawOb");
    report.temperature = number_in(item, "temp", -90, 60);
    report.dew_point = number_in(item, "dewp", -100, 60);
    report.wind = raw_wind(report.raw);
    report.weather = string_field(item, "wxString");
    report.cover = most_cover(item, report.raw);
    return report;
}

bool all_digits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<MetarWind> wind_group(std::string_view group)
{
    MetarWind wind;
    std::string_view number;
    if (group.ends_with("MPS")) {
        wind.unit = WindUnit::kMetresPerSecond, number = group.substr(0, group.size() - 3);
    } else if (group.ends_with("KMH")) {
        wind.unit = WindUnit::kKilometresPerHour, number = group.substr(0, group.size() - 3);
    } else if (group.ends_with("KT")) {
        wind.unit = WindUnit::kKnots, number = group.substr(0, group.size() - 2);
    } else {
        return std::nullopt;
    }
    if (number.size() < 5)
        return std::nullopt;
    std::string_view direction = number.substr(0, 3);
    std::string_view speeds = number.substr(3);
    std::string_view speed = speeds.substr(0, speeds.find('G'));
    std::string_view gust = speed.size() < speeds.size() ? speeds.substr(speed.size() + 1) : std::string_view();
    if (!all_digits(speed) || speed.size() > 3 ||
        (speed.size() < speeds.size() && (!all_digits(gust) || gust.size() > 3)))
        return std::nullopt;
    wind.speed = std::stod(std::string(speed));
    if (in_metres_per_second(wind.speed, wind.unit) > kFastestMetresPerSecond)
        return std::nullopt;
    if (!gust.empty()) {
        double gust_speed = std::stod(std::string(gust));
        if (in_metres_per_second(gust_speed, wind.unit) > kFastestMetresPerSecond)
            return std::nullopt;
        if (gust_speed > wind.speed)
            wind.gust = gust_speed;
    }
    if (direction == "VRB") {
        wind.variable = true;
    } else if (all_digits(direction)) {
        int degrees = std::stoi(std::string(direction));
        if (degrees > 360)
            return std::nullopt;
        if (wind.speed > 0)
            wind.direction = degrees;
    } else {
        return std::nullopt;
    }
    return wind;
}

}  // namespace

std::string metar_request_url(std::string_view upstream, const std::vector<std::string>& stations, int hours)
{
    std::string url = std::string(upstream) + "/api/data/metar?ids=";
    for (size_t i = 0; i < stations.size(); ++i)
        url += (i ? "," : "") + stations[i];
    return url + "&format=json&hours=" + std::to_string(hours);
}

std::optional<MetarWind> raw_wind(std::string_view raw)
{
    // The wind is the first group after the station and the time; remarks come after RMK.
    std::istringstream groups{std::string(raw.substr(0, raw.find(" RMK")))};
    std::string group;
    for (int index = 0; groups >> group && index < 6; ++index) {
        if (group.ends_with("MPS") || group.ends_with("KT") || group.ends_with("KMH"))
            return wind_group(group);
    }
    return std::nullopt;
}

std::optional<std::vector<MetarReport>> parse_metar_answer(std::string_view body, std::string& error)
{
    if (body.size() > kLongestMetarAnswer) {
        error = std::to_string(body.size()) + " bytes, more than " + std::to_string(kLongestMetarAnswer);
        return std::nullopt;
    }
    JsonNestingCheck check(kDeepestMetarNesting);
    if (!json::sax_parse(body, &check)) {
        error =
            check.too_deep() ? "nested deeper than " + std::to_string(kDeepestMetarNesting) + " levels" : "not JSON";
        return std::nullopt;
    }
    json answer = json::parse(body, nullptr, false);
    if (!answer.is_array()) {
        error = "not an array of reports";
        return std::nullopt;
    }
    std::vector<MetarReport> reports;
    for (const json& item : answer)
        if (std::optional<MetarReport> report = read_report(item))
            reports.push_back(std::move(*report));
    return reports;
}

}  // namespace weatherd
