#include "weatherd/front/options.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "weatherd/upstream/open_meteo.h"
#include "weatherd/base/service_log.h"

namespace weatherd {

namespace {

std::string format_number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

const char kUsage[] =
    "usage: nimbra-weatherd [options]\n"
    "  --port N               port to serve on (default 8370; 0 picks a free one)\n"
    "  --bind ADDRESS         address to listen on (default 127.0.0.1)\n"
    "  --host HOST[:PORT]     host named in the notice's download address (default: where it serves)\n"
    "  --notice KIND          current | newer | empty | missing | bom (default current)\n"
    "  --notice-text TEXT     serve TEXT as the notice; \\r \\n \\t \\\\ and \\xHH are decoded\n"
    "  --slow-weather SECONDS trickle every weather page over SECONDS\n"
    "  --config FILE          settings file whose codes get pages (default: the shipped config.ini)\n"
    "  --date YYYY-MM-DD[THH:MM]  pretend it is this local date and time\n"
    "  --log                  print one line per request on stderr\n"
    "  --source KIND          open-meteo | model | auto (default auto: open-meteo, the model where it has nothing)\n"
    "  --upstream URL         forecast API base (default https://api.open-meteo.com, with a key\n"
    "                         https://customer-api.open-meteo.com)\n"
    "  --aq-upstream URL      air-quality API base (default: --upstream's URL when given, else\n"
    "                         https://air-quality-api.open-meteo.com, with a key its customer- host)\n"
    "  --metar-upstream URL   airport reports' API base (default: --upstream's URL when given, else\n"
    "                         https://aviationweather.gov)\n"
    "  --cache-dir DIR        where forecasts are kept (default $XDG_CACHE_HOME/nimbra, else ~/.cache/nimbra)\n"
    "  --cache-ttl SECONDS    how long a forecast is fresh (default 1800)\n"
    "  --upstream-timeout SECONDS  longest wait for the provider's answer (default 8)\n"
    "  --failure-pause SECONDS     how long the provider is left alone after a failure (default 60)\n"
    "  --upstream-in-flight N      most requests to the provider at once, both APIs (default 1)\n"
    "  --upstream-budget M/H/D     most provider calls a minute/hour/day, both APIs (default 600/5000/10000)\n"
    "  --api-key file:PATH | env:NAME  the paid service's key, from a file or the environment\n"
    "  --max-connections N         most client connections in all (default 800, kept under the open-files limit)\n"
    "  --max-connections-per-client N  most connections from one address (default 64)\n";

std::string decode_escapes(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        char c = text[++i];
        if (c == 'r')
            out.push_back('\r');
        else if (c == 'n')
            out.push_back('\n');
        else if (c == 't')
            out.push_back('\t');
        else if (c == '\\')
            out.push_back('\\');
        else if (c == 'x' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back('\\');
            out.push_back(c);
        }
    }
    return out;
}

NoticeKind parse_notice_kind(const std::string& value)
{
    if (value == "current")
        return NoticeKind::kCurrent;
    if (value == "newer")
        return NoticeKind::kNewer;
    if (value == "empty")
        return NoticeKind::kEmpty;
    if (value == "missing")
        return NoticeKind::kMissing;
    if (value == "bom")
        return NoticeKind::kBom;
    fail("--notice: unknown kind \"" + value + "\" (current, newer, empty, missing, bom)");
}

int parse_port(const std::string& value)
{
    char* end = nullptr;
    long port = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || port < 0 || port > 65535)
        fail("--port: \"" + value + "\" is not a port number (0 to 65535)");
    return static_cast<int>(port);
}

double parse_seconds(const std::string& name, const std::string& value, double least, double most)
{
    char* end = nullptr;
    double seconds = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !(seconds >= least) || seconds > most)
        fail(name + ": \"" + value + "\" is not a number of seconds (" + format_number(least) + " to " +
             format_number(most) + ")");
    return seconds;
}

LocalTime parse_date(const std::string& value)
{
    int year = 0, hour = 12, minute = 0;
    unsigned month = 0, day = 0;
    int fields = std::sscanf(value.c_str(), "%d-%u-%uT%d:%d", &year, &month, &day, &hour, &minute);
    std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}};
    if ((fields != 3 && fields != 5) || !date.ok() || hour < 0 || hour > 23 || minute < 0 || minute > 59)
        fail("--date: \"" + value + "\" is not YYYY-MM-DD or YYYY-MM-DDTHH:MM");
    return {date, hour, minute};
}

int parse_count(const std::string& name, const std::string& value, long least, long most)
{
    char* end = nullptr;
    long count = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || count < least || count > most)
        fail(name + ": \"" + value + "\" is not a whole number from " + std::to_string(least) + " to " +
             std::to_string(most));
    return static_cast<int>(count);
}

PolitenessSettings parse_budget(const std::string& value, PolitenessSettings politeness)
{
    double minute = 0, hour = 0, day = 0;
    char tail = 0;
    if (std::sscanf(value.c_str(), "%lf/%lf/%lf%c", &minute, &hour, &day, &tail) != 3 || !(minute >= 1) ||
        !(hour >= minute) || !(day >= hour) || day > 1e9)
        fail("--upstream-budget: \"" + value +
             "\" is not MINUTE/HOUR/DAY, each at least the one before (600/5000/10000)");
    politeness.per_minute = minute, politeness.per_hour = hour, politeness.per_day = day;
    return politeness;
}

// A key is letters, digits, '-' and '_'; what surrounds it in a file (a line end) is not
// part of it.
std::string read_api_key(const std::string& source)
{
    constexpr size_t kLongestKey = 256;
    std::string key;
    std::string where;
    if (source.rfind("file:", 0) == 0) {
        where = source.substr(5);
        std::ifstream file(where, std::ios::binary);
        if (!file)
            fail("--api-key: cannot read " + where);
        char buffer[kLongestKey + 2] = {};
        file.read(buffer, sizeof buffer - 1);
        key.assign(buffer, static_cast<size_t>(file.gcount()));
    } else if (source.rfind("env:", 0) == 0) {
        where = "$" + source.substr(4);
        const char* value = std::getenv(source.substr(4).c_str());
        if (!value)
            fail("--api-key: " + where + " is not set");
        key = value;
    } else {
        fail("--api-key: give file:PATH or env:NAME; a key on the command line is visible to every user in ps");
    }
    while (!key.empty() && std::isspace(static_cast<unsigned char>(key.back())))
        key.pop_back();
    bool plain = !key.empty() && key.size() <= kLongestKey;
    for (char c : key)
        plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_');
    if (!plain)
        fail("--api-key: " + where + " does not hold a key (letters, digits, '-' and '_', at most 256)");
    return key;
}

}  // namespace

[[noreturn]] void fail(const std::string& message)
{
    log_line(message);
    flush_log(std::chrono::seconds(2));
    std::exit(2);
}

Options parse_options(int argc, char** argv, const std::string& default_config)
{
    Options options;
    options.config_path = default_config;
    bool upstream_given = false, aq_upstream_given = false, metar_upstream_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string name = arg, value;
        bool has_value = false;
        if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        auto take_value = [&]() -> std::string {
            if (has_value)
                return value;
            if (i + 1 >= argc)
                fail(name + ": needs a value");
            return argv[++i];
        };
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (name == "--port") {
            options.port = parse_port(take_value());
        } else if (name == "--bind") {
            options.bind_address = take_value();
        } else if (name == "--host") {
            options.host = take_value();
        } else if (name == "--notice") {
            options.notice = parse_notice_kind(take_value());
        } else if (name == "--notice-text") {
            options.notice = NoticeKind::kText;
            options.notice_text = decode_escapes(take_value());
        } else if (name == "--slow-weather") {
            options.slow_weather_seconds = parse_seconds(name, take_value(), 0, 3600);
        } else if (name == "--config") {
            options.config_path = take_value();
        } else if (name == "--date") {
            options.fixed_time = parse_date(take_value());
        } else if (name == "--log") {
            options.log = true;
        } else if (name == "--source") {
            std::string value = take_value();
            std::optional<SourceMode> mode = parse_source_mode(value);
            if (!mode)
                fail("--source: unknown source \"" + value + "\" (open-meteo, model, auto)");
            options.source = *mode;
        } else if (name == "--upstream") {
            options.upstream = take_value();
            upstream_given = true;
            if (options.upstream.rfind("http://", 0) != 0 && options.upstream.rfind("https://", 0) != 0)
                fail("--upstream: \"" + options.upstream + "\" is not an http:// or https:// address");
        } else if (name == "--aq-upstream") {
            options.aq_upstream = take_value();
            if (options.aq_upstream.rfind("http://", 0) != 0 && options.aq_upstream.rfind("https://", 0) != 0)
                fail("--aq-upstream: \"" + options.aq_upstream + "\" is not an http:// or https:// address");
            aq_upstream_given = true;
        } else if (name == "--metar-upstream") {
            options.metar_upstream = take_value();
            if (options.metar_upstream.rfind("http://", 0) != 0 && options.metar_upstream.rfind("https://", 0) != 0)
                fail("--metar-upstream: \"" + options.metar_upstream + "\" is not an http:// or https:// address");
            metar_upstream_given = true;
        } else if (name == "--cache-dir") {
            options.cache_dir = take_value();
            if (options.cache_dir.empty())
                fail("--cache-dir: needs a directory");
        } else if (name == "--cache-ttl") {
            options.cache_ttl_seconds = static_cast<int64_t>(parse_seconds(name, take_value(), 0, 86400 * 7));
        } else if (name == "--upstream-timeout") {
            options.upstream_timeout_seconds = parse_seconds(name, take_value(), 0.1, 60);
        } else if (name == "--failure-pause") {
            options.pause_after_failure_seconds = static_cast<int64_t>(parse_seconds(name, take_value(), 0, 86400));
        } else if (name == "--upstream-in-flight") {
            options.politeness.in_flight = parse_count(name, take_value(), 1, 64);
        } else if (name == "--upstream-budget") {
            options.politeness = parse_budget(take_value(), options.politeness);
        } else if (name == "--api-key") {
            options.api_key = read_api_key(take_value());
        } else if (name == "--max-connections") {
            options.max_connections = parse_count(name, take_value(), 1, 100000);
        } else if (name == "--max-connections-per-client") {
            options.max_connections_per_client = parse_count(name, take_value(), 1, 100000);
        } else {
            std::fputs(kUsage, stderr);
            fail("unknown option \"" + arg + "\"");
        }
    }
    // The paid service answers on its own hosts; an explicit --upstream or --aq-upstream
    // still wins, and an --upstream alone names both APIs.
    if (!options.api_key.empty() && !upstream_given)
        options.upstream = kCustomerUpstream;
    // A self-hosted provider, or a test's, serves every API at one address: never the public
    // airport reports' API for a service pointed elsewhere.
    if (!metar_upstream_given && upstream_given)
        options.metar_upstream = options.upstream;
    if (!aq_upstream_given)
        options.aq_upstream = upstream_given            ? options.upstream
                              : options.api_key.empty() ? options.aq_upstream
                                                        : kCustomerAirQualityUpstream;
    return options;
}

std::string cache_directory(const Options& options)
{
    if (!options.cache_dir.empty())
        return options.cache_dir;
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && cache[0] == '/')
        return std::string(cache) + "/nimbra";
    if (const char* home = std::getenv("HOME"); home && home[0])
        return std::string(home) + "/.cache/nimbra";
    return "";
}

}  // namespace weatherd
