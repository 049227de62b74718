#include "weatherd/front/service_routes.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "weatherd/base/service_log.h"
#include "weatherd/pages/static_pages.h"
#include "weatherd/pages/weather_page.h"

namespace weatherd {

namespace {

constexpr char kHtml[] = "text/html; charset=utf-8";
constexpr int64_t kFixedFileSeconds = 86400;
constexpr int64_t kNoticeSeconds = 300;

std::string notice_text_for(const Options& options, const std::string& host)
{
    std::string address = "http://" + host + "/download/nimbra.htm";
    switch (options.notice) {
    case NoticeKind::kCurrent: return "1.0----" + address;
    case NoticeKind::kNewer: return "1.1----" + address;
    case NoticeKind::kBom:
        return "\xEF\xBB\xBF"
               "1.0----" +
               address;
    case NoticeKind::kText: return options.notice_text;
    case NoticeKind::kEmpty:
    case NoticeKind::kMissing: break;
    }
    return "";
}

HttpResponse not_found(const HttpRequest& request)
{
    HttpResponse response;
    response.status = 404;
    response.content_type = kHtml;
    // What the client sent need not be UTF-8: the page shows it as ASCII.
    response.body = not_found_page(printable_ascii(request.path));
    return response;
}

std::string entity_tag(const std::string& body)
{
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : body)
        hash = (hash ^ c) * 1099511628211ull;
    char tag[24];
    std::snprintf(tag, sizeof tag, "\"%016llx\"", static_cast<unsigned long long>(hash));
    return tag;
}

std::optional<int64_t> parse_http_date(const std::string& text)
{
    std::tm parts{};
    const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
    if (!end || *end != '\0')
        return std::nullopt;
    return static_cast<int64_t>(timegm(&parts));
}

// An ETag match decides alone; without If-None-Match, If-Modified-Since does.
bool still_valid(const HttpRequest& request, const std::string& tag, int64_t last_modified)
{
    if (request.has_header("if-none-match")) {
        std::string wanted = request.header("if-none-match");
        return wanted == "*" || wanted.find(tag) != std::string::npos;
    }
    if (request.has_header("if-modified-since")) {
        std::optional<int64_t> since = parse_http_date(request.header("if-modified-since"));
        return since && last_modified <= *since;
    }
    return false;
}

HttpResponse cacheable(const HttpRequest& request, MadePages::Made page, const char* content_type,
                       int64_t last_modified, int64_t max_age_seconds)
{
    HttpResponse response;
    response.headers = {{"Cache-Control", "public, max-age=" + std::to_string(max_age_seconds)},
                        {"ETag", page.tag},
                        {"Last-Modified", http_date(last_modified)}};
    if (still_valid(request, page.tag, last_modified)) {
        response.status = 304;
        return response;
    }
    response.content_type = content_type;
    response.kept_body = std::move(page.body);
    return response;
}

HttpResponse cacheable(const HttpRequest& request, std::string body, const char* content_type, int64_t last_modified,
                       int64_t max_age_seconds)
{
    std::string tag = entity_tag(body);
    return cacheable(request, {std::make_shared<const std::string>(std::move(body)), std::move(tag)}, content_type,
                     last_modified, max_age_seconds);
}

// Everything a city page is made from besides its place: the minute it is made for (its
// hours, ages and issue time), and what its data is and how old: the forecast's, the air
// quality's and the station's reports.
std::string page_makings(const SourcedReport& sourced, const LocalTime& now)
{
    const Provenance& data = sourced.provenance;
    const AirQualitySource& air = sourced.report.air_quality_source;
    const std::optional<StationSource>& station = sourced.report.station;
    char makings[200];
    std::snprintf(makings, sizeof makings, "%lld|%d:%lld:%d|%d:%lld:%d|%d:%lld",
                  static_cast<long long>(to_unix_seconds(now) / 60), static_cast<int>(data.kind),
                  static_cast<long long>(data.fetched_at), data.stale, static_cast<int>(air.kind),
                  static_cast<long long>(air.fetched_at), air.stale, station ? static_cast<int>(station->kind) : -1,
                  station ? static_cast<long long>(station->newest_report) : 0LL);
    return makings;
}

std::optional<HttpResponse> weather_page_answer(ServiceContext& context, const Place& place, const HttpRequest& request,
                                                Patience patience, const Deadline& deadline)
{
    LocalTime now = page_time(context);
    std::optional<SourcedReport> had = context.sources.for_place(place, now, patience, deadline);
    if (!had)
        return std::nullopt;
    SourcedReport& sourced = *had;
    std::string source = source_name(sourced.provenance, to_unix_seconds(now));
    HttpResponse response;
    if (context.options.slow_weather_seconds > 0) {
        // Trickled pages are for trying clients out: sent whole, over the time asked for.
        response.content_type = kHtml;
        response.body = weather_page(place, sourced.report, sourced.provenance, now);
        response.trickle_seconds = context.options.slow_weather_seconds;
    } else {
        MadePages::Made page = context.made_pages->page_for(place.code, page_makings(sourced, now), [&] {
            return weather_page(place, sourced.report, sourced.provenance, now);
        });
        response = cacheable(request, std::move(page), kHtml, sourced.last_modified, sourced.max_age_seconds);
    }
    response.headers.emplace_back("X-Nimbra-Source", source);
    return response;
}

// "/weather/CODE.shtml": CODE, or nothing for any other path.
std::optional<std::string> city_code(const std::string& path)
{
    constexpr std::string_view kPrefix = "/weather/", kSuffix = ".shtml";
    if (!path.starts_with(kPrefix) || !path.ends_with(kSuffix) || path.size() < kPrefix.size() + kSuffix.size())
        return std::nullopt;
    std::string code = path.substr(kPrefix.size(), path.size() - kPrefix.size() - kSuffix.size());
    if (code.find('/') != std::string::npos)
        return std::nullopt;
    return code;
}

}  // namespace

MadePages::Made MadePages::page_for(const std::string& code, const std::string& makings,
                                    const std::function<std::string()>& make)
{
    {
        std::lock_guard guard(lock_);
        auto kept = by_place_.find(code);
        if (kept != by_place_.end() && kept->second.first == makings)
            return kept->second.second;
    }
    std::string body = make();
    Made made{nullptr, entity_tag(body)};
    made.body = std::make_shared<const std::string>(std::move(body));
    std::lock_guard guard(lock_);
    by_place_[code] = {makings, made};
    return made;
}

std::string http_date(int64_t unix_seconds)
{
    std::time_t t = static_cast<std::time_t>(unix_seconds);
    std::tm parts{};
    gmtime_r(&t, &parts);
    char text[40];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

LocalTime page_time(const ServiceContext& context)
{
    return context.options.fixed_time ? *context.options.fixed_time : china_time(context.clock());
}

std::optional<HttpResponse> answer_request(ServiceContext& context, const HttpRequest& request, Patience patience,
                                           const Deadline& deadline)
{
    const std::string& path = request.path;
    // No address holds a NUL; what follows one must not make another address's alias
    // ("/weather/CODE.shtml%00.txt" for a cache in front).
    if (path.find('\0') != std::string::npos)
        return not_found(request);
    if (path == "/day/shenzhen.txt") {
        if (context.options.notice == NoticeKind::kMissing)
            return not_found(request);
        return cacheable(request, notice_text_for(context.options, context.notice_host), "text/plain",
                         context.started_at, kNoticeSeconds);
    }
    if (path == "/day/shenzhen1.htm")
        return cacheable(request, strip_banner_page(page_time(context)), kHtml, context.started_at, kNoticeSeconds);
    if (path == "/day/shenzhen.htm")
        return cacheable(request, welcome_banner_page(page_time(context)), kHtml, context.started_at, kNoticeSeconds);
    if (path == "/download/" || path == "/download/nimbra.htm")
        return cacheable(request, download_page(), kHtml, context.started_at, kFixedFileSeconds);
    if (path == "/")
        return cacheable(request, index_page(context.places), kHtml, context.started_at, kNoticeSeconds);
    if (std::optional<std::string> code = city_code(path)) {
        const Place* place = context.places.find(*code);
        if (!place)
            return not_found(request);
        return weather_page_answer(context, *place, request, patience, deadline);
    }
    if (path.starts_with("/m2/")) {
        if (const StaticFile* file = find_static_file(path))
            return cacheable(request, file->body, file->content_type, context.started_at, kFixedFileSeconds);
        auto image = context.images.find(path);
        if (image != context.images.end())
            return cacheable(request, image->second, "image/gif", context.started_at, kFixedFileSeconds);
    }
    return not_found(request);
}

void log_exchange(const HttpRequest& request, const HttpResponse& response)
{
    std::string source = response.header("X-Nimbra-Source");
    log_line(printable_ascii(request.method) + " " + printable_ascii(request.path) + " " +
             std::to_string(response.status) + (source.empty() ? "" : " source=" + printable(source)));
}

}  // namespace weatherd
