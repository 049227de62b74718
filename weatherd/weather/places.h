// The places the weather service knows: the entries of the settings file the viewer reads,
// so that every code the viewer can ask for has a page and every other code gets a 404.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace weatherd {

// A point on the WGS-84 datum, in degrees.
struct Coordinates {
    double latitude;
    double longitude;
};

struct Place {
    std::string province;  // UTF-8, as the combo box item reads ("北京." keeps its stop)
    std::string city;
    std::string district;
    std::string code;
    std::optional<Coordinates> coordinates;  // none: the provider cannot be asked for it
};

struct PlaceTable {
    std::vector<Place> places;  // in file order, one per code (the first entry wins)

    const Place* find(std::string_view code) const;
};

// Reads a settings file in GBK. Entries stand one to a line as P-C-D@code#; section tags,
// blank lines and comments are skipped. On failure returns false and sets `error` to a
// message naming the file and the line or byte offset.
bool load_places(const std::string& path, PlaceTable& table, std::string& error);

// The shipped table of coordinates per code (weatherd/data/place-coordinates.tsv, built
// into the program): `CODE<TAB>LATITUDE<TAB>LONGITUDE<TAB>MATCH` per line, then columns for
// people that are not read (tab-separated); '#' comments.
// On a malformed line returns false and sets `error` to a message naming the line.
bool parse_coordinates_table(std::string_view text, std::map<std::string, Coordinates>& table, std::string& error);
const std::map<std::string, Coordinates>& shipped_coordinates();

// Gives every place its coordinates from `table`; returns the codes it has none for.
std::vector<std::string> attach_coordinates(PlaceTable& places, const std::map<std::string, Coordinates>& table);

// GBK bytes to UTF-8; false (with the offending byte offset) when the bytes are not GBK.
bool gbk_to_utf8(std::string_view gbk, std::string& utf8, size_t& bad_offset);

}  // namespace weatherd
