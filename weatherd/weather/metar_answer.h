// The Aviation Weather Center's METAR API: one request for every station's reports of the
// last hours, and its JSON answer read into plain reports. The answer is checked as the
// forecast provider's is: bounded in size and nesting before anything is built from it; a
// report without its station or observation time is left out, and any other field of the
// wrong type or outside its physical range is a missing value, never a number shown.
//
// The wind is read from the raw report's wind group, which names its own unit (MPS, KT,
// KMH): the JSON's wspd and wgst are documented as knots, but Chinese airports report in
// metres per second, and the raw group is what the station itself said.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace weatherd {

// A real answer for some seventy stations over thirteen hours is about a megabyte.
constexpr size_t kLongestMetarAnswer = 4 << 20;

enum class WindUnit { kMetresPerSecond, kKnots, kKilometresPerHour };

struct MetarWind {
    std::optional<double> direction;  // degrees it comes from; none when variable (VRB) or calm
    bool variable = false;            // VRB
    double speed = 0;                 // in `unit`
    std::optional<double> gust;       // in `unit`, only when above the speed
    WindUnit unit = WindUnit::kMetresPerSecond;
};

struct MetarReport {
    std::string station;                // ICAO code
    int64_t observed_at = 0;            // unix seconds
    std::optional<double> temperature;  // degrees Celsius
    std::optional<double> dew_point;
    std::optional<MetarWind> wind;
    std::string weather;  // the present-weather groups, space-separated ("-SHRA BR"); "" for none
    std::string cover;    // the most of the cloud layers (SKC ... OVC, VV), or CAVOK; "" when not reported
    std::string raw;
};

// "{upstream}/api/data/metar?ids=A,B,...&format=json&hours=N".
std::string metar_request_url(std::string_view upstream, const std::vector<std::string>& stations, int hours);

// The reports of an answer, in its order; nothing, with `error` naming what is wrong, when
// the answer is not a JSON array of objects within the bounds.
std::optional<std::vector<MetarReport>> parse_metar_answer(std::string_view body, std::string& error);

// The wind group of a raw report ("09004MPS", "VRB02MPS", "24015G25KT", "00000MPS"); nothing
// when it has none or it makes no sense (a direction past 360, a speed past any record).
std::optional<MetarWind> raw_wind(std::string_view raw);

}  // namespace weatherd
