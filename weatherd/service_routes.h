// The service's addresses: the notice server's notice and banners, the weather service's
// city pages, stylesheets, scripts and images, an index, and a 404 page for the rest.
// Pages carry Cache-Control, ETag and Last-Modified, and conditional requests are
// answered with 304, so any standard HTTP cache can stand in front of the service.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <string>

#include "weatherd/http_front.h"
#include "weatherd/options.h"
#include "weatherd/places.h"
#include "weatherd/weather_sources.h"

namespace weatherd {

struct ServiceContext {
    const Options& options;
    const PlaceTable& places;
    const std::map<std::string, std::string>& images;
    WeatherSources& sources;
    std::string notice_host;         // host[:port] named in the notice's download address
    int64_t started_at = 0;          // Last-Modified of the fixed files
    std::function<int64_t()> clock;  // unix seconds
    const std::atomic<bool>& stopping;
};

// The answer to one request, as far as `patience` allows by `deadline`: nothing when it
// would have to wait for more (a city page whose data must be read or fetched first).
std::optional<HttpResponse> Answer(ServiceContext& context, const HttpRequest& request, Patience patience,
                                   const Deadline& deadline);

// The --log line of one exchange: method, path and status, and the page's source.
void LogExchange(const HttpRequest& request, const HttpResponse& response);

// The time the pages are made for: the fixed --date, else China Standard Time now.
LocalTime PageTime(const ServiceContext& context);

// "Tue, 08 Dec 2026 14:05:00 GMT"
std::string HttpDate(int64_t unix_seconds);

}  // namespace weatherd
