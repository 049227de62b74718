// nimbra-demo: a local stand-in for the notice server and the weather service, so the
// viewer can be run and tested with no internet. See docs/demo.md for the switches.

#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

#include "demo/gif_art.h"
#include "demo/places.h"
#include "demo/static_pages.h"
#include "demo/weather_page.h"

#ifndef NIMBRA_DEMO_CONFIG
#define NIMBRA_DEMO_CONFIG "config.ini"
#endif

namespace {

using namespace demo;

enum class NoticeKind { kCurrent, kNewer, kEmpty, kMissing, kBom, kText };

struct Options {
  int port = 8370;
  std::string bind_address = "127.0.0.1";
  std::string host;  // host[:port] in the notice's download address; empty: the served address
  NoticeKind notice = NoticeKind::kCurrent;
  std::string notice_text;
  double slow_weather_seconds = 0;
  std::string config_path = NIMBRA_DEMO_CONFIG;
  std::optional<LocalTime> fixed_time;
  bool log = false;
};

const char kUsage[] =
    "usage: nimbra-demo [options]\n"
    "  --port N               port to serve on (default 8370; 0 picks a free one)\n"
    "  --bind ADDRESS         address to listen on (default 127.0.0.1)\n"
    "  --host HOST[:PORT]     host named in the notice's download address (default: where it serves)\n"
    "  --notice KIND          current | newer | empty | missing | bom (default current)\n"
    "  --notice-text TEXT     serve TEXT as the notice; \\r \\n \\t \\\\ and \\xHH are decoded\n"
    "  --slow-weather SECONDS trickle every weather page over SECONDS\n"
    "  --config FILE          settings file whose codes get pages (default: the shipped config.ini)\n"
    "  --date YYYY-MM-DD[THH:MM]  pretend it is this local date and time\n"
    "  --log                  print one line per request on stderr\n";

std::atomic<bool> g_stopping{false};

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "nimbra-demo: %s\n", message.c_str());
  std::exit(2);
}

std::string DecodeEscapes(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    char c = text[++i];
    if (c == 'r') out.push_back('\r');
    else if (c == 'n') out.push_back('\n');
    else if (c == 't') out.push_back('\t');
    else if (c == '\\') out.push_back('\\');
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

NoticeKind ParseNoticeKind(const std::string& value) {
  if (value == "current") return NoticeKind::kCurrent;
  if (value == "newer") return NoticeKind::kNewer;
  if (value == "empty") return NoticeKind::kEmpty;
  if (value == "missing") return NoticeKind::kMissing;
  if (value == "bom") return NoticeKind::kBom;
  Fail("--notice: unknown kind \"" + value + "\" (current, newer, empty, missing, bom)");
}

int ParsePort(const std::string& value) {
  char* end = nullptr;
  long port = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || port < 0 || port > 65535)
    Fail("--port: \"" + value + "\" is not a port number (0 to 65535)");
  return static_cast<int>(port);
}

double ParseSeconds(const std::string& value) {
  char* end = nullptr;
  double seconds = std::strtod(value.c_str(), &end);
  if (value.empty() || *end != '\0' || !(seconds >= 0) || seconds > 3600)
    Fail("--slow-weather: \"" + value + "\" is not a number of seconds (0 to 3600)");
  return seconds;
}

LocalTime ParseDate(const std::string& value) {
  int year = 0, hour = 12, minute = 0;
  unsigned month = 0, day = 0;
  int fields = std::sscanf(value.c_str(), "%d-%u-%uT%d:%d", &year, &month, &day, &hour, &minute);
  std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}};
  if ((fields != 3 && fields != 5) || !date.ok() || hour < 0 || hour > 23 || minute < 0 || minute > 59)
    Fail("--date: \"" + value + "\" is not YYYY-MM-DD or YYYY-MM-DDTHH:MM");
  return {date, hour, minute};
}

Options ParseOptions(int argc, char** argv) {
  Options options;
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
        Fail(name + ": needs a value");
      return argv[++i];
    };
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (name == "--port") {
      options.port = ParsePort(take_value());
    } else if (name == "--bind") {
      options.bind_address = take_value();
    } else if (name == "--host") {
      options.host = take_value();
    } else if (name == "--notice") {
      options.notice = ParseNoticeKind(take_value());
    } else if (name == "--notice-text") {
      options.notice = NoticeKind::kText;
      options.notice_text = DecodeEscapes(take_value());
    } else if (name == "--slow-weather") {
      options.slow_weather_seconds = ParseSeconds(take_value());
    } else if (name == "--config") {
      options.config_path = take_value();
    } else if (name == "--date") {
      options.fixed_time = ParseDate(take_value());
    } else if (name == "--log") {
      options.log = true;
    } else {
      std::fputs(kUsage, stderr);
      Fail("unknown option \"" + arg + "\"");
    }
  }
  return options;
}

LocalTime Now(const Options& options) {
  if (options.fixed_time)
    return *options.fixed_time;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {std::chrono::year_month_day{std::chrono::year{local.tm_year + 1900},
                                      std::chrono::month{static_cast<unsigned>(local.tm_mon + 1)},
                                      std::chrono::day{static_cast<unsigned>(local.tm_mday)}},
          local.tm_hour, local.tm_min};
}

std::string NoticeText(const Options& options, const std::string& host) {
  std::string address = "http://" + host + "/download/nimbra.htm";
  switch (options.notice) {
    case NoticeKind::kCurrent: return "1.0----" + address;
    case NoticeKind::kNewer: return "1.1----" + address;
    case NoticeKind::kBom: return "\xEF\xBB\xBF" "1.0----" + address;
    case NoticeKind::kText: return options.notice_text;
    case NoticeKind::kEmpty:
    case NoticeKind::kMissing: break;
  }
  return "";
}

void SendNotFound(const httplib::Request& request, httplib::Response& response) {
  response.status = 404;
  response.set_content(NotFoundPage(request.path), "text/html; charset=utf-8");
}

// Sleeps in short steps so that a stop request does not wait for a long trickle.
bool PauseUnlessStopping(double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (g_stopping)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return !g_stopping;
}

void SendTrickled(httplib::Response& response, std::string body, double seconds) {
  constexpr size_t kPieces = 20;
  auto shared = std::make_shared<std::string>(std::move(body));
  size_t piece = std::max<size_t>(1, (shared->size() + kPieces - 1) / kPieces);
  double pause = seconds / kPieces;
  response.set_content_provider(shared->size(), "text/html; charset=utf-8",
                                [shared, piece, pause](size_t offset, size_t length, httplib::DataSink& sink) {
                                  if (!PauseUnlessStopping(pause))
                                    return false;
                                  return sink.write(shared->data() + offset, std::min(piece, length));
                                });
}

void AddRoutes(httplib::Server& server, const Options& options, const PlaceTable& places,
               const std::map<std::string, std::string>& images, const std::string& notice_host) {
  server.Get("/day/shenzhen.txt", [&options, notice_host](const httplib::Request& request, httplib::Response& response) {
    if (options.notice == NoticeKind::kMissing)
      return SendNotFound(request, response);
    response.set_content(NoticeText(options, notice_host), "text/plain");
  });
  server.Get("/day/shenzhen1.htm", [&options](const httplib::Request&, httplib::Response& response) {
    response.set_content(StripBannerPage(Now(options)), "text/html; charset=utf-8");
  });
  server.Get("/day/shenzhen.htm", [&options](const httplib::Request&, httplib::Response& response) {
    response.set_content(WelcomeBannerPage(Now(options)), "text/html; charset=utf-8");
  });
  server.Get("/download/(nimbra\\.htm)?", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(DownloadPage(), "text/html; charset=utf-8");
  });
  server.Get("/", [&places](const httplib::Request&, httplib::Response& response) {
    response.set_content(IndexPage(places), "text/html; charset=utf-8");
  });
  server.Get("/weather/([^/]*)\\.shtml", [&options, &places](const httplib::Request& request, httplib::Response& response) {
    const Place* place = places.Find(request.matches[1].str());
    if (!place)
      return SendNotFound(request, response);
    std::string page = WeatherPage(*place, Now(options));
    if (options.slow_weather_seconds > 0)
      SendTrickled(response, std::move(page), options.slow_weather_seconds);
    else
      response.set_content(page, "text/html; charset=utf-8");
  });
  server.Get("/m2/.*", [&images](const httplib::Request& request, httplib::Response& response) {
    if (const StaticFile* file = FindStaticFile(request.path))
      return response.set_content(file->body, file->content_type);
    auto image = images.find(request.path);
    if (image == images.end())
      return SendNotFound(request, response);
    response.set_content(image->second, "image/gif");
  });
  server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
    if (response.status == 404 && response.body.empty())
      SendNotFound(request, response);
  });
  if (options.log) {
    server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
      std::fprintf(stderr, "nimbra-demo: %s %s %d\n", request.method.c_str(), request.path.c_str(), response.status);
    });
  }
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
  Options options = ParseOptions(argc, argv);

  PlaceTable places;
  std::string error;
  if (!LoadPlaces(options.config_path, places, error))
    Fail(error);
  std::map<std::string, std::string> images = DrawAllImages();

  // Blocked before any thread starts, so every thread inherits the mask and only the
  // waiting thread receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  // The library's default also sets SO_REUSEPORT, which would let a second demo share a
  // busy port silently; a port in use must be an error instead.
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

  std::string shown_address = options.bind_address == "0.0.0.0" ? "127.0.0.1" : options.bind_address;
  std::string served_host = shown_address + ":" + std::to_string(port);
  AddRoutes(server, options, places, images, options.host.empty() ? served_host : options.host);
  StopOnSignal(server);

  std::printf("nimbra-demo: serving on http://%s\n", served_host.c_str());
  std::fflush(stdout);
  bool clean = server.listen_after_bind();
  return clean || g_stopping ? 0 : 1;
}
