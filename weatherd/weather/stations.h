// The airport weather stations whose reports stand for places (weatherd/data/stations.tsv)
// and each place's nearest one within reach (weatherd/data/place-stations.tsv), both made
// by the scripts that make the places (docs/places.md) and built into the program.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace weatherd {

struct Station {
    std::string icao;
    std::string name;  // Chinese, UTF-8
    double latitude = 0, longitude = 0;
    std::optional<double> elevation;  // metres
};

struct PlaceStation {
    const Station* station = nullptr;
    double distance_km = 0;
};

struct StationTable {
    std::vector<Station> stations;
    std::map<std::string, PlaceStation, std::less<>> places;  // by city code

    const PlaceStation* for_place(std::string_view code) const;
    std::vector<std::string> station_codes() const;  // every station that stands for a place, once
};

// Reads both tables (tab-separated, '#' comments); false with `error` naming the table and
// line of the first malformed line, or a place whose station is not in the first table.
bool parse_station_tables(std::string_view stations, std::string_view places, StationTable& table, std::string& error);

// Whether a station stands for a place of `place_elevation` metres: within 300 m of its
// height, or either height unknown.
bool within_height(const Station& station, std::optional<double> place_elevation);

// The tables built into the program; empty, with one log line, if they do not parse.
const StationTable& shipped_stations();

}  // namespace weatherd
