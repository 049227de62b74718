// The provider's answers of one kind (the forecast; the air quality is a second cache of
// this class, given its kind in the settings), kept per place in memory and on disk. An
// answer is fresh for the time-to-live; past it the next page asks the provider again, and
// all pages for the same place that arrive meanwhile wait for that one request (and so do
// the other services that share the directory: a lock file per place). Requests of every
// kind go through the provider's one queue (upstream_queue.h), which keeps them within what
// the provider allows. When the provider fails, the last good answer stays in use and this
// kind's API is left alone for a while (or for as long as its Retry-After asks), so an
// offline machine pays the timeout once, not on every page; a refusal for concurrency or
// a spent budget only holds the queue back.
//
// Each place has its own lock; the one lock all places share guards only the table of
// places, so a slow disk or a planted file stalls one place at most. The rules for kept
// files and their freshness are kept_file.h's.
//
// Every wait of a page (for another page's request, for another service's lock, for the
// queue, for the provider) ends by the page's one deadline (deadline.h); a place another
// service holds past it is served from what is kept, never asked for a second time. The
// failure pause runs on the monotonic clock: the wall clock only dates answers, so a clock
// set right after running ahead cannot stop the asking.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "weatherd/base/deadline.h"
#include "weatherd/upstream/open_meteo.h"
#include "weatherd/upstream/upstream_client.h"
#include "weatherd/upstream/upstream_queue.h"

namespace weatherd {

struct ForecastCacheSettings {
    std::string upstream;             // API base, "https://host[:port]"
    std::string api_key;              // empty: the free API
    std::filesystem::path directory;  // empty: memory only
    int64_t fresh_seconds = 1800;
    int64_t pause_after_failure_seconds = 60;
    int64_t longest_retry_after_seconds = 3600;
    // The longest a page waits for its place's request, queue and lock included, when the
    // caller gives no deadline of its own; past it the page is made from what is kept.
    double longest_page_wait_seconds = 20;
    // How long the queue is held back after a refusal for concurrency.
    double concurrency_hold_back_seconds = 1;
    // What is kept: the forecast, or another answer of the provider's read into the same
    // shape (the air quality), each by its own cache with its own failure pause, both through
    // the one queue. The kind names the files on disk, their header line and the log lines;
    // `cost` is what one request counts as against the provider's budget.
    std::string kind = "forecast";
    std::function<std::string(std::string_view upstream, const Coordinates& at, std::string_view api_key)> request_url =
        forecast_request_url;
    std::function<std::optional<ProviderForecast>(std::string_view body, std::string& error)> parse = parse_forecast;
    bool covers_daily = true;  // the answer has a daily block, which must hold today too
    double cost = forecast_request_cost();
};

class ForecastCache {
public:
    using Fetch = std::function<UpstreamAnswer(const std::string& url, const Deadline& deadline)>;
    using Clock = std::function<int64_t()>;  // seconds

    // `clock` gives unix seconds (the dates of answers), `elapsed` seconds that never step
    // back (the pauses). `queue` is the provider's, shared with every other kind of request
    // to it; it must outlive the cache.
    ForecastCache(ForecastCacheSettings settings, Fetch fetch, Clock clock, UpstreamQueue& queue,
                  Clock elapsed = steady_seconds);
    static int64_t steady_seconds();

    struct Result {
        std::shared_ptr<const ProviderForecast> forecast;  // null: nothing fetched, nothing kept
        int64_t fetched_at = 0;
        bool fresh = false;
        int64_t max_age_seconds = 0;  // what is left of its freshness, 0 ... the time-to-live
    };

    // The forecast for one place, fetched first when what is kept is not fresh and the
    // provider is not being left alone; by `deadline` in any case.
    Result for_place(const std::string& code, const Coordinates& at, const Deadline& deadline);
    Result for_place(const std::string& code, const Coordinates& at);  // within the longest page wait
    // The same when it can be had at once: fresh and in memory, the place not busy.
    std::optional<Result> fresh_at_once(const std::string& code);
    // The same when it needs no request: fresh in memory or on disk, or the provider being
    // left alone (what is kept then, perhaps nothing). Nothing when the provider must be
    // asked, or is being asked for the place.
    std::optional<Result> without_asking(const std::string& code);
    // Wakes every page waiting for another's request to look at its deadline again.
    void wake_all();

private:
    struct Entry {
        std::mutex lock;
        std::condition_variable fetched;
        std::shared_ptr<const ProviderForecast> forecast;
        int64_t fetched_at = 0;
        std::atomic<bool> disk_read{false};  // read without the lock by fresh_at_once
        bool fetching = false;
        uint64_t fetches = 0;  // completed requests, so a waiter knows its request ended
        bool last_fetch_succeeded = false;
    };

    enum class Kind { kGood, kFailed, kHeldBack };
    struct Outcome {
        Kind kind = Kind::kFailed;
        std::shared_ptr<const ProviderForecast> forecast;
        int64_t fetched_at = 0;
        std::string body;
        int64_t pause_seconds = 0;  // on failure
        bool retry = false;         // held back briefly: worth asking again
        std::string error;
    };

    Outcome ask(const Coordinates& at, const Deadline& deadline);
    Outcome ask_guarded(const Coordinates& at, const Deadline& deadline);
    Outcome ask_politely(const std::string& code, const Coordinates& at, int64_t known_fetched_at,
                         const Deadline& deadline);
    void read_from_disk_once(Entry& entry, const std::string& code);
    bool left_alone() const;
    struct FromDisk {
        std::shared_ptr<const ProviderForecast> forecast;
        int64_t fetched_at = 0;
    };
    std::optional<FromDisk> read_from_disk(const std::string& code) const;
    void write_to_disk(const std::string& code, const std::string& body, int64_t fetched_at);
    std::filesystem::path file_for(const std::string& code, const char* suffix = ".json") const;
    Result kept_result(const Entry& entry, bool succeeded) const;
    Entry& entry_for(const std::string& code);

    ForecastCacheSettings settings_;
    Fetch fetch_;
    Clock clock_;
    Clock elapsed_;
    UpstreamQueue& queue_;
    std::mutex table_lock_;  // guards entries_ only
    std::map<std::string, std::unique_ptr<Entry>> entries_;
    std::atomic<int64_t> quiet_until_{0};  // on the elapsed clock
};

}  // namespace weatherd
