// The service's addresses: the notice server's notice and banners, the weather service's
// city pages, stylesheets, scripts and images, an index, and a 404 page for the rest.
// Pages carry Cache-Control, ETag and Last-Modified, and conditional requests are
// answered with 304, so any standard HTTP cache can stand in front of the service.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "weatherd/front/http_front.h"
#include "weatherd/front/options.h"
#include "weatherd/weather/places.h"
#include "weatherd/upstream/weather_sources.h"

namespace weatherd {

// The city pages made last, one per place: a page asked for again with the same makings
// (the same data, at the same minute) is answered with the same bytes and tag rather than
// made and hashed again.
class MadePages {
public:
    struct Made {
        std::shared_ptr<const std::string> body;
        std::string tag;
    };
    // The page of `code` made from `makings`, made by `make` when it is not kept.
    Made page_for(const std::string& code, const std::string& makings, const std::function<std::string()>& make);

private:
    std::mutex lock_;
    std::map<std::string, std::pair<std::string, Made>> by_place_;  // code -> (makings, page)
};

struct ServiceContext {
    const Options& options;
    const PlaceTable& places;
    const std::map<std::string, std::string>& images;
    WeatherSources& sources;
    std::string notice_host;         // host[:port] named in the notice's download address
    int64_t started_at = 0;          // Last-Modified of the fixed files
    std::function<int64_t()> clock;  // unix seconds
    const std::atomic<bool>& stopping;
    std::shared_ptr<MadePages> made_pages = std::make_shared<MadePages>();
};

// The answer to one request, as far as `patience` allows by `deadline`: nothing when it
// would have to wait for more (a city page whose data must be read or fetched first).
std::optional<HttpResponse> answer_request(ServiceContext& context, const HttpRequest& request, Patience patience,
                                           const Deadline& deadline);

// The --log line of one exchange: method, path and status, and the page's source.
void log_exchange(const HttpRequest& request, const HttpResponse& response);

// The time the pages are made for: the fixed --date, else China Standard Time now.
LocalTime page_time(const ServiceContext& context);

// "Tue, 08 Dec 2026 14:05:00 GMT"
std::string http_date(int64_t unix_seconds);

}  // namespace weatherd
