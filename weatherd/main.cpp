// nimbra-weatherd: the notice server and the weather service the viewer talks to, on one
// port. City pages come from real forecasts (the provider, kept per place) or from a
// made-up model marked as demo data. See docs/weather-service.md for the switches.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "weatherd/upstream/air_quality_answer.h"
#include "weatherd/upstream/forecast_cache.h"
#include "weatherd/pages/gif_art.h"
#include "weatherd/front/http_front.h"
#include "weatherd/upstream/metar_cache.h"
#include "weatherd/front/options.h"
#include "weatherd/weather/places.h"
#include "weatherd/base/service_log.h"
#include "weatherd/front/service_routes.h"
#include "weatherd/weather/stations.h"
#include "weatherd/upstream/upstream_client.h"
#include "weatherd/upstream/upstream_queue.h"
#include "weatherd/upstream/weather_sources.h"

#ifndef NIMBRA_WEATHERD_CONFIG
#define NIMBRA_WEATHERD_CONFIG "config.ini"
#endif
#ifndef NIMBRA_INSTALLED_CONFIG
#define NIMBRA_INSTALLED_CONFIG "../lib/nimbra/config.ini"
#endif

namespace {

using namespace weatherd;

std::atomic<bool> g_stopping{false};

constexpr auto kLongestLogFlush = std::chrono::seconds(2);

// The first file descriptor systemd passes with socket activation.
constexpr int kFirstPassedDescriptor = 3;

// Head and body go out in separate writes; without TCP_NODELAY, Nagle's algorithm holds
// the body back until the client's delayed acknowledgement, some 40 ms on every page.
// Accepted connections inherit it from the listening socket.
// Non-blocking as well: the front's event threads all wait on it, and the one that loses
// the race for a connection must not block in accept().
void prepare_listening_socket(int fd)
{
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int64_t unix_now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string executable_directory()
{
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

// An installed service reads the settings file installed beside the viewer; one in the
// build tree reads the built one.
std::string default_settings_file()
{
    std::string installed = executable_directory() + "/" + NIMBRA_INSTALLED_CONFIG;
    std::error_code error;
    return std::filesystem::is_regular_file(installed, error) ? installed : NIMBRA_WEATHERD_CONFIG;
}

// The listening socket systemd passed, if it passed one to this process.
int passed_listening_socket()
{
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    if (!pid || !count || std::atol(pid) != static_cast<long>(getpid()) || std::atoi(count) < 1)
        return -1;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    int accepting = 0;
    socklen_t length = sizeof accepting;
    if (getsockopt(kFirstPassedDescriptor, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) != 0 || !accepting)
        fail("LISTEN_FDS: descriptor 3 is not a listening socket");
    fcntl(kFirstPassedDescriptor, F_SETFD, FD_CLOEXEC);
    return kFirstPassedDescriptor;
}

std::string socket_address(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        if (address.ss_family == AF_INET) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
            inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
            port = ntohs(v4->sin_port);
        } else if (address.ss_family == AF_INET6) {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
            inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
            port = ntohs(v6->sin6_port);
            return "[" + std::string(host) + "]:" + std::to_string(port);
        }
    }
    return std::string(host) + ":" + std::to_string(port);
}

// A socket bound to the options' address and port, listening; -1 when none can be had. No
// SO_REUSEPORT: a second service on a busy port must fail rather than share it silently.
int bind_and_listen(const Options& options)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(options.bind_address.c_str(), std::to_string(options.port).c_str(), &hints, &found) != 0)
        return -1;
    int fd = -1;
    for (addrinfo* at = found; at && fd < 0; at = at->ai_next) {
        fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0)
            continue;
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        // Clients that connect at once (viewers, or a cache's connections reopened as keep-alive
        // runs out) must not overflow a short backlog and wait a second to try again.
        if (bind(fd, at->ai_addr, at->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd;
}

// Listens where the options say, or takes systemd's socket; the socket, and host:port served.
std::pair<int, std::string> listen(const Options& options)
{
    if (int passed = passed_listening_socket(); passed >= 0) {
        prepare_listening_socket(passed);
        return {passed, socket_address(passed)};
    }
    int fd = bind_and_listen(options);
    if (fd < 0)
        fail("cannot listen on " + options.bind_address + ":" + std::to_string(options.port));
    prepare_listening_socket(fd);
    std::string served = socket_address(fd);
    if (options.bind_address == "0.0.0.0")
        served = "127.0.0.1" + served.substr(served.rfind(':'));
    return {fd, served};
}

// The one fetch both kinds of request to the provider share. What keeps them within the
// provider's limits (in flight, per minute, hour and day) is the one UpstreamQueue the
// caches are given: the forecast and the air-quality APIs count against one address's (or
// one key's) limits.
ForecastCache::Fetch provider_fetch(const Options& options)
{
    UpstreamLimits limits;
    limits.total_seconds = options.upstream_timeout_seconds;
    limits.connect_seconds = std::min(3.0, options.upstream_timeout_seconds);
    limits.max_body_bytes = kLongestProviderAnswer;
    return [limits](const std::string& url, const Deadline& deadline) {
        return fetch_from_upstream(url, limits, deadline);
    };
}

// `settings` names the kind kept and where it is asked for; the rest comes from the options.
std::unique_ptr<ForecastCache> make_forecast_cache(const Options& options, ForecastCacheSettings settings,
                                                   const ForecastCache::Fetch& fetch, UpstreamQueue& queue)
{
    if (options.source == SourceMode::kModel)
        return nullptr;
    settings.api_key = options.api_key;
    settings.directory = cache_directory(options);
    settings.fresh_seconds = options.cache_ttl_seconds;
    settings.pause_after_failure_seconds = options.pause_after_failure_seconds;
    std::error_code error;
    if (!settings.directory.empty() && !std::filesystem::create_directories(settings.directory, error) && error) {
        log_line(printable(settings.directory.string()) + ": " + error.message() + "; " + settings.kind +
                 " answers are kept in memory only");
        settings.directory.clear();
    }
    return std::make_unique<ForecastCache>(settings, fetch, unix_now, queue);
}

ForecastCacheSettings forecast_settings(const Options& options)
{
    ForecastCacheSettings settings;
    settings.upstream = options.upstream;
    return settings;
}

ForecastCacheSettings air_quality_settings(const Options& options)
{
    ForecastCacheSettings settings;
    settings.upstream = options.aq_upstream;
    settings.kind = "air-quality";
    settings.request_url = air_quality_request_url;
    settings.parse = parse_air_quality;
    settings.covers_daily = false;
    settings.cost = air_quality_request_cost();
    return settings;
}

// The airport reports of every station that stands for a place, in one request; nothing in
// model mode, where the model makes them up.
std::unique_ptr<MetarCache> make_metar_cache(const Options& options, const StationTable& stations, UpstreamQueue& queue)
{
    if (options.source == SourceMode::kModel || stations.places.empty())
        return nullptr;
    MetarCacheSettings settings;
    settings.upstream = options.metar_upstream;
    settings.stations = stations.station_codes();
    settings.directory = cache_directory(options);
    std::error_code error;
    if (!settings.directory.empty() && !std::filesystem::create_directories(settings.directory, error) && error)
        settings.directory.clear();
    UpstreamLimits limits;
    limits.total_seconds = options.upstream_timeout_seconds;
    limits.connect_seconds = std::min(3.0, options.upstream_timeout_seconds);
    limits.max_body_bytes = kLongestMetarAnswer;
    auto fetch = [limits](const std::string& url, const Deadline& deadline) {
        return fetch_from_upstream(url, limits, deadline);
    };
    return std::make_unique<MetarCache>(settings, fetch, unix_now, queue, ForecastCache::steady_seconds);
}

// The signals the service takes in wait_for_stop_signal, blocked in every thread.
sigset_t taken_signals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    return signals;
}

// Waits for SIGTERM or SIGINT (taken here with sigwait), so that stopping happens in
// ordinary code rather than in a signal handler. SIGHUP, which log rotation sends and whose
// default would end the service, reopens the log instead.
void wait_for_stop_signal()
{
    sigset_t signals = taken_signals();
    int signal_number = 0;
    while (sigwait(&signals, &signal_number) == 0 && signal_number == SIGHUP)
        reopen_log();
    g_stopping = true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options = parse_options(argc, argv, default_settings_file());

    PlaceTable places;
    std::string error;
    if (!load_places(options.config_path, places, error))
        fail(error);
    std::vector<std::string> unplaced = attach_coordinates(places, shipped_coordinates());
    if (!unplaced.empty() && options.source != SourceMode::kModel)
        log_line(std::to_string(unplaced.size()) + " codes of " + options.config_path +
                 " have no coordinates; their pages come from " +
                 (options.source == SourceMode::kAuto ? "the model" : "nowhere (no data)"));
    std::map<std::string, std::string> images = draw_all_images();

    // Blocked before any thread starts, so every thread inherits the mask and only the
    // waiting thread receives them.
    sigset_t signals = taken_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    start_log_writer();
    upstream_client_init();

    // One queue for both kinds: one in-flight limit and one budget for the provider.
    UpstreamQueue queue("open-meteo", options.politeness);
    ForecastCache::Fetch fetch = provider_fetch(options);
    std::unique_ptr<ForecastCache> cache = make_forecast_cache(options, forecast_settings(options), fetch, queue);
    std::unique_ptr<ForecastCache> air_quality_cache =
        make_forecast_cache(options, air_quality_settings(options), fetch, queue);
    WeatherSources sources(options.source, cache.get(), options.cache_ttl_seconds, air_quality_cache.get());
    // The airport reports' API has limits of its own (some 100 requests a minute per address),
    // so a queue of its own; one request in ten minutes stays far within them.
    UpstreamQueue metar_queue("aviationweather", {1, 6, 60, 1440});
    std::unique_ptr<MetarCache> metar = make_metar_cache(options, shipped_stations(), metar_queue);
    sources.observe_with(metar.get(), &shipped_stations());
    // Stopping ends every page's deadline; these wake the pages that wait on them to see it.
    StopSignal stop;
    stop.on_raise([&queue] { queue.wake_all(); });
    stop.on_raise([&metar_queue] { metar_queue.wake_all(); });
    if (metar)
        stop.on_raise([kept = metar.get()] { kept->wake_all(); });
    for (ForecastCache* kept : {cache.get(), air_quality_cache.get()})
        if (kept)
            stop.on_raise([kept] { kept->wake_all(); });

    auto [listening, served_host] = listen(options);
    ServiceContext context{options,    places,   images,    sources, options.host.empty() ? served_host : options.host,
                           unix_now(), unix_now, g_stopping};
    FrontSettings front_settings;
    front_settings.most_connections = options.max_connections;
    front_settings.most_connections_per_client = options.max_connections_per_client;
    // A trickled page takes as long as it was asked to.
    front_settings.answer_deadline_seconds += options.slow_weather_seconds;
    HttpFront::Logger logger;
    if (options.log)
        logger = log_exchange;
    HttpFront front(
        front_settings, listening,
        [&context](const HttpRequest& request, Patience patience, const Deadline& deadline) {
            return answer_request(context, request, patience, deadline);
        },
        logger, stop);
    if (!front.started())
        fail("cannot serve on " + served_host);

    // The one line on stdout, which scripts wait for: in the service's name, but not a log
    // line, so it stays apart from stderr.
    std::printf("%sserving on http://%s\n", kLinePrefix, served_host.c_str());
    std::fflush(stdout);
    wait_for_stop_signal();
    bool stopped = front.stop_serving();
    // A reader of standard error that stopped reading must not keep the service from ending.
    if (!stopped) {
        // libmicrohttpd cannot be stopped with an answer still being made: leave without it.
        log_line("stopped with answers still being made after the stop's wait; their connections are dropped");
        flush_log(kLongestLogFlush);
        std::_Exit(1);
    }
    flush_log(kLongestLogFlush);
    return 0;
}
