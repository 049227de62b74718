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
void PrepareListeningSocket(int fd)
{
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int64_t UnixNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string ExecutableDirectory()
{
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

// An installed service reads the settings file installed beside the viewer; one in the
// build tree reads the built one.
std::string DefaultSettingsFile()
{
    std::string installed = ExecutableDirectory() + "/" + NIMBRA_INSTALLED_CONFIG;
    std::error_code error;
    return std::filesystem::is_regular_file(installed, error) ? installed : NIMBRA_WEATHERD_CONFIG;
}

// The listening socket systemd passed, if it passed one to this process.
int PassedListeningSocket()
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
        Fail("LISTEN_FDS: descriptor 3 is not a listening socket");
    fcntl(kFirstPassedDescriptor, F_SETFD, FD_CLOEXEC);
    return kFirstPassedDescriptor;
}

std::string SocketAddress(int fd)
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
int BindAndListen(const Options& options)
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
std::pair<int, std::string> Listen(const Options& options)
{
    if (int passed = PassedListeningSocket(); passed >= 0) {
        PrepareListeningSocket(passed);
        return {passed, SocketAddress(passed)};
    }
    int fd = BindAndListen(options);
    if (fd < 0)
        Fail("cannot listen on " + options.bind_address + ":" + std::to_string(options.port));
    PrepareListeningSocket(fd);
    std::string served = SocketAddress(fd);
    if (options.bind_address == "0.0.0.0")
        served = "127.0.0.1" + served.substr(served.rfind(':'));
    return {fd, served};
}

// The one fetch both kinds of request to the provider share. What keeps them within the
// provider's limits (in flight, per minute, hour and day) is the one UpstreamQueue the
// caches are given: the forecast and the air-quality APIs count against one address's (or
// one key's) limits.
ForecastCache::Fetch ProviderFetch(const Options& options)
{
    UpstreamLimits limits;
    limits.total_seconds = options.upstream_timeout_seconds;
    limits.connect_seconds = std::min(3.0, options.upstream_timeout_seconds);
    limits.max_body_bytes = kLongestProviderAnswer;
    return
        [limits](const std::string& url, const Deadline& deadline) { return FetchFromUpstream(url, limits, deadline); };
}

// `settings` names the kind kept and where it is asked for; the rest comes from the options.
std::unique_ptr<ForecastCache> MakeForecastCache(const Options& options, ForecastCacheSettings settings,
                                                 const ForecastCache::Fetch& fetch, UpstreamQueue& queue)
{
    if (options.source == SourceMode::kModel)
        return nullptr;
    settings.api_key = options.api_key;
    settings.directory = CacheDirectory(options);
    settings.fresh_seconds = options.cache_ttl_seconds;
    settings.pause_after_failure_seconds = options.pause_after_failure_seconds;
    std::error_code error;
    if (!settings.directory.empty() && !std::filesystem::create_directories(settings.directory, error) && error) {
        LogLine(Printable(settings.directory.string()) + ": " + error.message() + "; " + settings.kind +
                " answers are kept in memory only");
        settings.directory.clear();
    }
    return std::make_unique<ForecastCache>(settings, fetch, UnixNow, queue);
}

ForecastCacheSettings ForecastSettings(const Options& options)
{
    ForecastCacheSettings settings;
    settings.upstream = options.upstream;
    return settings;
}

ForecastCacheSettings AirQualitySettings(const Options& options)
{
    ForecastCacheSettings settings;
    settings.upstream = options.aq_upstream;
    settings.kind = "air-quality";
    settings.request_url = AirQualityRequestUrl;
    settings.parse = ParseAirQuality;
    settings.covers_daily = false;
    settings.cost = AirQualityRequestCost();
    return settings;
}

// The airport reports of every station that stands for a place, in one request; nothing in
// model mode, where the model makes them up.
std::unique_ptr<MetarCache> MakeMetarCache(const Options& options, const StationTable& stations, UpstreamQueue& queue)
{
    if (options.source == SourceMode::kModel || stations.places.empty())
        return nullptr;
    MetarCacheSettings settings;
    settings.upstream = options.metar_upstream;
    settings.stations = stations.Codes();
    settings.directory = CacheDirectory(options);
    std::error_code error;
    if (!settings.directory.empty() && !std::filesystem::create_directories(settings.directory, error) && error)
        settings.directory.clear();
    UpstreamLimits limits;
    limits.total_seconds = options.upstream_timeout_seconds;
    limits.connect_seconds = std::min(3.0, options.upstream_timeout_seconds);
    limits.max_body_bytes = kLongestMetarAnswer;
    auto fetch = [limits](const std::string& url, const Deadline& deadline) {
        return FetchFromUpstream(url, limits, deadline);
    };
    return std::make_unique<MetarCache>(settings, fetch, UnixNow, queue, ForecastCache::SteadySeconds);
}

// The signals the service takes in WaitForStopSignal, blocked in every thread.
sigset_t TakenSignals()
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
void WaitForStopSignal()
{
    sigset_t signals = TakenSignals();
    int signal_number = 0;
    while (sigwait(&signals, &signal_number) == 0 && signal_number == SIGHUP)
        ReopenLog();
    g_stopping = true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options = ParseOptions(argc, argv, DefaultSettingsFile());

    PlaceTable places;
    std::string error;
    if (!LoadPlaces(options.config_path, places, error))
        Fail(error);
    std::vector<std::string> unplaced = AttachCoordinates(places, ShippedCoordinates());
    if (!unplaced.empty() && options.source != SourceMode::kModel)
        LogLine(std::to_string(unplaced.size()) + " codes of " + options.config_path +
                " have no coordinates; their pages come from " +
                (options.source == SourceMode::kAuto ? "the model" : "nowhere (no data)"));
    std::map<std::string, std::string> images = DrawAllImages();

    // Blocked before any thread starts, so every thread inherits the mask and only the
    // waiting thread receives them.
    sigset_t signals = TakenSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    StartLogWriter();
    UpstreamClientInit();

    // One queue for both kinds: one in-flight limit and one budget for the provider.
    UpstreamQueue queue("open-meteo", options.politeness);
    ForecastCache::Fetch fetch = ProviderFetch(options);
    std::unique_ptr<ForecastCache> cache = MakeForecastCache(options, ForecastSettings(options), fetch, queue);
    std::unique_ptr<ForecastCache> air_quality_cache =
        MakeForecastCache(options, AirQualitySettings(options), fetch, queue);
    WeatherSources sources(options.source, cache.get(), options.cache_ttl_seconds, air_quality_cache.get());
    // The airport reports' API has limits of its own (some 100 requests a minute per address),
    // so a queue of its own; one request in ten minutes stays far within them.
    UpstreamQueue metar_queue("aviationweather", {1, 6, 60, 1440});
    std::unique_ptr<MetarCache> metar = MakeMetarCache(options, ShippedStations(), metar_queue);
    sources.ObserveWith(metar.get(), &ShippedStations());
    // Stopping ends every page's deadline; these wake the pages that wait on them to see it.
    StopSignal stop;
    stop.OnRaise([&queue] { queue.WakeAll(); });
    stop.OnRaise([&metar_queue] { metar_queue.WakeAll(); });
    if (metar)
        stop.OnRaise([kept = metar.get()] { kept->WakeAll(); });
    for (ForecastCache* kept : {cache.get(), air_quality_cache.get()})
        if (kept)
            stop.OnRaise([kept] { kept->WakeAll(); });

    auto [listening, served_host] = Listen(options);
    ServiceContext context{options,   places,  images,    sources, options.host.empty() ? served_host : options.host,
                           UnixNow(), UnixNow, g_stopping};
    FrontSettings front_settings;
    front_settings.most_connections = options.max_connections;
    front_settings.most_connections_per_client = options.max_connections_per_client;
    // A trickled page takes as long as it was asked to.
    front_settings.answer_deadline_seconds += options.slow_weather_seconds;
    HttpFront::Logger logger;
    if (options.log)
        logger = LogExchange;
    HttpFront front(
        front_settings, listening,
        [&context](const HttpRequest& request, Patience patience, const Deadline& deadline) {
            return Answer(context, request, patience, deadline);
        },
        logger, stop);
    if (!front.started())
        Fail("cannot serve on " + served_host);

    // The one line on stdout, which scripts wait for: in the service's name, but not a log
    // line, so it stays apart from stderr.
    std::printf("%sserving on http://%s\n", kLinePrefix, served_host.c_str());
    std::fflush(stdout);
    WaitForStopSignal();
    bool stopped = front.Stop();
    // A reader of standard error that stopped reading must not keep the service from ending.
    if (!stopped) {
        // libmicrohttpd cannot be stopped with an answer still being made: leave without it.
        LogLine("stopped with answers still being made after the stop's wait; their connections are dropped");
        FlushLog(kLongestLogFlush);
        std::_Exit(1);
    }
    FlushLog(kLongestLogFlush);
    return 0;
}
