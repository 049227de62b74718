// The airport weather reports of every station at once, asked of the Aviation Weather Center
// in one request at most every ten minutes however many pages want them, and kept in memory
// and on disk (DIR/metar.json, by kept_file.h's rules) so that a restart does not ask again.
// Pages wait for that one request as they wait for a forecast: by their deadline, through the
// given queue (upstream_queue.h), under a lock file shared by the services of one directory.
// A failed request leaves the API alone for the ten minutes, or longer when it says so.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "weatherd/base/deadline.h"
#include "weatherd/weather/metar_answer.h"
#include "weatherd/upstream/upstream_client.h"
#include "weatherd/upstream/upstream_queue.h"

namespace weatherd {

struct MetarCacheSettings {
    std::string upstream = "https://aviationweather.gov";
    std::vector<std::string> stations;  // ICAO codes, all asked for in the one request
    std::filesystem::path directory;    // empty: memory only
    int64_t refresh_seconds = 600;      // the shortest time between two requests
    int64_t longest_retry_after_seconds = 3600;
    // The last twelve whole hours and the twenty minutes before the first of them.
    int hours = 14;
    double cost = 1;
};

class MetarCache {
public:
    using Fetch = std::function<UpstreamAnswer(const std::string& url, const Deadline& deadline)>;
    using Clock = std::function<int64_t()>;  // seconds

    // `clock` gives unix seconds, `elapsed` seconds that never step back. `queue` must outlive
    // the cache.
    MetarCache(MetarCacheSettings settings, Fetch fetch, Clock clock, UpstreamQueue& queue, Clock elapsed);

    struct Result {
        std::shared_ptr<const std::vector<MetarReport>> reports;  // null: nothing fetched, nothing kept
        int64_t fetched_at = 0;
        int64_t max_age_seconds = 0;  // until the next request is due
    };

    // The reports when they can be had from memory at once and no request is due.
    std::optional<Result> at_once();
    // The same from memory or disk; nothing when a request is due or being made.
    std::optional<Result> without_asking();
    // The reports, asked for first when a request is due; by `deadline` in any case.
    Result reports_by(const Deadline& deadline);
    void wake_all();

private:
    struct Outcome {
        bool good = false;
        bool failed = false;  // the API's fault (not the page's deadline)
        std::shared_ptr<const std::vector<MetarReport>> reports;
        std::string body;
        int64_t fetched_at = 0;
        int64_t pause_seconds = 0;
        std::string error;
    };
    Outcome ask(const Deadline& deadline);
    Outcome ask_politely(const Deadline& deadline);
    void read_from_disk_once();
    std::optional<Result> read_from_disk() const;
    bool fetch_due() const;  // under lock_
    Result kept_reports() const;
    std::filesystem::path file_for(const char* suffix) const;

    MetarCacheSettings settings_;
    Fetch fetch_;
    Clock clock_;
    UpstreamQueue& queue_;
    Clock elapsed_;
    std::mutex lock_;
    std::condition_variable fetched_;
    std::shared_ptr<const std::vector<MetarReport>> reports_;
    int64_t fetched_at_ = 0;
    bool disk_read_ = false;
    bool fetching_ = false;
    uint64_t fetches_ = 0;
    int64_t next_ask_ = 0;  // on the elapsed clock
};

}  // namespace weatherd
