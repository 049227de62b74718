// The service's HTTP front, on libmicrohttpd: a few event-driven threads hold every
// connection, so idle and slow clients cost a descriptor and a little memory each, not a
// thread. What it bounds, for every client:
//   - a request's head: 32 KB (the connection's memory); a request with a body is answered
//     413 at once and its connection closed, unread;
//   - time: a request's head must be complete within the head deadline of the connection's
//     opening or of its previous answer, however it trickles in; an answer must be gone
//     within the answer deadline; an idle connection is closed after the idle time;
//   - connections: at most so many per client address and so many in all, the total kept
//     below the open-files limit; when the total is reached, a new connection closes the
//     oldest one that has no request being answered, so a flood of idle connections
//     cannot lock a normal client out.
// Range is not honoured: every answer is the whole entity, one part.
//
// Answers that may wait (a city page waiting for the provider) are made on worker threads
// while their connection is suspended, so the event threads never block.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace weatherd {

struct HttpRequest {
    std::string method;
    std::string path;                            // decoded, without the query
    std::map<std::string, std::string> headers;  // names in lower case

    bool has_header(const std::string& lower_name) const { return headers.count(lower_name) != 0; }
    std::string header(const std::string& lower_name) const;
};

struct HttpResponse {
    int status = 200;
    std::string content_type;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    double trickle_seconds = 0;  // > 0: the body goes out in pieces over this long

    std::string header(const std::string& name) const;
};

struct FrontSettings {
    int most_connections = 800;            // in all; lowered to fit the open-files limit
    int most_connections_per_client = 64;  // per client address
    int event_threads = 2;
    int workers = 32;  // for answers that may wait
    int idle_seconds = 10;
    double head_deadline_seconds = 10;
    double answer_deadline_seconds = 60;
    size_t connection_memory = 32 << 10;
};

class HttpFront {
public:
    // Asked first on an event thread with may_wait false, where it returns nothing rather
    // than wait; then on a worker with may_wait true, where it must answer.
    using Handler = std::function<std::optional<HttpResponse>(const HttpRequest&, bool may_wait)>;
    using Logger = std::function<void(const HttpRequest&, const HttpResponse&)>;

    // Serves on `listening_fd` (bound and listening; the front owns it) from the moment it is
    // made. `logger` may be empty.
    HttpFront(const FrontSettings& settings, int listening_fd, Handler handler, Logger logger);
    ~HttpFront();  // stops, as Stop does
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    bool started() const { return daemon_ != nullptr; }
    // Takes no more connections, ends trickles, lets answers being made finish (for at most
    // the answer deadline), then closes everything.
    void Stop();

    // The total connection limit after fitting it to the open-files limit.
    int connection_limit() const { return soft_limit_; }

    struct Exchange;  // one request on a connection, libmicrohttpd's per-request context
    struct Tracked;   // one connection

private:
    using Clock = std::chrono::steady_clock;

    struct Callbacks;  // libmicrohttpd's callbacks, in the .cpp
    friend struct Callbacks;

    bool Queue(MHD_Connection* connection, Exchange& exchange);
    void MarkAnswering(MHD_Connection* connection);
    void MarkAnswered(MHD_Connection* connection);
    void Cut(Tracked& tracked);
    void Suspend(MHD_Connection* connection);
    void Resume(MHD_Connection* connection);
    void Submit(std::function<void()> job);
    void WorkLoop();
    void SweepLoop();
    void ResumeAt(Clock::time_point when, MHD_Connection* connection);

    FrontSettings settings_;
    Handler handler_;
    Logger logger_;
    int soft_limit_ = 0;
    MHD_Daemon* daemon_ = nullptr;

    std::mutex lock_;  // everything below
    std::condition_variable changed_;
    bool stopping_ = false;
    bool finished_ = false;  // libmicrohttpd stopped: the threads end
    std::map<MHD_Connection*, Tracked*> connections_;
    int cut_ = 0;        // connections shut down, not yet closed
    int suspended_ = 0;  // connections waiting for a worker or a trickle's next piece
    int busy_workers_ = 0;
    std::deque<std::function<void()>> jobs_;
    std::multimap<Clock::time_point, MHD_Connection*> wakeups_;
    std::vector<std::thread> threads_;
};

}  // namespace weatherd
