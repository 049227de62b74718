// Politeness towards one provider, for every kind of request the service sends it (the
// forecast, air quality, ...): at most a set number of requests in flight, the rest waiting
// in one queue in the order they came, and a budget of calls per minute, hour and day.
// The free API's terms are the defaults: one request at a time per address, 600 calls a
// minute, 5,000 an hour, 10,000 a day, a request counting as more than one call when it
// asks for many variables (the caller says how many calls each request costs).
//
// When the provider refuses for concurrency or a spent budget, the caller holds the queue
// back for a while (hold_back); the requests wait, or give up and serve what is kept, but
// nothing is counted as the provider failing. Every change into a held-back state is one
// log line that says why and for how long.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "weatherd/base/deadline.h"

namespace weatherd {

struct PolitenessSettings {
    int in_flight = 1;
    double per_minute = 600;
    double per_hour = 5000;
    double per_day = 10000;
};

// Calls spent over the last minute, hour and day, by the time each was spent. Plain
// bookkeeping on times the caller gives, so that it can be checked without waiting.
class CallBudget {
public:
    explicit CallBudget(const PolitenessSettings& settings);

    // Seconds from `now` until `cost` calls fit in every window: 0 when they fit now, a
    // negative number when they never can (cost above a window's whole budget).
    double wait_for(double now, double cost) const;
    void spend(double now, double cost);
    // The window that holds `cost` back at `now`: "minute", "hour", "day", or "" for none.
    const char* limiting(double now, double cost) const;

private:
    struct Window {
        double seconds;
        double limit;
        const char* name;
    };
    double wait_in(const Window& window, double now, double cost) const;

    Window windows_[3];
    std::deque<std::pair<double, double>> spent_;  // (time, cost), oldest first, the last day
};

class UpstreamQueue {
public:
    UpstreamQueue(std::string provider, PolitenessSettings settings);

    // Waits its turn (a free slot, the budget, no hold-back, everyone before it served)
    // until `deadline`, then runs `request` holding a slot and spends `cost`. False when the
    // turn did not come in time: `request` was not run.
    bool run(double cost, const Deadline& deadline, const std::function<void()>& request);
    // Wakes every waiter to look at its deadline again (the service is stopping).
    void wake_all();

    // No new request for `seconds` from now (longer hold-backs are kept).
    void hold_back(double seconds, std::string_view why);
    // Called from inside a request the provider refused for too many at once: from now on
    // at most one fewer than were in flight go at once (never fewer than one), after a hold-back
    // of `seconds`.
    void refused_for_concurrency(double seconds, std::string_view why);
    int in_flight_limit() const;

    const PolitenessSettings& settings() const { return settings_; }

private:
    double now_seconds() const;
    // Seconds until the head of the queue may go; 0: now.
    double wait_for_head(double now, double cost);
    void say_held_back(double seconds, const std::string& why);

    std::string provider_;
    PolitenessSettings settings_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    CallBudget budget_;
    std::deque<uint64_t> waiting_;  // tickets, in arrival order
    uint64_t next_ticket_ = 0;
    int in_flight_ = 0;
    int in_flight_limit_;  // the settings' figure, lowered by refusals
    double held_until_ = 0;
    bool said_held_ = false;  // the current hold-back has been logged
};

}  // namespace weatherd
