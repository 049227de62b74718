// The weather service as the viewer and the later tests meet it: a real nimbra-weatherd process
// on a free port, asked over HTTP.

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/weatherd/weatherd_harness.h"
#include "weatherd/weather/places.h"

namespace {

const char kForecastStart[] = "<div class=\"weatherYubaoBox\">";
const char kForecastEnd[] = "<div class=\"weatherYubao\" id=\"weatherYubao2\">";
const char kLiveStart[] = " <div class=\"live\">";
const char kLivingStart[] = "<div class=\"todayLiving\" id=\"index\">";
const char kLivingEnd[] = "<div class=\"cleardiv\">";

using weatherd_test::between;
using weatherd_test::count_of;
using weatherd_test::enclosed;
using weatherd_test::ServiceProcess;

// The service with the made-up weather unless a test names another source: these tests
// never reach a forecast provider.
struct ModelService : weatherd_test::Service {
    explicit ModelService(std::vector<std::string> args = {}) : Service(with_model_source(std::move(args))) {}

    static std::vector<std::string> with_model_source(std::vector<std::string> args)
    {
        if (std::find(args.begin(), args.end(), "--source") == args.end())
            args.insert(args.end(), {"--source", "model"});
        return args;
    }
};

// nimbra-weatherd with `args` as they stand, for the runs that must not start.
ServiceProcess start_weatherd(std::vector<std::string> args)
{
    args.insert(args.begin(), NIMBRA_WEATHERD);
    return ServiceProcess(std::move(args));
}

std::vector<int> temperatures_of(const std::string& forecast_block)
{
    std::vector<int> values;
    for (const std::string& value : enclosed(forecast_block, "<strong>", "℃</strong>")) {
        EXPECT_EQ(value.find_first_not_of("-0123456789"), std::string::npos) << value;
        values.push_back(std::atoi(value.c_str()));
    }
    return values;
}

double average(const std::vector<int>& values)
{
    double sum = 0;
    for (int v : values)
        sum += v;
    return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

weatherd::PlaceTable shipped_places()
{
    weatherd::PlaceTable places;
    std::string error;
    EXPECT_TRUE(weatherd::load_places(NIMBRA_CONFIG_FILE, places, error)) << error;
    return places;
}

// Decodes a GIF's first image far enough to know that its LZW data yields every pixel.
bool gif_decodes(const std::string& gif, std::string& why)
{
    auto byte = [&](size_t at) { return at < gif.size() ? static_cast<unsigned char>(gif[at]) : 0u; };
    if (gif.compare(0, 6, "GIF89a") != 0)
        return why = "no GIF89a signature", false;
    size_t width = byte(6) | byte(7) << 8, height = byte(8) | byte(9) << 8;
    size_t at = 13 + ((byte(10) & 0x80) ? 3u * (2u << (byte(10) & 7)) : 0u);
    while (byte(at) == 0x21) {
        at += 2;
        while (byte(at) != 0)
            at += byte(at) + 1u;
        ++at;
    }
    if (byte(at) != 0x2C)
        return why = "no image descriptor", false;
    at += 10;
    unsigned min_size = byte(at++);
    std::string data;
    while (at < gif.size() && byte(at) != 0) {
        data.append(gif, at + 1, byte(at));
        at += byte(at) + 1u;
    }
    unsigned clear = 1u << min_size, end = clear + 1, width_bits = min_size + 1, next = end + 1;
    std::vector<std::string> table;
    auto reset = [&]() {
        table.assign(clear + 2, "");
        for (unsigned i = 0; i < clear; ++i)
            table[i] = std::string(1, static_cast<char>(i));
        width_bits = min_size + 1;
        next = end + 1;
    };
    reset();
    std::string pixels, previous;
    size_t bit = 0;
    while (bit + width_bits <= data.size() * 8) {
        unsigned code = 0;
        for (unsigned i = 0; i < width_bits; ++i, ++bit)
            code |= ((static_cast<unsigned char>(data[bit / 8]) >> (bit % 8)) & 1u) << i;
        if (code == clear) {
            reset();
            previous.clear();
            continue;
        }
        if (code == end)
            break;
        std::string entry;
        if (code < table.size() && (code < clear || !table[code].empty()))
            entry = table[code];
        else if (code == next && !previous.empty())
            entry = previous + previous[0];
        else
            return why = "bad LZW code " + std::to_string(code), false;
        pixels += entry;
        if (!previous.empty()) {
            table.resize(std::max<size_t>(table.size(), next + 1));
            table[next++] = previous + entry[0];
            if (next == (1u << width_bits) && width_bits < 12)
                ++width_bits;
        }
        previous = entry;
    }
    if (pixels.size() != width * height)
        return why = std::to_string(pixels.size()) + " pixels for " + std::to_string(width) + "x" +
                     std::to_string(height),
               false;
    return true;
}

TEST(WeatherService, EveryCityPageCarriesTheThreeBlocksOnceInOrder)
{
    ModelService service;
    weatherd::PlaceTable places = shipped_places();
    ASSERT_GT(places.places.size(), 200u);
    for (const weatherd::Place& place : places.places) {
        SCOPED_TRACE(place.code);
        httplib::Result result = service.get_path("/weather/" + place.code + ".shtml");
        ASSERT_TRUE(result);
        ASSERT_EQ(result->status, 200);
        EXPECT_EQ(result->get_header_value("Content-Type"), "text/html; charset=utf-8");
        const std::string& page = result->body;
        const char* markers[] = {kForecastStart, kForecastEnd, kLiveStart, kLivingStart, kLivingEnd};
        size_t last = 0;
        for (const char* marker : markers) {
            EXPECT_EQ(count_of(page, marker), 1u) << marker;
            size_t at = page.find(marker);
            EXPECT_GT(at, last) << marker;
            last = at;
        }
        EXPECT_NE(page.find(place.district), std::string::npos);

        std::string forecast = between(page, kForecastStart, kForecastEnd);
        EXPECT_EQ(count_of(forecast, "<tr class=\"day"), 7u);
        EXPECT_EQ(temperatures_of(forecast).size(), 14u);
        EXPECT_GE(count_of(forecast, "<a href=\""), 7u);
        // The viewer rewrites exactly "<img src=\"", so every image must be written that way,
        // with a path from the site's root.
        EXPECT_EQ(count_of(forecast, "<img"), 14u);
        EXPECT_EQ(count_of(forecast, "<img src=\"/"), 14u);
        EXPECT_EQ(count_of(forecast, "<td rowspan=\"2\" class=\"aqi\">空气"), 7u)
            << "the model makes up all seven days";

        // The viewer cuts the live block at its first "</div>": that must be the whole table.
        std::string live = between(page, kLiveStart, "</div>");
        EXPECT_NE(live.find("</table>"), std::string::npos);
        EXPECT_EQ(count_of(live, "<tr><td>"), 12u);
        EXPECT_EQ(count_of(live, "<img"), 0u) << "the live block is not rewritten, so images would break";

        std::string living = between(page, kLivingStart, kLivingEnd);
        for (const char* name : {"穿衣指数", "紫外线指数", "洗车指数", "运动指数", "感冒指数"})
            EXPECT_EQ(count_of(living, name), 2u) << name;  // the alt text and the caption
        EXPECT_EQ(count_of(living, "<img"), count_of(living, "<img src=\"/"));
        EXPECT_GE(count_of(living, "<a href=\""), 5u);
        EXPECT_EQ(count_of(living, "空气质量</dt>\n<dd><b>"), 1u);
        EXPECT_NE(living.find("空气质量：演示数据（非实况）"), std::string::npos);
    }
}

TEST(WeatherService, ServesEveryImageStylesheetAndScriptThePagesName)
{
    ModelService service;
    std::string page = service.body_of("/weather/101010203.shtml");
    std::vector<std::string> paths;
    for (const char* attribute : {"src=\"/m2/", "href=\"/m2/"}) {
        for (const std::string& rest : enclosed(page, attribute, "\""))
            paths.push_back("/m2/" + rest);
    }
    EXPECT_GE(paths.size(), 28u);  // 14 weather icons, 8 badges, the logo, 2 stylesheets, 3 scripts
    for (const char* head_path :
         {"/m2/c/public/public.css", "/m2/c/public/mainBox.css", "/m2/j/public/jquerytop101104.js",
          "/m2/j/public/main.js", "/m2/j/public/maintop101104.js"})
        paths.push_back(head_path);
    for (const char* other : {"/m2/i/icon_weather/29x20/d%02d.gif", "/m2/i/icon_weather/29x20/n%02d.gif"}) {
        for (int icon : {0, 1, 2, 3, 4, 5, 7, 8, 9, 13, 14, 15, 16, 18, 19, 53}) {
            char path[64];
            std::snprintf(path, sizeof path, other, icon);
            paths.push_back(path);
        }
    }
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        httplib::Result result = service.get_path(path);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 200);
        std::string type = result->get_header_value("Content-Type");
        if (path.ends_with(".gif")) {
            EXPECT_EQ(type, "image/gif");
            std::string why;
            EXPECT_TRUE(gif_decodes(result->body, why)) << why;
        } else if (path.ends_with(".css")) {
            EXPECT_EQ(type, "text/css; charset=utf-8");
        } else {
            EXPECT_EQ(type, "application/javascript; charset=utf-8");
        }
    }
}

TEST(WeatherService, WeatherFollowsThePlaceAndTheSeason)
{
    const std::string guangzhou = "/weather/101010101.shtml", harbin = "/weather/101050101.shtml";
    ModelService january({"--date", "2027-01-15T10:30"});
    ModelService july({"--date", "2027-07-15T10:30"});
    auto temperatures = [](const ModelService& service, const std::string& path) {
        return temperatures_of(between(service.body_of(path), kForecastStart, kForecastEnd));
    };
    EXPECT_GT(average(temperatures(january, guangzhou)), 8);
    EXPECT_LT(average(temperatures(january, harbin)), -5);
    EXPECT_GT(average(temperatures(july, harbin)), average(temperatures(january, harbin)) + 20);

    // Stable for one place and day; different for another district of the same city.
    EXPECT_EQ(january.body_of(guangzhou), january.body_of(guangzhou));
    std::string tianhe = between(january.body_of("/weather/101010102.shtml"), kForecastStart, kForecastEnd);
    std::string yuexiu = between(january.body_of(guangzhou), kForecastStart, kForecastEnd);
    EXPECT_NE(temperatures_of(tianhe), temperatures_of(yuexiu));
    EXPECT_NE(yuexiu.find("15日星期五"), std::string::npos);
    EXPECT_NE(yuexiu.find("21日星期四"), std::string::npos);
}

// Every place of the settings file has its point in the table built into the service, and
// the table's reader takes the columns written for people after MATCH but nothing malformed.
TEST(PlaceTable, EveryPlaceHasCoordinatesAndTheTableReaderIsStrict)
{
    weatherd::PlaceTable places = shipped_places();
    EXPECT_EQ(weatherd::attach_coordinates(places, weatherd::shipped_coordinates()), std::vector<std::string>{});

    struct Case {
        const char* line;
        bool ok;
    } cases[] = {{"101010101\t23.1312\t113.2615\tdistrict", true},
                 {"101010101\t23.1312\t113.2615\tpredecessor\t440104\t2023-06-30\t广东-广州-越秀区", true},
                 {"101010101\t23.1312\t113.2615\tdistrict ", false},
                 {"101010101\t23.1312\t113.2615", false},
                 {"101010101\t91\t113.2615\tdistrict", false},
                 {"10101010x\t23.1\t113.2\tdistrict", false}};
    for (const Case& c : cases) {
        std::map<std::string, weatherd::Coordinates> table;
        std::string error;
        EXPECT_EQ(weatherd::parse_coordinates_table(c.line, table, error), c.ok) << c.line;
        EXPECT_EQ(table.size(), c.ok ? 1u : 0u) << c.line;
    }
}

// For HTTP caches in front: a model page made at 10:45 (China) dates from 10:00, 02:00 GMT,
// and keeps until 11:00; a matching If-None-Match, or an If-Modified-Since not before
// Last-Modified, is answered 304 without a body. An ETag, when sent, decides alone.
TEST(WeatherService, ConditionalRequestsAreAnswered304)
{
    ModelService service({"--date", "2027-01-15T10:45"});
    const std::string path = "/weather/101010101.shtml";
    httplib::Result first = service.get_path(path);
    ASSERT_TRUE(first && first->status == 200);
    EXPECT_EQ(first->get_header_value("Last-Modified"), "Fri, 15 Jan 2027 02:00:00 GMT");
    EXPECT_EQ(first->get_header_value("Cache-Control"), "public, max-age=900");
    std::string tag = first->get_header_value("ETag");
    ASSERT_EQ(tag.size(), 18u) << tag;

    struct Row {
        httplib::Headers headers;
        int status;
    };
    const Row rows[] = {
        {{}, 200},
        {{{"If-None-Match", tag}}, 304},
        {{{"If-None-Match", "\"0000000000000000\""}}, 200},
        {{{"If-None-Match", "*"}}, 304},
        {{{"If-None-Match", "\"0000000000000000\", " + tag}}, 304},
        {{{"If-Modified-Since", "Fri, 15 Jan 2027 02:00:00 GMT"}}, 304},
        {{{"If-Modified-Since", "Fri, 15 Jan 2027 01:59:59 GMT"}}, 200},
        {{{"If-Modified-Since", "Sat, 16 Jan 2027 00:00:00 GMT"}}, 304},
        {{{"If-Modified-Since", "yesterday"}}, 200},
        {{{"If-None-Match", "\"0000000000000000\""}, {"If-Modified-Since", "Fri, 15 Jan 2027 02:00:00 GMT"}}, 200},
        {{{"If-None-Match", tag}, {"If-Modified-Since", "Fri, 15 Jan 2027 01:59:59 GMT"}}, 304},
    };
    for (const Row& row : rows) {
        std::string shown;
        for (const auto& [name, value] : row.headers)
            shown += name + ": " + value + "; ";
        SCOPED_TRACE(shown);
        httplib::Result result = service.get_path(path, row.headers);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, row.status);
        EXPECT_EQ(result->body.empty(), row.status == 304);
        EXPECT_EQ(result->get_header_value("ETag"), tag);
    }
}

TEST(WeatherService, UnknownCodesAndPathsGetA404WithoutMarkers)
{
    ModelService service;
    for (const char* path :
         {"/weather/999999999.shtml", "/weather/.shtml", "/weather/10101010.shtml", "/weather/101010101x.shtml",
          "/weather/%3Cdiv%20class=%22live%22%3E.shtml", "/weather/101010101.html", "/m2/i/none.gif", "/nothing"}) {
        SCOPED_TRACE(path);
        httplib::Result result = service.get_path(path);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 404);
        EXPECT_EQ(result->get_header_value("Content-Type"), "text/html; charset=utf-8");
        for (const char* marker :
             {kForecastStart, kForecastEnd, kLiveStart, kLivingStart, kLivingEnd, "class=\"live\""})
            EXPECT_EQ(result->body.find(marker), std::string::npos) << marker;
    }
}

TEST(WeatherService, NoticeVariants)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string body;  // "{}" stands for the served host and port
    };
    const Case cases[] = {
        {{}, 200, "1.0----http://{}/download/nimbra.htm"},
        {{"--notice", "current"}, 200, "1.0----http://{}/download/nimbra.htm"},
        {{"--notice=newer"}, 200, "1.1----http://{}/download/nimbra.htm"},
        {{"--notice", "empty"}, 200, ""},
        {{"--notice", "bom"},
         200,
         "\xEF\xBB\xBF"
         "1.0----http://{}/download/nimbra.htm"},
        {{"--notice", "newer", "--host", "weather.example:8080"},
         200,
         "1.1----http://weather.example:8080/download/nimbra.htm"},
        {{"--notice-text", "1.0\\r\\n----http://x/\\x41"}, 200, "1.0\r\n----http://x/A"},
        {{"--notice-text", "1.1"}, 200, "1.1"},
    };
    for (const Case& c : cases) {
        ModelService service(c.args);
        std::string expected = c.body;
        if (size_t at = expected.find("{}"); at != std::string::npos)
            expected.replace(at, 2, "127.0.0.1:" + std::to_string(service.port));
        httplib::Result result = service.get_path("/day/shenzhen.txt");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status) << c.body;
        EXPECT_EQ(result->body, expected);
    }

    ModelService missing({"--notice", "missing"});
    httplib::Result result = missing.get_path("/day/shenzhen.txt");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 404);
    EXPECT_EQ(missing.get_path("/download/nimbra.htm")->status, 200);
}

TEST(WeatherService, BannerPages)
{
    ModelService service({"--date", "2027-03-01"});
    for (const char* path : {"/day/shenzhen1.htm", "/day/shenzhen.htm"}) {
        httplib::Result result = service.get_path(path);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 200) << path;
        EXPECT_EQ(result->get_header_value("Content-Type"), "text/html; charset=utf-8");
        EXPECT_NE(result->body.find("2027年3月1日 星期一"), std::string::npos) << path;
    }
}

TEST(WeatherService, SlowWeatherTricklesTheSamePage)
{
    ModelService quick({"--date", "2027-01-15T10:30"});
    ModelService slow({"--date", "2027-01-15T10:30", "--slow-weather", "1.5"});
    auto started = std::chrono::steady_clock::now();
    std::string trickled = slow.body_of("/weather/101020101.shtml");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(seconds, 1.2);
    EXPECT_EQ(trickled, quick.body_of("/weather/101020101.shtml"));
    EXPECT_EQ(slow.get_path("/weather/0.shtml")->status, 404);
}

TEST(WeatherService, EndsCleanlyOnSignalsEvenMidTrickle)
{
    ModelService idle;
    EXPECT_EQ(idle.process.stop_and_wait(), 0) << idle.process.log();

    ModelService slow({"--slow-weather", "600"});
    std::thread reader([port = slow.port]() {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(900, 0);
        client.Get("/weather/101010101.shtml");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(slow.process.stop_and_wait(SIGINT), 0) << slow.process.log();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    reader.join();
}

TEST(WeatherService, RefusesBadSwitchesAndUnusableSettings)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--port", "http"}, "--port"},
        {{"--port", "70000"}, "--port"},
        {{"--notice", "later"}, "--notice"},
        {{"--slow-weather", "-1"}, "--slow-weather"},
        {{"--date", "2027-02-30"}, "--date"},
        {{"--frobnicate"}, "--frobnicate"},
        {{"--config", "/nonexistent/config.ini"}, "/nonexistent/config.ini"},
        {{"--port"}, "--port"},
        {{"--upstream-budget", "600/500/10000"}, "--upstream-budget"},
        {{"--upstream-in-flight", "0"}, "--upstream-in-flight"},
        {{"--api-key", "file:/nonexistent/key"}, "/nonexistent/key"},
        {{"--api-key", "file:/etc/passwd"}, "/etc/passwd does not hold a key"},
        {{"--max-connections-per-client", "many"}, "--max-connections-per-client"},
    };
    for (const Case& c : cases) {
        ServiceProcess process = start_weatherd(c.args);
        EXPECT_EQ(process.wait_for_end(), 2) << c.message;
        EXPECT_NE(process.log().find(c.message), std::string::npos) << process.log();
    }
}

TEST(WeatherService, ReportsAPortInUse)
{
    ModelService first;
    ServiceProcess second = start_weatherd({"--port", std::to_string(first.port)});
    EXPECT_NE(second.wait_for_end(), 0);
    EXPECT_NE(second.log().find("cannot listen"), std::string::npos) << second.log();
}

// Log rotation renames the file and sends SIGHUP, whose default would end the service.
TEST(WeatherService, SighupReopensTheLogAndGoesOn)
{
    ModelService service({"--log"});
    std::filesystem::path log = service.process.log_path();
    std::filesystem::path rotated = log.string() + ".1";
    std::filesystem::rename(log, rotated);
    kill(service.process.pid(), SIGHUP);
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         service.process.log().find("SIGHUP: reopened") == std::string::npos &&
         std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    httplib::Result result = service.get_path("/day/shenzhen.txt");
    ASSERT_TRUE(result) << "SIGHUP ended the service";
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(service.process.stop_and_wait(), 0);
    EXPECT_NE(service.process.log().find("GET /day/shenzhen.txt 200"), std::string::npos) << service.process.log();
}

}  // namespace
