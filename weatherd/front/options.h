// The service's switches. A bad switch is one line on standard error and exit status 2.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "weatherd/upstream/upstream_queue.h"
#include "weatherd/weather/weather_report.h"
#include "weatherd/upstream/weather_sources.h"

namespace weatherd {

enum class NoticeKind { kCurrent, kNewer, kEmpty, kMissing, kBom, kText };

struct Options {
    int port = 8370;
    std::string bind_address = "127.0.0.1";
    std::string host;  // host[:port] in the notice's download address; empty: the served address
    NoticeKind notice = NoticeKind::kCurrent;
    std::string notice_text;
    double slow_weather_seconds = 0;
    std::string config_path;
    std::optional<LocalTime> fixed_time;
    bool log = false;
    SourceMode source = SourceMode::kAuto;
    std::string upstream = "https://api.open-meteo.com";  // with an API key: the customer host
    // The air-quality API, with an API key its customer host. A self-hosted provider, or a
    // test's, serves both APIs at one address, so an --upstream without --aq-upstream names
    // both.
    std::string aq_upstream = "https://air-quality-api.open-meteo.com";
    // The Aviation Weather Center's API, for the hourly block of places with an airport
    // weather station; an --upstream without --metar-upstream names it too.
    std::string metar_upstream = "https://aviationweather.gov";
    std::string api_key;    // read from a file or the environment, never from the command line
    std::string cache_dir;  // empty: $XDG_CACHE_HOME/nimbra, else ~/.cache/nimbra
    int64_t cache_ttl_seconds = 1800;
    double upstream_timeout_seconds = 8;
    int64_t pause_after_failure_seconds = 60;
    PolitenessSettings politeness;
    int max_connections = 800;
    int max_connections_per_client = 64;
};

Options parse_options(int argc, char** argv, const std::string& default_config);

[[noreturn]] void fail(const std::string& message);

// The cache directory the options name, or the default one.
std::string cache_directory(const Options& options);

}  // namespace weatherd
