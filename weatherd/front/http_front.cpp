#include "weatherd/front/http_front.h"

#include <microhttpd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace weatherd {

namespace {

// Descriptors kept free of connections: the listening socket, the event threads' own,
// kept files, lock files, requests to the provider, standard streams.
constexpr int kReservedFiles = 96;
// libmicrohttpd's own limit sits above ours, so that the oldest connection can be closed
// to make room before libmicrohttpd would refuse the new one.
constexpr int kLimitHeadroom = 32;
constexpr auto kSweepEvery = std::chrono::milliseconds(200);
constexpr int kTricklePieces = 20;
// Every answer being made when the service stops is made from what is kept at once; a
// slow disk may take a moment.
constexpr auto kLongestStopWait = std::chrono::seconds(10);

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The request target's path, decoded. An absolute-form target ("http://host/path", as a
// proxy sends it) is served as its path. Decoded here, not by libmicrohttpd, whose decoded
// path is a C string that ends at the first %00: "/weather/X.shtml%00.txt" would be the page.
std::string target_path(std::string_view target)
{
    for (std::string_view scheme : {"http://", "https://"}) {
        if (target.size() >= scheme.size() && lower(std::string(target.substr(0, scheme.size()))) == scheme) {
            size_t path = target.find('/', scheme.size());
            target = path == std::string_view::npos ? std::string_view("/") : target.substr(path);
            break;
        }
    }
    std::string path;
    for (size_t i = 0; i < target.size(); ++i) {
        if (target[i] == '%' && i + 2 < target.size() && std::isxdigit(static_cast<unsigned char>(target[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(target[i + 2]))) {
            path.push_back(static_cast<char>(std::stoi(std::string(target.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            path.push_back(target[i]);
        }
    }
    return path;
}

// Leaves the target as it came, for target_path.
size_t keep_escaped(void*, MHD_Connection*, char* target) { return std::strlen(target); }

int fit_to_open_files(int wanted)
{
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return wanted;
    long room = static_cast<long>(files.rlim_cur) - kReservedFiles - kLimitHeadroom;
    return static_cast<int>(std::clamp<long>(room, 1, wanted));
}

}  // namespace

std::string HttpRequest::header(const std::string& lower_name) const
{
    auto found = headers.find(lower_name);
    return found == headers.end() ? "" : found->second;
}

std::string HttpResponse::header(const std::string& name) const
{
    for (const auto& [key, value] : headers)
        if (lower(key) == lower(name))
            return value;
    return "";
}

struct HttpFront::Tracked {
    int fd = -1;
    Clock::time_point opened;
    Clock::time_point deadline;
    bool answering = false;  // a request's head is in and its answer not yet gone
    bool cut = false;        // shut down by the front; libmicrohttpd closes it next
};

struct HttpFront::Exchange {
    HttpFront* front = nullptr;
    MHD_Connection* connection = nullptr;
    HttpRequest request;
    HttpResponse response;
    Deadline deadline = Deadline::already_passed();
    Patience next = Patience::kFromKept;  // what the next worker may do to answer
    bool answered = false;                // `response` is ready
    bool dispatched = false;              // handed to a worker
    size_t trickle_piece = 0;
    Clock::time_point next_piece;
};

struct HttpFront::Callbacks {
    static MHD_Result on_request(void* self, MHD_Connection* connection, const char* url, const char* method,
                                 const char* version, const char*, size_t* upload_size, void** context)
    {
        auto* front = static_cast<HttpFront*>(self);
        auto* exchange = static_cast<Exchange*>(*context);
        if (!exchange) {
            exchange = new Exchange;
            *context = exchange;
            exchange->front = front;
            exchange->connection = connection;
            exchange->request.method = method;
            exchange->request.path = target_path(url);
            exchange->deadline = Deadline::seconds_from_now(front->settings_.page_wait_seconds, &front->stop_);
            MHD_get_connection_values(
                connection, MHD_HEADER_KIND,
                [](void* into, MHD_ValueKind, const char* key, const char* value) {
                    static_cast<HttpRequest*>(into)->headers[lower(key)] = value ? value : "";
                    return MHD_YES;
                },
                &exchange->request);
            front->mark_answering(connection);
            // No address takes a body: answer before reading any, and the connection closes.
            std::string length = exchange->request.header("content-length");
            if ((!length.empty() && length != "0") || exchange->request.has_header("transfer-encoding")) {
                exchange->response.status = 413;
                exchange->response.content_type = "text/plain";
                exchange->response.body = "413 no address of this service takes a request body\n";
                exchange->answered = true;
                return front->queue_response(connection, *exchange) ? MHD_YES : MHD_NO;
            }
            // HTTP/1.1 makes Host mandatory, and a server must refuse a request without it.
            if (std::strcmp(version, MHD_HTTP_VERSION_1_1) == 0 && !exchange->request.has_header("host")) {
                exchange->response.status = 400;
                exchange->response.content_type = "text/plain";
                exchange->response.body = "400 an HTTP/1.1 request must name its Host\n";
                exchange->answered = true;
                return front->queue_response(connection, *exchange) ? MHD_YES : MHD_NO;
            }
            return MHD_YES;
        }
        if (*upload_size != 0) {
            *upload_size = 0;  // cannot happen after the check above; discarded if it does
            return MHD_YES;
        }
        if (exchange->answered)
            return front->queue_response(connection, *exchange) ? MHD_YES : MHD_NO;
        if (exchange->dispatched)
            return MHD_YES;  // woken before its worker finished
        const HttpRequest& request = exchange->request;
        if (request.method != "GET" && request.method != "HEAD") {
            exchange->response.status = 405;
            exchange->response.content_type = "text/plain";
            exchange->response.headers.emplace_back("Allow", "GET, HEAD");
            exchange->response.body = "405 this service answers GET and HEAD only\n";
            exchange->answered = true;
            return front->queue_response(connection, *exchange) ? MHD_YES : MHD_NO;
        }
        if (front->make_answer(*exchange, Patience::kAtOnce))
            return front->queue_response(connection, *exchange) ? MHD_YES : MHD_NO;
        exchange->dispatched = true;
        front->suspend(connection);
        front->dispatch(exchange);
        return MHD_YES;
    }

    static void on_completed(void* self, MHD_Connection* connection, void** context, MHD_RequestTerminationCode)
    {
        auto* front = static_cast<HttpFront*>(self);
        auto* exchange = static_cast<Exchange*>(*context);
        front->mark_answered(connection);
        if (exchange && exchange->answered && front->logger_)
            front->logger_(exchange->request, exchange->response);
        delete exchange;
        *context = nullptr;
    }

    static void on_connection(void* self, MHD_Connection* connection, void** socket_context,
                              MHD_ConnectionNotificationCode what)
    {
        auto* front = static_cast<HttpFront*>(self);
        std::lock_guard guard(front->lock_);
        if (what == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* tracked = new Tracked;
            const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            tracked->fd = info ? info->connect_fd : -1;
            tracked->opened = Clock::now();
            tracked->deadline =
                tracked->opened + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(front->settings_.head_deadline_seconds));
            front->connections_[connection] = tracked;
            *socket_context = tracked;
            return;
        }
        // Called before libmicrohttpd closes the descriptor: once it is out of the table, the
        // sweeper cannot shut down a descriptor number that a new connection has taken.
        auto* tracked = static_cast<Tracked*>(*socket_context);
        if (tracked && tracked->cut)
            --front->cut_;
        front->connections_.erase(connection);
        delete tracked;
        *socket_context = nullptr;
    }

    // A full house closes its oldest connection that no answer is being made for.
    static MHD_Result on_accept(void* self, const sockaddr*, socklen_t)
    {
        auto* front = static_cast<HttpFront*>(self);
        std::lock_guard guard(front->lock_);
        if (static_cast<int>(front->connections_.size()) - front->cut_ < front->soft_limit_)
            return MHD_YES;
        Tracked* oldest = nullptr;
        for (auto& [connection, tracked] : front->connections_)
            if (!tracked->answering && !tracked->cut && (!oldest || tracked->opened < oldest->opened))
                oldest = tracked;
        if (!oldest)
            return MHD_NO;  // every connection is being answered: the newcomer waits its turn elsewhere
        front->cut_connection(*oldest);
        return MHD_YES;
    }

    static ssize_t on_trickle(void* context, uint64_t position, char* buffer, size_t most)
    {
        auto* exchange = static_cast<Exchange*>(context);
        HttpFront* front = exchange->front;
        const std::string& body = exchange->response.body;
        {
            std::lock_guard guard(front->lock_);
            if (front->stopping_)
                return MHD_CONTENT_READER_END_WITH_ERROR;
        }
        if (position >= body.size())
            return MHD_CONTENT_READER_END_OF_STREAM;
        auto now = Clock::now();
        if (now < exchange->next_piece) {
            front->suspend(exchange->connection);
            front->resume_at(exchange->next_piece, exchange->connection);
            return 0;
        }
        size_t piece = std::max<size_t>(1, (body.size() + kTricklePieces - 1) / kTricklePieces);
        size_t length = std::min({piece, most, body.size() - static_cast<size_t>(position)});
        std::memcpy(buffer, body.data() + position, length);
        exchange->next_piece = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                         exchange->response.trickle_seconds / kTricklePieces));
        return static_cast<ssize_t>(length);
    }
};

HttpFront::HttpFront(const FrontSettings& settings, int listening_fd, Handler handler, Logger logger, StopSignal& stop)
    : settings_(settings), handler_(std::move(handler)), logger_(std::move(logger)), stop_(stop)
{
    soft_limit_ = fit_to_open_files(settings_.most_connections);
    for (int i = 0; i < settings_.readers; ++i)
        threads_.emplace_back([this] { read_loop(); });
    for (int i = 0; i < settings_.workers; ++i)
        threads_.emplace_back([this] { wait_loop(); });
    threads_.emplace_back([this] { sweep_loop(); });
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    daemon_ = MHD_start_daemon(
        flags, 0, &Callbacks::on_accept, this, &Callbacks::on_request, this, MHD_OPTION_LISTEN_SOCKET, listening_fd,
        MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(settings_.event_threads), MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(soft_limit_ + kLimitHeadroom), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned>(settings_.most_connections_per_client), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(settings_.idle_seconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT, settings_.connection_memory,
        MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::on_completed, this, MHD_OPTION_NOTIFY_CONNECTION,
        &Callbacks::on_connection, this, MHD_OPTION_UNESCAPE_CALLBACK, &keep_escaped, static_cast<void*>(nullptr),
        MHD_OPTION_END);
    if (!daemon_)
        close(listening_fd);
}

HttpFront::~HttpFront() { stop_serving(); }

bool HttpFront::stop_serving()
{
    {
        std::unique_lock guard(lock_);
        if (finished_ && threads_.empty())
            return true;
        stopping_ = true;
        changed_.notify_all();
    }
    stop_.raise();
    if (daemon_) {
        int listening = MHD_quiesce_daemon(daemon_);
        if (listening >= 0)
            close(listening);
        // libmicrohttpd must not be stopped with a connection suspended (it aborts): wait for
        // the answers being made, which the stop signal has told to make do with what is
        // kept; trickles end at once (the sweeper resumes them, on_trickle ends them).
        std::unique_lock guard(lock_);
        bool settled = changed_.wait_for(guard, kLongestStopWait, [this] {
            return suspended_ == 0 && to_read_.empty() && to_wait_.empty() && busy_workers_ == 0;
        });
        guard.unlock();
        if (!settled)
            return false;
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
    {
        std::lock_guard guard(lock_);
        finished_ = true;
        changed_.notify_all();
    }
    for (std::thread& thread : threads_)
        thread.join();
    threads_.clear();
    return true;
}

void HttpFront::mark_answering(MHD_Connection* connection)
{
    std::lock_guard guard(lock_);
    auto found = connections_.find(connection);
    if (found == connections_.end())
        return;
    found->second->answering = true;
    found->second->deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(settings_.answer_deadline_seconds));
}

void HttpFront::mark_answered(MHD_Connection* connection)
{
    std::lock_guard guard(lock_);
    auto found = connections_.find(connection);
    if (found == connections_.end())
        return;
    found->second->answering = false;
    found->second->deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(settings_.head_deadline_seconds));
}

// Shutting the socket down makes libmicrohttpd see the end of the connection and close it
// in its own thread, as it would for a client that left. Called with lock_ held.
void HttpFront::cut_connection(Tracked& tracked)
{
    if (tracked.cut || tracked.fd < 0)
        return;
    tracked.cut = true;
    ++cut_;
    shutdown(tracked.fd, SHUT_RDWR);
}

bool HttpFront::queue_response(MHD_Connection* connection, Exchange& exchange)
{
    HttpResponse& answer = exchange.response;
    MHD_Response* response = nullptr;
    if (answer.trickle_seconds > 0) {
        exchange.next_piece = Clock::now();
        response =
            MHD_create_response_from_callback(answer.body.size(), 4096, &Callbacks::on_trickle, &exchange, nullptr);
    } else if (answer.kept_body) {
        // The response holds a share of the kept page until libmicrohttpd has sent it.
        auto* share = new std::shared_ptr<const std::string>(answer.kept_body);
        response = MHD_create_response_from_buffer_with_free_callback_cls(
            (*share)->size(), const_cast<char*>((*share)->data()),
            [](void* owned) { delete static_cast<std::shared_ptr<const std::string>*>(owned); }, share);
        if (!response)
            delete share;
    } else {
        auto* body = new std::string(std::move(answer.body));
        response = MHD_create_response_from_buffer_with_free_callback_cls(
            body->size(), body->data(), [](void* owned) { delete static_cast<std::string*>(owned); }, body);
        if (!response)
            delete body;
    }
    if (!response)
        return false;
    if (!answer.content_type.empty())
        MHD_add_response_header(response, "Content-Type", answer.content_type.c_str());
    for (const auto& [name, value] : answer.headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

void HttpFront::suspend(MHD_Connection* connection)
{
    {
        std::lock_guard guard(lock_);
        ++suspended_;
    }
    MHD_suspend_connection(connection);
}

void HttpFront::resume(MHD_Connection* connection)
{
    MHD_resume_connection(connection);
    std::lock_guard guard(lock_);
    --suspended_;
    changed_.notify_all();
}

// True when `exchange` has its answer. A handler that throws, or gives none when it had all
// the patience there is, has answered with a 500.
bool HttpFront::make_answer(Exchange& exchange, Patience patience)
{
    std::optional<HttpResponse> answer;
    try {
        answer = handler_(exchange.request, patience, exchange.deadline);
    } catch (const std::exception&) {
        answer.reset();
        patience = Patience::kUntilDeadline;
    }
    if (!answer && patience != Patience::kUntilDeadline)
        return false;
    if (!answer) {
        answer.emplace();
        answer->status = 500;
        answer->content_type = "text/plain";
        answer->body = "500 the page could not be made\n";
    }
    exchange.response = std::move(*answer);
    exchange.answered = true;
    return true;
}

void HttpFront::dispatch(Exchange* exchange)
{
    std::lock_guard guard(lock_);
    (exchange->next == Patience::kUntilDeadline && !exchange->deadline.passed() ? to_wait_ : to_read_)
        .push_back(exchange);
    changed_.notify_all();
}

// Readers answer what needs no waiting: pages made from kept files, and pages whose deadline
// passed before a waiting worker was free. What must wait for the provider goes on to the
// waiting workers.
void HttpFront::read_loop()
{
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return !to_read_.empty() || finished_; });
        if (to_read_.empty())
            return;
        Exchange* exchange = to_read_.front();
        to_read_.pop_front();
        ++busy_workers_;
        guard.unlock();
        Patience patience = exchange->next;
        if (make_answer(*exchange, patience)) {
            resume(exchange->connection);
        } else {
            exchange->next = Patience::kUntilDeadline;
            dispatch(exchange);
        }
        guard.lock();
        --busy_workers_;
        changed_.notify_all();
    }
}

void HttpFront::wait_loop()
{
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return !to_wait_.empty() || finished_; });
        if (to_wait_.empty())
            return;
        Exchange* exchange = to_wait_.front();
        to_wait_.pop_front();
        ++busy_workers_;
        guard.unlock();
        make_answer(*exchange, Patience::kUntilDeadline);
        resume(exchange->connection);
        guard.lock();
        --busy_workers_;
        changed_.notify_all();
    }
}

// A page whose deadline passes while it waits for a waiting worker is made by a reader from
// what is kept: no page waits past its deadline for want of a thread. Called with lock_ held.
void HttpFront::hand_over_overdue()
{
    for (auto at = to_wait_.begin(); at != to_wait_.end();) {
        if ((*at)->deadline.passed()) {
            to_read_.push_back(*at);
            at = to_wait_.erase(at);
            changed_.notify_all();
        } else {
            ++at;
        }
    }
}

void HttpFront::resume_at(Clock::time_point when, MHD_Connection* connection)
{
    std::unique_lock guard(lock_);
    if (stopping_) {
        guard.unlock();
        resume(connection);
        return;
    }
    wakeups_.emplace(when, connection);
}

// Cuts connections past their deadline and wakes trickles whose next piece is due.
void HttpFront::sweep_loop()
{
    std::unique_lock guard(lock_);
    while (!finished_) {
        changed_.wait_for(guard, kSweepEvery);
        auto now = Clock::now();
        for (auto& [connection, tracked] : connections_)
            if (now > tracked->deadline)
                cut_connection(*tracked);
        hand_over_overdue();
        std::vector<MHD_Connection*> due;
        while (!wakeups_.empty() && (stopping_ || wakeups_.begin()->first <= now)) {
            due.push_back(wakeups_.begin()->second);
            wakeups_.erase(wakeups_.begin());
        }
        guard.unlock();
        for (MHD_Connection* connection : due)
            resume(connection);
        guard.lock();
    }
}

}  // namespace weatherd
