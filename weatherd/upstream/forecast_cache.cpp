#include "weatherd/upstream/forecast_cache.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <stdexcept>

#include "weatherd/upstream/kept_file.h"
#include "weatherd/base/service_log.h"

namespace weatherd {

namespace {

// A kept answer is the provider's answer as it came, after one header line:
// "nimbra-weatherd forecast fetched_at=<unix seconds>" (the kind in place of "forecast").
std::string file_header(const std::string& kind) { return "nimbra-weatherd " + kind + " "; }

// A refusal for a spent budget without Retry-After: the provider's budgets start again
// by the minute at the soonest.
constexpr double kBudgetRefusalSeconds = 60;

// A request is not started with less time than this before its page's deadline: its
// answer would come too late to be shown, and the call would be spent all the same.
constexpr double kShortestRequestSeconds = 1;

// The provider's words for a refusal of too many requests at once.
bool refused_for_concurrency(const std::string& reason) { return reason.find("oncurrent") != std::string::npos; }

std::string date_text(std::chrono::year_month_day date)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

}  // namespace

ForecastCache::ForecastCache(ForecastCacheSettings settings, Fetch fetch, Clock clock, UpstreamQueue& queue,
                             Clock elapsed)
    : settings_(std::move(settings)), fetch_(std::move(fetch)), clock_(std::move(clock)), elapsed_(std::move(elapsed)),
      queue_(queue)
{
}

int64_t ForecastCache::steady_seconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::filesystem::path ForecastCache::file_for(const std::string& code, const char* suffix) const
{
    return settings_.directory / (settings_.kind + "-" + code + suffix);
}

ForecastCache::Outcome ForecastCache::ask(const Coordinates& at, const Deadline& deadline)
{
    Outcome outcome;
    UpstreamAnswer answer = fetch_(settings_.request_url(settings_.upstream, at, settings_.api_key), deadline);
    outcome.pause_seconds = settings_.pause_after_failure_seconds;
    if (!answer.reached) {
        outcome.error = answer.error;
        if (answer.cut_short)
            outcome.kind = Kind::kHeldBack;  // the page could wait no longer: no fault of the provider's
        return outcome;
    }
    if (answer.status != 200) {
        std::string reason = refusal_reason(answer.body);
        outcome.error = "status " + std::to_string(answer.status) + (reason.empty() ? "" : ": " + reason);
        if (answer.status == 429) {
            // Too many at once, or the budget spent: requests wait, places are not paused.
            outcome.kind = Kind::kHeldBack;
            outcome.retry = refused_for_concurrency(reason);
            std::string why = "provider refused: " + printable(reason.empty() ? outcome.error : reason);
            if (outcome.retry) {
                queue_.refused_for_concurrency(settings_.concurrency_hold_back_seconds, why);
            } else {
                double seconds = static_cast<double>(answer.retry_after_seconds.value_or(kBudgetRefusalSeconds));
                queue_.hold_back(
                    std::clamp<double>(seconds, 1, static_cast<double>(settings_.longest_retry_after_seconds)), why);
            }
        } else if (answer.retry_after_seconds && answer.status == 503) {
            outcome.pause_seconds =
                std::clamp<int64_t>(*answer.retry_after_seconds, 1, settings_.longest_retry_after_seconds);
        }
        return outcome;
    }
    std::string error;
    std::optional<ProviderForecast> forecast = settings_.parse(answer.body, error);
    if (!forecast) {
        outcome.error = "malformed answer: " + error;
        return outcome;
    }
    std::chrono::year_month_day today = china_time(clock_()).date;
    if (!covers_date(*forecast, today, settings_.covers_daily)) {
        // An answer of one hourly block (the air quality's) has no daily one to name its days.
        const ForecastSeries& days = forecast->daily.times.empty() ? forecast->hourly : forecast->daily;
        outcome.error = days.times.empty()
                            ? "the answer holds no days, not even today, " + date_text(today)
                            : "the answer's days (" + date_text(days.times.front().date) + " to " +
                                  date_text(days.times.back().date) + ") do not include today, " + date_text(today);
        return outcome;
    }
    outcome.kind = Kind::kGood;
    outcome.forecast = std::make_shared<const ProviderForecast>(std::move(*forecast));
    outcome.body = std::move(answer.body);
    return outcome;
}

// A kept file that cannot be read or parsed is as good as none; the next good answer
// replaces it.
std::optional<ForecastCache::FromDisk> ForecastCache::read_from_disk(const std::string& code) const
{
    if (settings_.directory.empty())
        return std::nullopt;
    std::string why;
    std::optional<KeptFile> kept = read_kept_file(file_for(code), file_header(settings_.kind), why);
    if (!kept) {
        if (!why.empty())
            log_line(printable(file_for(code).string()) + ": " + why + "; ignored");
        return std::nullopt;
    }
    std::string error;
    std::optional<ProviderForecast> forecast = settings_.parse(kept->body, error);
    if (!forecast) {
        log_line(printable(file_for(code).string()) + ": " + error + "; ignored");
        return std::nullopt;
    }
    return FromDisk{std::make_shared<const ProviderForecast>(std::move(*forecast)), kept->fetched_at};
}

void ForecastCache::write_to_disk(const std::string& code, const std::string& body, int64_t fetched_at)
{
    if (settings_.directory.empty())
        return;
    std::string why;
    if (!write_kept_file(file_for(code), file_header(settings_.kind), body, fetched_at, why))
        log_line(printable(file_for(code).string()) + ": cannot write the kept " + settings_.kind + ": " + why);
}

// Whatever happens to the request, the place is no longer being fetched afterwards and
// everyone waiting for it is woken, so no page can wait for a fetch that ended.
ForecastCache::Outcome ForecastCache::ask_guarded(const Coordinates& at, const Deadline& deadline)
{
    try {
        return ask(at, deadline);
    } catch (const std::exception& error) {
        Outcome outcome;
        outcome.pause_seconds = settings_.pause_after_failure_seconds;
        outcome.error = error.what();
        return outcome;
    }
}

// Under the place's lock file, so that of the services sharing the directory one asks; a
// service that waited for another's request finds its answer on disk. A place another
// service holds until the deadline is not asked for a second time: the page is made from
// what is kept.
ForecastCache::Outcome ForecastCache::ask_politely(const std::string& code, const Coordinates& at,
                                                   int64_t known_fetched_at, const Deadline& deadline)
{
    Outcome outcome;
    outcome.kind = Kind::kHeldBack;
    std::optional<PlaceLock> lock;
    if (!settings_.directory.empty()) {
        lock.emplace(file_for(code, ".lock"), deadline);
        if (!lock->held() && lock->waited())
            return outcome;
        if (!lock->held()) {
            log_line(printable(file_for(code, ".lock").string()) + ": " + lock->why() + "; asked without it");
        } else if (std::optional<FromDisk> kept = read_from_disk(code);
                   kept && kept->fetched_at > known_fetched_at &&
                   freshness_at(kept->fetched_at, clock_(), settings_.fresh_seconds).fresh) {
            outcome.kind = Kind::kGood;  // another service has just fetched it
            outcome.forecast = kept->forecast;
            outcome.fetched_at = kept->fetched_at;
            return outcome;
        }
    }
    // A refusal for concurrency holds the queue back briefly; the place asks again after it,
    // as long as its page would still wait.
    bool ran = false;
    for (bool again = true; again;) {
        ran = queue_.run(settings_.cost, deadline.sooner(kShortestRequestSeconds),
                         [&] { outcome = ask_guarded(at, deadline); });
        again = ran && outcome.kind == Kind::kHeldBack && outcome.retry;
    }
    if (ran && outcome.kind == Kind::kGood) {
        outcome.fetched_at = clock_();
        write_to_disk(code, outcome.body, outcome.fetched_at);
    }
    return outcome;
}

ForecastCache::Entry& ForecastCache::entry_for(const std::string& code)
{
    std::lock_guard guard(table_lock_);
    std::unique_ptr<Entry>& entry = entries_[code];
    if (!entry)
        entry = std::make_unique<Entry>();
    return *entry;
}

ForecastCache::Result ForecastCache::kept_result(const Entry& entry, bool succeeded) const
{
    Freshness freshness = freshness_at(entry.fetched_at, clock_(), settings_.fresh_seconds);
    bool fresh = entry.forecast && succeeded && freshness.fresh;
    return {entry.forecast, entry.fetched_at, fresh, fresh ? freshness.max_age_seconds : 0};
}

void ForecastCache::read_from_disk_once(Entry& entry, const std::string& code)
{
    if (entry.disk_read)
        return;
    if (std::optional<FromDisk> kept = read_from_disk(code))
        entry.forecast = kept->forecast, entry.fetched_at = kept->fetched_at;
    entry.disk_read = true;
}

bool ForecastCache::left_alone() const { return elapsed_() < quiet_until_; }

void ForecastCache::wake_all()
{
    std::lock_guard table_guard(table_lock_);
    for (auto& [code, entry] : entries_) {
        std::lock_guard guard(entry->lock);
        entry->fetched.notify_all();
    }
}

std::optional<ForecastCache::Result> ForecastCache::without_asking(const std::string& code)
{
    Entry& entry = entry_for(code);
    std::lock_guard guard(entry.lock);
    read_from_disk_once(entry, code);
    if (entry.forecast && freshness_at(entry.fetched_at, clock_(), settings_.fresh_seconds).fresh)
        return kept_result(entry, true);
    if (entry.fetching || !left_alone())
        return std::nullopt;
    return kept_result(entry, false);
}

std::optional<ForecastCache::Result> ForecastCache::fresh_at_once(const std::string& code)
{
    Entry* entry = nullptr;
    {
        std::lock_guard guard(table_lock_);
        auto found = entries_.find(code);
        if (found == entries_.end())
            return std::nullopt;
        entry = found->second.get();
    }
    // The place's lock is held only briefly once its kept file has been read (a fetch runs
    // without it), so taking it here does not hold the event thread up.
    if (!entry->disk_read)
        return std::nullopt;
    std::lock_guard guard(entry->lock);
    if (!entry->forecast || !freshness_at(entry->fetched_at, clock_(), settings_.fresh_seconds).fresh)
        return std::nullopt;
    return kept_result(*entry, true);
}

ForecastCache::Result ForecastCache::for_place(const std::string& code, const Coordinates& at)
{
    return for_place(code, at, Deadline::seconds_from_now(settings_.longest_page_wait_seconds));
}

ForecastCache::Result ForecastCache::for_place(const std::string& code, const Coordinates& at, const Deadline& deadline)
{
    Entry& entry = entry_for(code);
    std::unique_lock guard(entry.lock);
    read_from_disk_once(entry, code);
    if (entry.forecast && freshness_at(entry.fetched_at, clock_(), settings_.fresh_seconds).fresh)
        return kept_result(entry, true);
    if (entry.fetching) {
        // The other request's outcome is this page's too, fresh or not: waiting for it and
        // then asking again would send the requests one after another after all. A page waits
        // for it until its own deadline (the other may wait its turn in the queue, then for
        // its answer); past that it is made from what is kept.
        uint64_t awaited = entry.fetches;
        if (!entry.fetched.wait_until(guard, deadline.at(),
                                      [&] { return entry.fetches != awaited || deadline.stopping(); }) ||
            entry.fetches == awaited)
            return kept_result(entry, false);
        return kept_result(entry, entry.last_fetch_succeeded);
    }
    if (left_alone() || deadline.passed())
        return kept_result(entry, false);

    entry.fetching = true;
    int64_t known_fetched_at = entry.forecast ? entry.fetched_at : 0;
    guard.unlock();
    Outcome outcome = ask_politely(code, at, known_fetched_at, deadline);
    int64_t answered_at = elapsed_();
    guard.lock();
    entry.fetching = false;
    ++entry.fetches;
    entry.last_fetch_succeeded = outcome.kind == Kind::kGood;
    if (outcome.kind == Kind::kGood) {
        entry.forecast = outcome.forecast;
        entry.fetched_at = outcome.fetched_at;
    } else if (outcome.kind == Kind::kFailed) {
        int64_t until = answered_at + outcome.pause_seconds;
        for (int64_t quiet = quiet_until_; quiet < until && !quiet_until_.compare_exchange_weak(quiet, until);) {
        }
        log_line(settings_.kind + " for " + printable(code) + ": " + printable(outcome.error) +
                 "; provider left alone for " + std::to_string(outcome.pause_seconds) + " s");
    }
    entry.fetched.notify_all();
    return kept_result(entry, entry.last_fetch_succeeded);
}

}  // namespace weatherd
