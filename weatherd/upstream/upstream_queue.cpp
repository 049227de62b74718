#include "weatherd/upstream/upstream_queue.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "weatherd/base/service_log.h"

namespace weatherd {

namespace {

constexpr double kMinute = 60, kHour = 3600, kDay = 86400;

std::string seconds_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.0f s", std::ceil(seconds));
    return text;
}

}  // namespace

CallBudget::CallBudget(const PolitenessSettings& settings)
    : windows_{
          {kMinute, settings.per_minute, "minute"}, {kHour, settings.per_hour, "hour"}, {kDay, settings.per_day, "day"}}
{
}

// Drops the oldest spending until `cost` fits; the wait is until the last dropped one
// leaves the window.
double CallBudget::wait_in(const Window& window, double now, double cost) const
{
    if (cost > window.limit)
        return -1;
    double used = 0;
    for (const auto& [at, spent] : spent_)
        if (at > now - window.seconds)
            used += spent;
    if (used + cost <= window.limit)
        return 0;
    for (const auto& [at, spent] : spent_) {
        if (at <= now - window.seconds)
            continue;
        used -= spent;
        if (used + cost <= window.limit)
            return at + window.seconds - now;
    }
    return -1;  // unreachable: cost alone fits
}

double CallBudget::wait_for(double now, double cost) const
{
    double longest = 0;
    for (const Window& window : windows_) {
        double wait = wait_in(window, now, cost);
        if (wait < 0)
            return -1;
        longest = std::max(longest, wait);
    }
    return longest;
}

const char* CallBudget::limiting(double now, double cost) const
{
    for (const Window& window : windows_)
        if (wait_in(window, now, cost) != 0)
            return window.name;
    return "";
}

void CallBudget::spend(double now, double cost)
{
    spent_.emplace_back(now, cost);
    while (!spent_.empty() && spent_.front().first <= now - kDay)
        spent_.pop_front();
}

UpstreamQueue::UpstreamQueue(std::string provider, PolitenessSettings settings)
    : provider_(std::move(provider)), settings_(settings), budget_(settings_), in_flight_limit_(settings.in_flight)
{
}

int UpstreamQueue::in_flight_limit() const
{
    std::lock_guard guard(lock_);
    return in_flight_limit_;
}

double UpstreamQueue::now_seconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void UpstreamQueue::say_held_back(double seconds, const std::string& why)
{
    if (said_held_)
        return;
    said_held_ = true;
    log_line("requests to " + provider_ + " held back for " + seconds_text(seconds) + ": " + why);
}

double UpstreamQueue::wait_for_head(double now, double cost)
{
    if (now < held_until_)
        return held_until_ - now;
    double wait = budget_.wait_for(now, cost);
    if (wait != 0) {
        const char* window = budget_.limiting(now, cost);
        std::string why = wait < 0 ? "a request costs more than the budget allows in a " + std::string(window)
                                   : "the budget of calls per " + std::string(window) + " is spent";
        say_held_back(wait < 0 ? kDay : wait, why);
        return wait < 0 ? kDay : wait;
    }
    said_held_ = false;
    return 0;
}

bool UpstreamQueue::run(double cost, const Deadline& deadline, const std::function<void()>& request)
{
    std::unique_lock guard(lock_);
    uint64_t ticket = next_ticket_++;
    waiting_.push_back(ticket);
    double give_up = now_seconds() + deadline.seconds_left();
    for (;;) {
        double now = now_seconds();
        if (deadline.stopping())
            give_up = now;
        bool first = waiting_.front() == ticket;
        double wait = first ? wait_for_head(now, cost) : 0;
        if (now < give_up && first && wait == 0 && in_flight_ < in_flight_limit_)
            break;
        // A turn that cannot come in time is given up at once rather than waited out.
        bool hopeless = held_until_ >= give_up || (first && now + wait > give_up);
        if (now >= give_up || hopeless) {
            waiting_.erase(std::find(waiting_.begin(), waiting_.end(), ticket));
            changed_.notify_all();  // the next in line may be first now
            return false;
        }
        // A slot coming free or the queue moving wakes the waiters; the budget and a hold-back
        // run out on their own, so the head also wakes when they do.
        double until = wait > 0 ? std::min(give_up, now + wait) : give_up;
        changed_.wait_for(guard, std::chrono::duration<double>(until - now));
    }
    waiting_.pop_front();
    ++in_flight_;
    budget_.spend(now_seconds(), cost);
    changed_.notify_all();
    guard.unlock();
    struct Release {
        UpstreamQueue& queue;
        ~Release()
        {
            std::lock_guard guard(queue.lock_);
            --queue.in_flight_;
            queue.changed_.notify_all();
        }
    } release{*this};
    request();
    return true;
}

void UpstreamQueue::wake_all()
{
    std::lock_guard guard(lock_);
    changed_.notify_all();
}

void UpstreamQueue::hold_back(double seconds, std::string_view why)
{
    std::lock_guard guard(lock_);
    double now = now_seconds();
    if (now + seconds <= held_until_)
        return;
    held_until_ = now + seconds;
    said_held_ = false;
    say_held_back(seconds, std::string(why));
    changed_.notify_all();
}

void UpstreamQueue::refused_for_concurrency(double seconds, std::string_view why)
{
    std::lock_guard guard(lock_);
    int lowered = std::max(1, std::min(in_flight_limit_, in_flight_ - 1));
    std::string said(why);
    if (lowered < in_flight_limit_)
        said += "; from now on at most " + std::to_string(lowered) + " at once";
    in_flight_limit_ = lowered;
    double now = now_seconds();
    held_until_ = std::max(held_until_, now + seconds);
    said_held_ = false;
    say_held_back(seconds, said);
    changed_.notify_all();
}

}  // namespace weatherd
