#include "weatherd/weather/places.h"

#include <iconv.h>

#include <cerrno>
#include <fstream>
#include <cstdio>
#include <sstream>

#include "weatherd/base/service_log.h"

namespace weatherd {

const Place* PlaceTable::find(std::string_view code) const
{
    for (const Place& place : places) {
        if (place.code == code)
            return &place;
    }
    return nullptr;
}

bool gbk_to_utf8(std::string_view gbk, std::string& utf8, size_t& bad_offset)
{
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        bad_offset = 0;
        return false;
    }
    utf8.assign(gbk.size() * 3 / 2 + 16, '\0');
    char* in = const_cast<char*>(gbk.data());
    size_t in_left = gbk.size();
    char* out = utf8.data();
    size_t out_left = utf8.size();
    bool ok = true;
    while (in_left > 0) {
        if (iconv(cd, &in, &in_left, &out, &out_left) != static_cast<size_t>(-1))
            continue;
        if (errno == E2BIG) {
            size_t used = utf8.size() - out_left;
            utf8.resize(utf8.size() * 2);
            out = utf8.data() + used;
            out_left = utf8.size() - used;
            continue;
        }
        ok = false;
        break;
    }
    iconv_close(cd);
    if (!ok) {
        bad_offset = gbk.size() - in_left;
        return false;
    }
    utf8.resize(utf8.size() - out_left);
    return true;
}

namespace {

// Splits "P-C-D" into its three names; false unless there are exactly three, none empty.
bool split_key(std::string_view key, Place& place)
{
    size_t first = key.find('-');
    if (first == std::string_view::npos)
        return false;
    size_t second = key.find('-', first + 1);
    if (second == std::string_view::npos || key.find('-', second + 1) != std::string_view::npos)
        return false;
    place.province = key.substr(0, first);
    place.city = key.substr(first + 1, second - first - 1);
    place.district = key.substr(second + 1);
    return !place.province.empty() && !place.city.empty() && !place.district.empty();
}

bool parse_entry(std::string_view line, Place& place)
{
    size_t at = line.find('@');
    size_t hash = line.find('#', at);
    if (hash == std::string_view::npos || hash == at + 1)
        return false;
    place.code = line.substr(at + 1, hash - at - 1);
    return split_key(line.substr(0, at), place);
}

}  // namespace

bool load_places(const std::string& path, PlaceTable& table, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot open";
        return false;
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    std::string text;
    size_t bad_offset = 0;
    if (!gbk_to_utf8(bytes.str(), text, bad_offset)) {
        error = path + ": offset " + std::to_string(bad_offset) + ": not GBK text";
        return false;
    }

    table.places.clear();
    size_t line_number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.find('@') == std::string_view::npos)
            continue;  // a tag, a comment or a blank line
        Place place;
        if (!parse_entry(line, place)) {
            error = path + ": line " + std::to_string(line_number) + ": not an entry of the form P-C-D@code#";
            return false;
        }
        if (!table.find(place.code))
            table.places.push_back(std::move(place));
    }
    if (table.places.empty()) {
        error = path + ": no entries";
        return false;
    }
    return true;
}

extern const char kPlaceCoordinatesTsv[];  // generated from weatherd/data at build time

bool parse_coordinates_table(std::string_view text, std::map<std::string, Coordinates>& table, std::string& error)
{
    size_t line_number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string line(text.substr(start, end - start));
        start = end + 1;
        ++line_number;
        if (line.empty() || line[0] == '#')
            continue;
        char code[32] = {};
        char match[16] = {};
        Coordinates at{};
        int consumed = 0;
        // The columns after MATCH (official code, date, the place's name) are for people.
        if (std::sscanf(line.c_str(), "%31[0-9]\t%lf\t%lf\t%15[a-z]%n", code, &at.latitude, &at.longitude, match,
                        &consumed) != 4 ||
            (static_cast<size_t>(consumed) != line.size() && line[static_cast<size_t>(consumed)] != '\t') ||
            at.latitude < -90 || at.latitude > 90 || at.longitude < -180 || at.longitude > 180) {
            error = "place coordinates: line " + std::to_string(line_number) + ": not CODE, LATITUDE, LONGITUDE, MATCH";
            return false;
        }
        table[code] = at;
    }
    return true;
}

const std::map<std::string, Coordinates>& shipped_coordinates()
{
    static const std::map<std::string, Coordinates> table = [] {
        std::map<std::string, Coordinates> parsed;
        std::string error;
        if (!parse_coordinates_table(kPlaceCoordinatesTsv, parsed, error)) {
            log_line(error);
            parsed.clear();
        }
        return parsed;
    }();
    return table;
}

std::vector<std::string> attach_coordinates(PlaceTable& places, const std::map<std::string, Coordinates>& table)
{
    std::vector<std::string> missing;
    for (Place& place : places.places) {
        auto found = table.find(place.code);
        if (found != table.end())
            place.coordinates = found->second;
        else
            missing.push_back(place.code);
    }
    return missing;
}

}  // namespace weatherd
