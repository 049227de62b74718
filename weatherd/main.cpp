// nimbra-weatherd: the notice server and the weather service the viewer talks to, on one
// port. City pages come from real forecasts (the provider, kept per place) or from a
// made-up model marked as demo data. See docs/weather-service.md for the switches.

#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <netinet/tcp.h>
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

#include "weatherd/air_quality_answer.h"
#include "weatherd/forecast_cache.h"
#include "weatherd/gif_art.h"
#include "weatherd/options.h"
#include "weatherd/places.h"
#include "weatherd/service_routes.h"
#include "weatherd/upstream_client.h"
#include "weatherd/weather_sources.h"

#ifndef NIMBRA_WEATHERD_CONFIG
#define NIMBRA_WEATHERD_CONFIG "config.ini"
#endif
#ifndef NIMBRA_INSTALLED_CONFIG
#define NIMBRA_INSTALLED_CONFIG "../lib/nimbra/config.ini"
#endif

namespace {

using namespace weatherd;

std::atomic<bool> g_stopping{false};

// The first file descriptor systemd passes with socket activation.
constexpr int kFirstPassedDescriptor = 3;

// httplib creates its own listening socket; with socket activation the service must
// serve the one it was given instead.
class WeatherServer : public httplib::Server {
 public:
  // Accepted connections inherit TCP_NODELAY from the listening socket (see below).
  void AdoptListeningSocket(int fd) {
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    svr_sock_ = fd;
  }
  // httplib listens with a backlog of 5. Clients that connect at once (viewers, or a
  // cache's connections reopened as keep-alive runs out) overflow it, and each connection
  // dropped there waits a second or more for its client to try again.
  void WidenBacklog() { ::listen(svr_sock_, SOMAXCONN); }
};

int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string ExecutableDirectory() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

// An installed service reads the settings file installed beside the viewer; one in the
// build tree reads the built one.
std::string DefaultSettingsFile() {
  std::string installed = ExecutableDirectory() + "/" + NIMBRA_INSTALLED_CONFIG;
  std::error_code error;
  return std::filesystem::is_regular_file(installed, error) ? installed : NIMBRA_WEATHERD_CONFIG;
}

// The listening socket systemd passed, if it passed one to this process.
int PassedListeningSocket() {
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

std::string SocketAddress(int fd) {
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

// Listens where the options say, or takes systemd's socket; returns host:port served.
std::string Listen(WeatherServer& server, const Options& options) {
  if (int passed = PassedListeningSocket(); passed >= 0) {
    server.AdoptListeningSocket(passed);
    return SocketAddress(passed);
  }
  // The library's default also sets SO_REUSEPORT, which would let a second service share
  // a busy port silently; a port in use must be an error instead.
  server.set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  int port = options.port;
  if (port == 0)
    port = server.bind_to_any_port(options.bind_address);
  else if (!server.bind_to_port(options.bind_address, port))
    port = -1;
  if (port <= 0)
    Fail("cannot listen on " + options.bind_address + ":" + std::to_string(options.port));
  server.WidenBacklog();
  std::string shown_address = options.bind_address == "0.0.0.0" ? "127.0.0.1" : options.bind_address;
  return shown_address + ":" + std::to_string(port);
}

// Every request to the provider, for either kind, goes through this one function: whatever
// limits the requests to the provider (in flight, per minute, hour and day) wraps it here.
ForecastCache::Fetch ProviderFetch(const Options& options) {
  UpstreamLimits limits;
  limits.total_seconds = options.upstream_timeout_seconds;
  limits.connect_seconds = std::min(3.0, options.upstream_timeout_seconds);
  return [limits](const std::string& url) { return FetchFromUpstream(url, limits); };
}

// `settings` names the kind kept and where it is asked for; the rest comes from the options.
std::unique_ptr<ForecastCache> MakeForecastCache(const Options& options, ForecastCacheSettings settings,
                                                 const ForecastCache::Fetch& fetch) {
  if (options.source == SourceMode::kModel)
    return nullptr;
  settings.directory = CacheDirectory(options);
  settings.fresh_seconds = options.cache_ttl_seconds;
  settings.pause_after_failure_seconds = options.pause_after_failure_seconds;
  std::error_code error;
  if (!settings.directory.empty() && !std::filesystem::create_directories(settings.directory, error) && error) {
    std::fprintf(stderr, "nimbra-weatherd: %s: %s; %s answers are kept in memory only\n", settings.directory.c_str(),
                 error.message().c_str(), settings.kind.c_str());
    settings.directory.clear();
  }
  return std::make_unique<ForecastCache>(settings, fetch, UnixNow);
}

ForecastCacheSettings ForecastSettings(const Options& options) {
  ForecastCacheSettings settings;
  settings.upstream = options.upstream;
  return settings;
}

ForecastCacheSettings AirQualitySettings(const Options& options) {
  ForecastCacheSettings settings;
  settings.upstream = options.aq_upstream;
  settings.kind = "air-quality";
  settings.request_url = AirQualityRequestUrl;
  settings.parse = ParseAirQuality;
  return settings;
}

// Signals are taken by one thread with sigwait, so that stopping the server happens in
// ordinary code rather than in a signal handler.
void StopOnSignal(httplib::Server& server) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  std::thread([signals, &server]() {
    int signal_number = 0;
    sigwait(&signals, &signal_number);
    g_stopping = true;
    // A signal can come before the server has begun to listen, and stop() only ends a
    // server that is running: wait for it to run first.
    while (!server.is_running())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.stop();
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseOptions(argc, argv, DefaultSettingsFile());

  PlaceTable places;
  std::string error;
  if (!LoadPlaces(options.config_path, places, error))
    Fail(error);
  std::vector<std::string> unplaced = AttachCoordinates(places, ShippedCoordinates());
  if (!unplaced.empty() && options.source != SourceMode::kModel)
    std::fprintf(stderr, "nimbra-weatherd: %zu codes of %s have no coordinates; their pages come from %s\n",
                 unplaced.size(), options.config_path.c_str(),
                 options.source == SourceMode::kAuto ? "the model" : "nowhere (no data)");
  std::map<std::string, std::string> images = DrawAllImages();

  // Blocked before any thread starts, so every thread inherits the mask and only the
  // waiting thread receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  UpstreamClientInit();

  ForecastCache::Fetch fetch = ProviderFetch(options);
  std::unique_ptr<ForecastCache> cache = MakeForecastCache(options, ForecastSettings(options), fetch);
  std::unique_ptr<ForecastCache> air_quality_cache = MakeForecastCache(options, AirQualitySettings(options), fetch);
  WeatherSources sources(options.source, cache.get(), options.cache_ttl_seconds, air_quality_cache.get());

  WeatherServer server;
  // Enough workers that many viewers (or a cache's many connections) are not queued
  // behind a few slow provider requests.
  server.new_task_queue = [] { return new httplib::ThreadPool(64); };
  // Head and body go out in separate writes; without this, Nagle's algorithm holds the
  // body back until the client's delayed acknowledgement, some 40 ms on every page.
  server.set_tcp_nodelay(true);
  server.set_keep_alive_max_count(100);
  std::string served_host = Listen(server, options);
  ServiceContext context{options, places, images, sources, options.host.empty() ? served_host : options.host,
                         UnixNow(), UnixNow, g_stopping};
  AddRoutes(server, context);
  StopOnSignal(server);

  std::printf("nimbra-weatherd: serving on http://%s\n", served_host.c_str());
  std::fflush(stdout);
  bool clean = server.listen_after_bind();
  return clean || g_stopping ? 0 : 1;
}
