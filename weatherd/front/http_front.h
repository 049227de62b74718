// Room weatherd/front/: the service as the network sees it: the HTTP front (this file),
// the routes from an address to its answer (service_routes.h) and the options it runs with
// (options.h). It may use every room below it: pages, upstream, weather and base; main.cpp
// alone stands above it.
//
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
// Answers that cannot be made at once are made on worker threads while their connection is
// suspended, so the event threads never block: first by a few readers, which may read kept
// files but wait for nothing, then, if the page must wait for the provider, by the waiting
// workers. So a page whose data is kept never queues behind pages waiting for the provider.
// Each such request has one deadline from the moment its head is in (deadline.h); a page
// still queued for a waiting worker then is made by a reader from what is kept. Stopping
// raises the stop signal, which ends every deadline: the waiting work is answered from what
// is kept, and only then is libmicrohttpd stopped.
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

#include "weatherd/base/deadline.h"

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
    // When set, the body instead: a page kept by its maker, sent without being copied.
    std::shared_ptr<const std::string> kept_body;
    double trickle_seconds = 0;  // > 0: the body goes out in pieces over this long

    std::string header(const std::string& name) const;
};

struct FrontSettings {
    int most_connections = 800;            // in all; lowered to fit the open-files limit
    int most_connections_per_client = 64;  // per client address
    int event_threads = 2;
    int readers = 4;   // for answers made from kept files
    int workers = 32;  // for answers that wait for the provider
    // A page's deadline, from its head: under the 20 s a cache in front waits for an answer
    // (install/nginx-nimbra-weatherd.conf), leaving time to make and send the page.
    double page_wait_seconds = 18;
    int idle_seconds = 10;
    double head_deadline_seconds = 10;
    double answer_deadline_seconds = 60;
    size_t connection_memory = 32 << 10;
};

class HttpFront {
public:
    // Asked with ever more patience (Patience::kAtOnce on an event thread, kFromKept on a
    // reader, kUntilDeadline on a waiting worker), returning nothing while it cannot answer
    // so; with kUntilDeadline it must answer, by the deadline.
    using Handler = std::function<std::optional<HttpResponse>(const HttpRequest&, Patience, const Deadline&)>;
    using Logger = std::function<void(const HttpRequest&, const HttpResponse&)>;

    // Serves on `listening_fd` (bound and listening; the front owns it) from the moment it is
    // made. `logger` may be empty. `stop` ends the requests' deadlines; Stop raises it.
    HttpFront(const FrontSettings& settings, int listening_fd, Handler handler, Logger logger, StopSignal& stop);
    ~HttpFront();  // stops, as Stop does
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    bool started() const { return daemon_ != nullptr; }
    // Takes no more connections, ends trickles and every request's deadline, lets the answers
    // being made finish (made from what is kept), then closes everything. False when some
    // answer was still being made after a few seconds: libmicrohttpd could not be stopped,
    // and the process must end without it.
    bool stop_serving();

    // The total connection limit after fitting it to the open-files limit.
    int connection_limit() const { return soft_limit_; }

    struct Exchange;  // one request on a connection, libmicrohttpd's per-request context
    struct Tracked;   // one connection

private:
    using Clock = std::chrono::steady_clock;

    struct Callbacks;  // libmicrohttpd's callbacks, in the .cpp
    friend struct Callbacks;

    bool queue_response(MHD_Connection* connection, Exchange& exchange);
    void mark_answering(MHD_Connection* connection);
    void mark_answered(MHD_Connection* connection);
    void cut_connection(Tracked& tracked);
    void suspend(MHD_Connection* connection);
    void resume(MHD_Connection* connection);
    void dispatch(Exchange* exchange);
    bool make_answer(Exchange& exchange, Patience patience);
    void read_loop();
    void wait_loop();
    void hand_over_overdue();
    void sweep_loop();
    void resume_at(Clock::time_point when, MHD_Connection* connection);

    FrontSettings settings_;
    Handler handler_;
    Logger logger_;
    StopSignal& stop_;
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
    std::deque<Exchange*> to_read_;  // for the readers, in arrival order
    std::deque<Exchange*> to_wait_;  // for the waiting workers, in arrival order
    std::multimap<Clock::time_point, MHD_Connection*> wakeups_;
    std::vector<std::thread> threads_;
};

}  // namespace weatherd
