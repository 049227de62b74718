// How long a page may wait, and what it may wait for. A page that cannot be made at once
// gets one deadline when its request arrives, and every wait on its way (a worker, another
// page's request of its place, the lock another service holds, the provider's queue, the
// provider itself) ends by then; afterwards the page is made from what is kept. When the
// service stops, every deadline counts as passed, so waiting work ends promptly.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

namespace weatherd {

// Raised once, when the service stops. Whatever waits on a condition variable of its own
// registers a wake-up here, so that raising it ends those waits too.
class StopSignal {
public:
    void raise();
    bool raised() const { return raised_.load(); }
    // `wake` must take the lock its waiters wait under before notifying them, so that no
    // waiter can miss it between checking its deadline and starting to wait.
    void on_raise(std::function<void()> wake);

private:
    std::atomic<bool> raised_{false};
    std::mutex lock_;
    std::vector<std::function<void()>> wakes_;
};

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    // `seconds` from now; `stop` (may be null) ends it early.
    static Deadline seconds_from_now(double seconds, const StopSignal* stop = nullptr);
    // Already passed: made from what is kept, at once.
    static Deadline already_passed();

    // The same deadline `seconds` sooner: for work that is pointless to start unless it has
    // that long to finish.
    Deadline sooner(double seconds) const;

    bool passed() const;
    bool stopping() const { return stop_ && stop_->raised(); }
    double seconds_left() const;  // 0 once passed
    Clock::time_point at() const { return at_; }

private:
    Deadline(Clock::time_point at, const StopSignal* stop) : at_(at), stop_(stop) {}

    Clock::time_point at_;
    const StopSignal* stop_ = nullptr;
};

// What a page may do to be made, stage by stage: the front asks on an event thread first,
// then on a worker that may read kept files, then on a worker that may wait.
enum class Patience {
    kAtOnce,        // what is in memory; never blocks
    kFromKept,      // may read kept files; never asks the provider or waits for another's request
    kUntilDeadline  // may ask the provider and wait for it, until the deadline
};

}  // namespace weatherd
