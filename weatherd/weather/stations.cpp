#include "weatherd/weather/stations.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>

#include "weatherd/base/service_log.h"

namespace weatherd {

extern const char kStationsTsv[];
extern const char kPlaceStationsTsv[];

namespace {

std::vector<std::string_view> fields_of(std::string_view line)
{
    std::vector<std::string_view> fields;
    for (size_t start = 0;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos)
            return fields;
        start = tab + 1;
    }
}

std::optional<double> number_of(std::string_view text)
{
    std::string copy(text);
    char* end = nullptr;
    double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// Calls `each` with every line that is not a comment or blank, and its number; stops at the
// first it refuses.
template <typename Each>
bool each_line(std::string_view text, Each each)
{
    int number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        std::string_view line =
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        start = end == std::string_view::npos ? text.size() : end + 1;
        ++number;
        if (line.empty() || line.front() == '#')
            continue;
        if (!each(fields_of(line), number))
            return false;
    }
    return true;
}

}  // namespace

const PlaceStation* StationTable::for_place(std::string_view code) const
{
    auto found = places.find(code);
    return found == places.end() ? nullptr : &found->second;
}

std::vector<std::string> StationTable::station_codes() const
{
    std::set<std::string> codes;
    for (const auto& [code, place] : places)
        codes.insert(place.station->icao);
    return {codes.begin(), codes.end()};
}

bool parse_station_tables(std::string_view stations, std::string_view places, StationTable& table, std::string& error)
{
    table = {};
    bool ok = each_line(stations, [&](const std::vector<std::string_view>& f, int line) {
        std::optional<double> latitude = f.size() >= 5 ? number_of(f[2]) : std::nullopt;
        std::optional<double> longitude = f.size() >= 5 ? number_of(f[3]) : std::nullopt;
        if (!latitude || !longitude || f[0].size() != 4 || f[1].empty()) {
            error = "stations.tsv: line " + std::to_string(line) + ": not ICAO, name, latitude, longitude, elevation";
            return false;
        }
        table.stations.push_back({std::string(f[0]), std::string(f[1]), *latitude, *longitude, number_of(f[4])});
        return true;
    });
    if (!ok)
        return false;
    ok = each_line(places, [&](const std::vector<std::string_view>& f, int line) {
        std::optional<double> distance = f.size() >= 3 ? number_of(f[2]) : std::nullopt;
        auto station = std::find_if(table.stations.begin(), table.stations.end(),
                                    [&](const Station& s) { return f.size() >= 2 && s.icao == f[1]; });
        if (!distance || station == table.stations.end()) {
            error =
                "place-stations.tsv: line " + std::to_string(line) + ": not code, a station of stations.tsv, distance";
            return false;
        }
        table.places[std::string(f[0])] = {&*station, *distance};
        return true;
    });
    if (!ok)
        table = {};
    return ok;
}

// A station more than this far above or below the place measures another climate (a
// mountain airport over a valley town): the place is taken to have none. Where either height
// is unknown, the distance alone decides.
bool within_height(const Station& station, std::optional<double> place_elevation)
{
    constexpr double kLargestHeightDifference = 300;
    return !station.elevation || !place_elevation ||
           std::fabs(*station.elevation - *place_elevation) <= kLargestHeightDifference;
}

const StationTable& shipped_stations()
{
    static const StationTable table = [] {
        StationTable parsed;
        std::string error;
        if (!parse_station_tables(kStationsTsv, kPlaceStationsTsv, parsed, error))
            log_line(error + "; no place has a weather station");
        return parsed;
    }();
    return table;
}

}  // namespace weatherd
