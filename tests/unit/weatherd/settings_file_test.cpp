// The shipped settings file, read the way the viewer reads it: byte for byte in GBK, with
// the province reader, the city reader and the city-code lookup written out here from the
// file format, and checked against the entries the file lists line by line, against the
// official counts of places and against the codes users' pages already name.

#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/unit/weatherd/weatherd_harness.h"

namespace {

using weatherd_test::between;

const char* const kProvinceItems[] = {"广东", "北京.",  "上海.", "重庆.", "黑龙江", "吉林",
                                      "辽林", "内蒙古", "河北",  "山西",  "陕西",   "山东"};

std::string read_whole_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file) << path;
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

// Converts with iconv; fails the test (and returns "") when the bytes do not convert.
std::string convert(const std::string& text, const char* from, const char* to)
{
    iconv_t cd = iconv_open(to, from);
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string out(text.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    size_t in_left = text.size();
    char* at = out.data();
    size_t out_left = out.size();
    size_t result = iconv(cd, &in, &in_left, &at, &out_left);
    iconv_close(cd);
    EXPECT_NE(result, static_cast<size_t>(-1)) << "not " << from << " at offset " << text.size() - in_left;
    if (result == static_cast<size_t>(-1))
        return "";
    out.resize(out.size() - out_left);
    return out;
}

std::string to_gbk(const std::string& utf8) { return convert(utf8, "UTF-8", "GBK"); }

std::string to_utf8(const std::string& gbk) { return convert(gbk, "GBK", "UTF-8"); }

// One field per occurrence of `key`: the bytes up to the first `terminator` after it.
std::vector<std::string> collect_fields(const std::string& body, const std::string& key, const std::string& terminator)
{
    std::vector<size_t> starts;
    for (size_t at = body.find(key); at != std::string::npos; at = body.find(key, at + key.size()))
        starts.push_back(at + key.size());
    std::vector<std::string> fields;
    for (size_t i = 0; i < starts.size(); ++i) {
        size_t piece_end = i + 1 < starts.size() ? starts[i + 1] - key.size() : body.size();
        std::string piece = body.substr(starts[i], piece_end - starts[i]);
        size_t t = piece.find(terminator);
        if (t != std::string::npos)
            fields.push_back(piece.substr(0, t));
    }
    return fields;
}

std::vector<std::string> distinct(const std::vector<std::string>& list)
{
    std::vector<std::string> out;
    for (const std::string& text : list) {
        if (std::find(out.begin(), out.end(), text) == out.end())
            out.push_back(text);
    }
    return out;
}

std::string province_open(const std::string& p) { return "<" + p + ">\r\n"; }
std::string province_close(const std::string& p) { return "\r\n</" + p + ">"; }

using Entry = std::tuple<std::string, std::string, std::string, std::string>;  // P, C, D, code (UTF-8)

// The entries as the file lists them, one per line, without going through the readers.
std::set<Entry> listed_entries(const std::string& utf8)
{
    std::set<Entry> entries;
    std::istringstream lines(utf8);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find('@');
        if (at == std::string::npos)
            continue;
        size_t first = line.find('-'), second = line.find('-', first + 1);
        size_t hash = line.find('#', at);
        EXPECT_TRUE(first < second && second < at && hash != std::string::npos) << line;
        if (!(first < second && second < at && hash != std::string::npos))
            continue;
        entries.insert({line.substr(0, first), line.substr(first + 1, second - first - 1),
                        line.substr(second + 1, at - second - 1), line.substr(at + 1, hash - at - 1)});
    }
    return entries;
}

class SettingsFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bytes_ = new std::string(read_whole_file(NIMBRA_CONFIG_FILE)); }
    static void TearDownTestSuite() { delete bytes_; }
    static const std::string& bytes() { return *bytes_; }

private:
    static inline std::string* bytes_ = nullptr;
};

TEST_F(SettingsFile, IsGbkWithCrLfLineEndsOnly)
{
    const std::string& text = bytes();
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.substr(0, 3), "\xEF\xBB\xBF");
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "LF without CR at offset " << i;
        }
        if (text[i] == '\r') {
            ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "CR without LF at offset " << i;
        }
    }
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_FALSE(to_utf8(text).empty());

    // The tags carry CR LF: with LF alone no province section is found at all.
    std::string lf_only;
    for (char c : text) {
        if (c != '\r')
            lf_only.push_back(c);
    }
    for (const char* province : kProvinceItems)
        EXPECT_EQ(between(lf_only, province_open(to_gbk(province)), province_close(to_gbk(province))), "") << province;
}

TEST_F(SettingsFile, EveryPlaceResolvesThroughTheThreeReaders)
{
    const std::string& text = bytes();
    std::set<Entry> resolved;
    std::set<std::string> codes;
    for (const char* item : kProvinceItems) {
        SCOPED_TRACE(item);
        std::string p = to_gbk(item);
        std::string province_body = between(text, province_open(p), province_close(p));
        std::vector<std::string> cities = distinct(collect_fields(province_body, p + "-", "-"));
        EXPECT_GE(cities.size(), 3u);
        for (const std::string& c : cities) {
            SCOPED_TRACE(to_utf8(c));
            std::string city_body = between(text, "<" + c + ">\r\n", "\r\n</" + c + ">");
            std::vector<std::string> districts = distinct(collect_fields(city_body, c + "-", "@"));
            EXPECT_GE(districts.size(), 2u);
            for (const std::string& d : districts) {
                std::string code = between(text, p + "-" + c + "-" + d + "@", "#");
                EXPECT_EQ(code.size(), 9u) << to_utf8(d) << " code \"" << code << "\"";
                EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos)
                    << to_utf8(d) << " code \"" << code << "\"";
                EXPECT_TRUE(codes.insert(code).second) << "code " << code << " used twice";
                resolved.insert({item, to_utf8(c), to_utf8(d), code});
            }
        }
    }
    // Nothing listed is out of reach of the readers, and the readers find nothing unlisted
    // (a city tag met first in another section would show up here).
    std::set<Entry> listed = listed_entries(to_utf8(text));
    for (const auto& [p, c, d, code] : listed)
        EXPECT_TRUE(resolved.count({p, c, d, code})) << "not reached: " << p << "-" << c << "-" << d << "@" << code;
    for (const auto& [p, c, d, code] : resolved)
        EXPECT_TRUE(listed.count({p, c, d, code})) << "not listed: " << p << "-" << c << "-" << d << "@" << code;
    EXPECT_GT(listed.size(), 1100u);
}

// Codes name places in caches and in users' own tests: every code the file had before it
// listed every place still names the same place (the committed list was cut from that file).
TEST_F(SettingsFile, TheCodesOfEarlierFilesNameTheSamePlaces)
{
    const std::string& text = bytes();
    std::ifstream list(NIMBRA_EARLIER_CODES);
    ASSERT_TRUE(list) << NIMBRA_EARLIER_CODES;
    size_t checked = 0;
    for (std::string line; std::getline(list, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t tab = line.find('\t');
        ASSERT_EQ(tab, 9u) << line;
        std::string code = line.substr(0, tab), place = line.substr(tab + 1);
        EXPECT_EQ(between(text, to_gbk(place) + "@", "#"), code) << place;
        // ...and no other place took the code.
        size_t at = text.find("@" + code + "#");
        ASSERT_NE(at, std::string::npos) << code;
        size_t line_start = text.rfind('\n', at) + 1;
        EXPECT_EQ(to_utf8(text.substr(line_start, at - line_start)), place) << code;
        ++checked;
    }
    EXPECT_EQ(checked, 241u);
}

// Every prefecture-level division is a city of its province and every county-level one a
// district of its city, against the statistics list of mid-2023: 大兴安岭 has 加格达奇区 as
// well, and 东莞 and 中山, without a county level, list their towns and streets instead.
// Province sections name each city once, so that a pick cleans a list no longer than the
// cities (the municipalities' groups stand inside theirs, whole).
TEST_F(SettingsFile, ListsEveryCityAndCountyOfTheTwelveProvinces)
{
    struct Count {
        const char* province;
        size_t cities, districts;
    } counts[] = {{"广东", 21, 122 + 32 + 23}, {"北京.", 3, 16},  {"上海.", 3, 16},  {"重庆.", 4, 38},
                  {"黑龙江", 13, 121 + 1},     {"吉林", 9, 60},   {"辽林", 14, 100}, {"内蒙古", 12, 103},
                  {"河北", 11, 167},           {"山西", 11, 117}, {"陕西", 10, 107}, {"山东", 16, 136}};
    const std::string& text = bytes();
    std::set<Entry> listed = listed_entries(to_utf8(text));
    for (const Count& count : counts) {
        SCOPED_TRACE(count.province);
        std::set<std::string> cities;
        size_t districts = 0;
        for (const auto& [p, c, d, code] : listed) {
            if (p == count.province) {
                cities.insert(c);
                ++districts;
            }
        }
        EXPECT_EQ(cities.size(), count.cities);
        EXPECT_EQ(districts, count.districts);
        std::string p = to_gbk(count.province);
        size_t entries = collect_fields(between(text, province_open(p), province_close(p)), p + "-", "-").size();
        EXPECT_EQ(entries, count.province[std::strlen(count.province) - 1] == '.' ? count.districts : count.cities);
    }
}

// City sections may stand inside their province section or after all province sections;
// the file uses both, so both keep working.
TEST_F(SettingsFile, UsesBothPlacesForCitySections)
{
    const std::string& text = bytes();
    size_t provinces_end = 0;
    std::map<std::string, std::pair<size_t, size_t>> province_spans;
    for (const char* item : kProvinceItems) {
        std::string p = to_gbk(item);
        size_t open = text.find(province_open(p));
        size_t close = text.find(province_close(p), open);
        ASSERT_NE(close, std::string::npos) << item;
        province_spans[item] = {open, close};
        provinces_end = std::max(provinces_end, close);
    }
    int inside = 0, after = 0;
    for (const auto& [p, c, d, code] : listed_entries(to_utf8(text))) {
        size_t at = text.find("<" + to_gbk(c) + ">\r\n");
        ASSERT_NE(at, std::string::npos) << c;
        auto [open, close] = province_spans[p];
        if (at > open && at < close)
            ++inside;
        else if (at > provinces_end)
            ++after;
        else
            ADD_FAILURE() << c << " stands outside its province and before the last province section";
    }
    EXPECT_GT(inside, 0);
    EXPECT_GT(after, 0);
}

}  // namespace
