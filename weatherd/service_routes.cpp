#include "weatherd/service_routes.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "weatherd/static_pages.h"
#include "weatherd/weather_page.h"

namespace weatherd {

namespace {

constexpr char kHtml[] = "text/html; charset=utf-8";
constexpr int64_t kFixedFileSeconds = 86400;
constexpr int64_t kNoticeSeconds = 300;

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
  response.set_content(NotFoundPage(request.path), kHtml);
}

std::string EntityTag(const std::string& body) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : body)
    hash = (hash ^ c) * 1099511628211ull;
  char tag[24];
  std::snprintf(tag, sizeof tag, "\"%016llx\"", static_cast<unsigned long long>(hash));
  return tag;
}

std::optional<int64_t> ParseHttpDate(const std::string& text) {
  std::tm parts{};
  const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  if (!end || *end != '\0')
    return std::nullopt;
  return static_cast<int64_t>(timegm(&parts));
}

// An ETag match decides alone; without If-None-Match, If-Modified-Since does.
bool StillValid(const httplib::Request& request, const std::string& tag, int64_t last_modified) {
  if (request.has_header("If-None-Match")) {
    std::string wanted = request.get_header_value("If-None-Match");
    return wanted == "*" || wanted.find(tag) != std::string::npos;
  }
  if (request.has_header("If-Modified-Since")) {
    std::optional<int64_t> since = ParseHttpDate(request.get_header_value("If-Modified-Since"));
    return since && last_modified <= *since;
  }
  return false;
}

void SendCacheable(const httplib::Request& request, httplib::Response& response, std::string body,
                   const char* content_type, int64_t last_modified, int64_t max_age_seconds) {
  std::string tag = EntityTag(body);
  response.set_header("Cache-Control", "public, max-age=" + std::to_string(max_age_seconds));
  response.set_header("ETag", tag);
  response.set_header("Last-Modified", HttpDate(last_modified));
  if (StillValid(request, tag, last_modified)) {
    response.status = 304;
    return;
  }
  response.set_content(std::move(body), content_type);
}

// Sleeps in short steps so that a stop request does not wait for a long trickle.
bool PauseUnlessStopping(double seconds, const std::atomic<bool>& stopping) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (stopping)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return !stopping;
}

void SendTrickled(httplib::Response& response, std::string body, double seconds, const std::atomic<bool>& stopping) {
  constexpr size_t kPieces = 20;
  auto shared = std::make_shared<std::string>(std::move(body));
  size_t piece = std::max<size_t>(1, (shared->size() + kPieces - 1) / kPieces);
  double pause = seconds / kPieces;
  response.set_content_provider(shared->size(), kHtml,
                                [shared, piece, pause, &stopping](size_t offset, size_t length, httplib::DataSink& sink) {
                                  if (!PauseUnlessStopping(pause, stopping))
                                    return false;
                                  return sink.write(shared->data() + offset, std::min(piece, length));
                                });
}

void SendWeatherPage(ServiceContext& context, const Place& place, const httplib::Request& request,
                     httplib::Response& response) {
  LocalTime now = PageTime(context);
  SourcedReport sourced = context.sources.ForPlace(place, now);
  std::string page = WeatherPage(place, sourced.report, sourced.provenance, now);
  response.set_header("X-Nimbra-Source", SourceName(sourced.provenance, UnixSeconds(now)));
  if (context.options.slow_weather_seconds > 0) {
    SendTrickled(response, std::move(page), context.options.slow_weather_seconds, context.stopping);
    return;
  }
  SendCacheable(request, response, std::move(page), kHtml, sourced.last_modified, sourced.max_age_seconds);
}

}  // namespace

std::string HttpDate(int64_t unix_seconds) {
  std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[40];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

LocalTime PageTime(const ServiceContext& context) {
  return context.options.fixed_time ? *context.options.fixed_time : ChinaTime(context.clock());
}

void AddRoutes(httplib::Server& server, ServiceContext& context) {
  server.Get("/day/shenzhen.txt", [&context](const httplib::Request& request, httplib::Response& response) {
    if (context.options.notice == NoticeKind::kMissing)
      return SendNotFound(request, response);
    SendCacheable(request, response, NoticeText(context.options, context.notice_host), "text/plain",
                  context.started_at, kNoticeSeconds);
  });
  server.Get("/day/shenzhen1.htm", [&context](const httplib::Request& request, httplib::Response& response) {
    SendCacheable(request, response, StripBannerPage(PageTime(context)), kHtml, context.started_at, kNoticeSeconds);
  });
  server.Get("/day/shenzhen.htm", [&context](const httplib::Request& request, httplib::Response& response) {
    SendCacheable(request, response, WelcomeBannerPage(PageTime(context)), kHtml, context.started_at, kNoticeSeconds);
  });
  server.Get("/download/(nimbra\\.htm)?", [&context](const httplib::Request& request, httplib::Response& response) {
    SendCacheable(request, response, DownloadPage(), kHtml, context.started_at, kFixedFileSeconds);
  });
  server.Get("/", [&context](const httplib::Request& request, httplib::Response& response) {
    SendCacheable(request, response, IndexPage(context.places), kHtml, context.started_at, kNoticeSeconds);
  });
  server.Get("/weather/([^/]*)\\.shtml", [&context](const httplib::Request& request, httplib::Response& response) {
    const Place* place = context.places.Find(request.matches[1].str());
    if (!place)
      return SendNotFound(request, response);
    SendWeatherPage(context, *place, request, response);
  });
  server.Get("/m2/.*", [&context](const httplib::Request& request, httplib::Response& response) {
    if (const StaticFile* file = FindStaticFile(request.path))
      return SendCacheable(request, response, file->body, file->content_type, context.started_at, kFixedFileSeconds);
    auto image = context.images.find(request.path);
    if (image == context.images.end())
      return SendNotFound(request, response);
    SendCacheable(request, response, image->second, "image/gif", context.started_at, kFixedFileSeconds);
  });
  server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
    if (response.status == 404 && response.body.empty())
      SendNotFound(request, response);
  });
  if (context.options.log) {
    server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
      std::string source = response.get_header_value("X-Nimbra-Source");
      std::fprintf(stderr, "nimbra-weatherd: %s %s %d%s%s\n", request.method.c_str(), request.path.c_str(), response.status,
                   source.empty() ? "" : " source=", source.c_str());
    });
  }
}

}  // namespace weatherd
