#include "weatherd/upstream/metar_cache.h"

#include <algorithm>

#include "weatherd/upstream/kept_file.h"
#include "weatherd/base/service_log.h"

namespace weatherd {

namespace {

const char kHeader[] = "nimbra-weatherd metar ";

// A refusal without Retry-After: such budgets start again by the minute at the soonest.
constexpr double kRefusalHoldBackSeconds = 60;
// The API's documentation speaks of a maximum of results per query (400 on most endpoints):
// an answer that large may have been cut, and the stations cut off would read as silent.
constexpr size_t kPerhapsCutAtReports = 400;

// A request is not started with less time than this before its page's deadline.
constexpr double kShortestRequestSeconds = 1;

}  // namespace

MetarCache::MetarCache(MetarCacheSettings settings, Fetch fetch, Clock clock, UpstreamQueue& queue, Clock elapsed)
    : settings_(std::move(settings)), fetch_(std::move(fetch)), clock_(std::move(clock)), queue_(queue),
      elapsed_(std::move(elapsed))
{
}

std::filesystem::path MetarCache::file_for(const char* suffix) const
{
    return settings_.directory / ("metar" + std::string(suffix));
}

MetarCache::Result MetarCache::kept_reports() const
{
    Freshness freshness = freshness_at(fetched_at_, clock_(), settings_.refresh_seconds);
    return {reports_, fetched_at_, reports_ && freshness.fresh ? freshness.max_age_seconds : 0};
}

bool MetarCache::fetch_due() const
{
    if (reports_ && freshness_at(fetched_at_, clock_(), settings_.refresh_seconds).fresh)
        return false;
    return elapsed_() >= next_ask_;
}

std::optional<MetarCache::Result> MetarCache::read_from_disk() const
{
    if (settings_.directory.empty())
        return std::nullopt;
    std::string why;
    std::optional<KeptFile> kept = read_kept_file(file_for(".json"), kHeader, why, kLongestMetarAnswer + 64);
    if (!kept) {
        if (!why.empty())
            log_line(printable(file_for(".json").string()) + ": " + why + "; ignored");
        return std::nullopt;
    }
    std::string error;
    std::optional<std::vector<MetarReport>> reports = parse_metar_answer(kept->body, error);
    if (!reports) {
        log_line(printable(file_for(".json").string()) + ": " + error + "; ignored");
        return std::nullopt;
    }
    return Result{std::make_shared<const std::vector<MetarReport>>(std::move(*reports)), kept->fetched_at, 0};
}

void MetarCache::read_from_disk_once()
{
    if (disk_read_)
        return;
    if (std::optional<Result> kept = read_from_disk())
        reports_ = kept->reports, fetched_at_ = kept->fetched_at;
    disk_read_ = true;
}

MetarCache::Outcome MetarCache::ask(const Deadline& deadline)
{
    Outcome outcome;
    outcome.pause_seconds = settings_.refresh_seconds;
    UpstreamAnswer answer;
    try {
        answer = fetch_(metar_request_url(settings_.upstream, settings_.stations, settings_.hours), deadline);
    } catch (const std::exception& error) {
        outcome.failed = true;
        outcome.error = error.what();
        return outcome;
    }
    if (!answer.reached) {
        outcome.failed = !answer.cut_short;
        outcome.error = answer.error;
        return outcome;
    }
    // No reports at all for the stations asked: an empty answer, not a fault.
    if (answer.status == 204)
        answer.status = 200, answer.body = "[]";
    if (answer.status != 200) {
        outcome.failed = true;
        outcome.error = "status " + std::to_string(answer.status);
        if (answer.retry_after_seconds && (answer.status == 429 || answer.status == 503))
            outcome.pause_seconds = std::clamp<int64_t>(*answer.retry_after_seconds, settings_.refresh_seconds,
                                                        settings_.longest_retry_after_seconds);
        if (answer.status == 429)
            queue_.hold_back(static_cast<double>(answer.retry_after_seconds.value_or(kRefusalHoldBackSeconds)),
                             "aviationweather refused: status 429");
        return outcome;
    }
    std::string error;
    std::optional<std::vector<MetarReport>> reports = parse_metar_answer(answer.body, error);
    if (!reports) {
        outcome.failed = true;
        outcome.error = "malformed answer: " + error;
        return outcome;
    }
    if (reports->size() >= kPerhapsCutAtReports)
        log_line("metar: the answer holds " + std::to_string(reports->size()) +
                 " reports, perhaps cut at the API's maximum: stations left out read as having no recent report");
    outcome.good = true;
    outcome.reports = std::make_shared<const std::vector<MetarReport>>(std::move(*reports));
    outcome.body = std::move(answer.body);
    return outcome;
}

// Under the lock file, so that of the services sharing the directory one asks; one that
// waited finds the other's answer on disk.
MetarCache::Outcome MetarCache::ask_politely(const Deadline& deadline)
{
    Outcome outcome;
    std::optional<PlaceLock> lock;
    if (!settings_.directory.empty()) {
        lock.emplace(file_for(".lock"), deadline);
        if (!lock->held() && lock->waited())
            return outcome;
        if (!lock->held()) {
            log_line(printable(file_for(".lock").string()) + ": " + lock->why() + "; asked without it");
        } else if (std::optional<Result> kept = read_from_disk();
                   kept && freshness_at(kept->fetched_at, clock_(), settings_.refresh_seconds).fresh) {
            outcome.good = true;
            outcome.reports = kept->reports;
            outcome.fetched_at = kept->fetched_at;  // another service has just asked
            return outcome;
        }
    }
    bool ran = queue_.run(settings_.cost, deadline.sooner(kShortestRequestSeconds), [&] { outcome = ask(deadline); });
    if (!ran || !outcome.good)
        return outcome;
    outcome.fetched_at = clock_();
    if (!settings_.directory.empty()) {
        std::string why;
        if (!write_kept_file(file_for(".json"), kHeader, outcome.body, outcome.fetched_at, why))
            log_line(printable(file_for(".json").string()) + ": cannot write the kept reports: " + why);
    }
    return outcome;
}

std::optional<MetarCache::Result> MetarCache::at_once()
{
    std::unique_lock guard(lock_, std::try_to_lock);
    if (!guard.owns_lock() || !disk_read_ || fetching_ || fetch_due())
        return std::nullopt;
    return kept_reports();
}

std::optional<MetarCache::Result> MetarCache::without_asking()
{
    std::lock_guard guard(lock_);
    read_from_disk_once();
    if (fetching_ || fetch_due())
        return std::nullopt;
    return kept_reports();
}

void MetarCache::wake_all()
{
    std::lock_guard guard(lock_);
    fetched_.notify_all();
}

MetarCache::Result MetarCache::reports_by(const Deadline& deadline)
{
    std::unique_lock guard(lock_);
    read_from_disk_once();
    if (fetching_) {
        uint64_t awaited = fetches_;
        fetched_.wait_until(guard, deadline.at(), [&] { return fetches_ != awaited || deadline.stopping(); });
        return kept_reports();
    }
    if (!fetch_due() || deadline.passed())
        return kept_reports();
    fetching_ = true;
    int64_t asked_at = elapsed_();
    next_ask_ = asked_at + settings_.refresh_seconds;
    guard.unlock();
    Outcome outcome = ask_politely(deadline);
    int64_t answered_at = elapsed_();
    guard.lock();
    fetching_ = false;
    ++fetches_;
    if (outcome.good) {
        reports_ = outcome.reports;
        fetched_at_ = outcome.fetched_at;
    } else if (outcome.failed) {
        next_ask_ = std::max(next_ask_, answered_at + outcome.pause_seconds);
        log_line("metar: " + printable(outcome.error) + "; aviationweather left alone for " +
                 std::to_string(next_ask_ - answered_at) + " s");
    } else {
        next_ask_ = answered_at;  // no request was made (the page's deadline came first)
    }
    fetched_.notify_all();
    return kept_reports();
}

}  // namespace weatherd
