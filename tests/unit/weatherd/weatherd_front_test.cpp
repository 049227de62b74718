// nimbra-weatherd against hostile clients, in the forms they were seen in: idle and trickling
// connections by the hundred, a body streamed without end, a Range of thousands of parts,
// control bytes in a path meant for the log. All on loopback: the hostile clients come from
// 127.0.0.2 and up (all of 127/8 is loopback), the normal client from 127.0.0.1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <future>
#include <sstream>

#include "tests/unit/weatherd/weatherd_harness.h"

using namespace weatherd_test;
using namespace std::chrono;

namespace {

const std::string kCityPage = "/weather/101010101.shtml";
constexpr auto kNormalAnswer = milliseconds(1500);
constexpr int kHostileAddresses = 40;  // 127.0.0.2 ... 127.0.0.41

// The service as it is started by a user whose soft limit of open files is the default.
std::vector<std::string> under_default_file_limit(std::vector<std::string> args)
{
    args.insert(args.begin(), {"/bin/sh", "-c", "ulimit -Sn 1024 && exec \"$0\" \"$@\"", NIMBRA_WEATHERD, "--port", "0",
                               "--source", "model"});
    return args;
}

// The test itself holds more connections than the default limit allows.
void raise_own_file_limit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

int connect_from(int source, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK + static_cast<uint32_t>(source));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return close(fd), -1;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    timeval patience{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return close(fd), -1;
    return fd;
}

// Connections that say nothing, and connections that send a request one byte every two
// seconds, from the hostile addresses in turn; closed when this ends.
class HostileClients {
public:
    HostileClients(int port, int idle, int trickling)
    {
        for (int i = 0; i < idle + trickling; ++i) {
            int fd = connect_from(2 + i % kHostileAddresses, port);
            if (fd < 0)
                continue;
            (i < idle ? idle_ : trickling_).push_back(fd);
        }
        if (!trickling_.empty())
            trickler_ = std::thread([this] { trickle(); });
    }
    ~HostileClients()
    {
        stop_ = true;
        if (trickler_.joinable())
            trickler_.join();
        for (int fd : idle_)
            close(fd);
        for (int fd : trickling_)
            close(fd);
    }
    size_t opened() const { return idle_.size() + trickling_.size(); }

private:
    void trickle()
    {
        const std::string request =
            "GET /day/shenzhen.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(4096, 'a');
        for (size_t at = 0; !stop_; at = (at + 1) % request.size()) {
            for (int fd : trickling_)
                (void)send(fd, &request[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            for (int step = 0; step < 20 && !stop_; ++step)
                std::this_thread::sleep_for(milliseconds(100));
        }
    }

    std::vector<int> idle_, trickling_;
    std::thread trickler_;
    std::atomic<bool> stop_{false};
};

// The notice and a city page, five times, each asked on a new connection from 127.0.0.1.
void expect_normal_client_served(int port)
{
    for (int round = 0; round < 5; ++round) {
        for (const std::string& path : {std::string("/day/shenzhen.txt"), kCityPage}) {
            httplib::Client client("127.0.0.1", port);
            client.set_connection_timeout(5, 0);
            client.set_read_timeout(5, 0);
            auto started = steady_clock::now();
            httplib::Result result = client.Get(path);
            auto took = duration_cast<milliseconds>(steady_clock::now() - started);
            EXPECT_TRUE(result && result->status == 200) << path << " round " << round;
            EXPECT_LE(took, kNormalAnswer) << path << " round " << round;
        }
    }
}

TEST(HostileClients, SlowAndIdleConnectionsDoNotStarveANormalClient)
{
    raise_own_file_limit();
    struct Case {
        const char* name;
        int idle, trickling;
    };
    const Case cases[] = {
        {"64 idle connections", 64, 0},
        {"300 trickling and 200 idle connections", 200, 300},
        {"1,100 idle connections under 1,024 open files", 1100, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceProcess service(under_default_file_limit({}));
        int port = service.wait_ready();
        ASSERT_NE(port, 0) << service.log();
        HostileClients hostile(port, c.idle, c.trickling);
        EXPECT_EQ(hostile.opened(), static_cast<size_t>(c.idle + c.trickling));
        std::this_thread::sleep_for(milliseconds(500));  // let the service take them all in
        expect_normal_client_served(port);
        EXPECT_EQ(service.stop_and_wait(), 0) << service.log();
    }
}

// True when the service has closed `fd` within `patience`.
bool closed_within(int fd, milliseconds patience)
{
    pollfd watch{fd, POLLIN, 0};
    char byte = 0;
    return poll(&watch, 1, static_cast<int>(patience.count())) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// Everything the service sends on `fd` until it closes the connection (or for 10 s).
std::string read_to_end(int fd)
{
    std::string answer;
    char buffer[4096];
    pollfd watch{fd, POLLIN, 0};
    for (auto until = steady_clock::now() + seconds(10); steady_clock::now() < until;) {
        if (poll(&watch, 1, 200) == 0)
            continue;
        ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0 && !(got < 0 && errno == EAGAIN))
            break;
        if (got > 0)
            answer.append(buffer, static_cast<size_t>(got));
    }
    return answer;
}

// The answer to `request`, sent as it stands on a new connection from 127.0.0.1.
std::string exchange_raw(int port, const std::string& request)
{
    int fd = connect_from(0, port);
    if (fd < 0)
        return "";
    (void)send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer = read_to_end(fd);
    close(fd);
    return answer;
}

int status_of(const std::string& answer)
{
    return answer.starts_with("HTTP/1.") && answer.size() > 12 ? std::atoi(answer.c_str() + 9) : 0;
}

// What arrives on `fd` until nothing has for half a second.
std::string read_available(int fd)
{
    std::string text;
    char buffer[1 << 16];
    pollfd watch{fd, POLLIN, 0};
    while (poll(&watch, 1, 500) == 1) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

// How long `fd` stays open, from now (up to 30 s).
std::future<steady_clock::duration> time_open(int fd)
{
    return std::async(std::launch::async, [fd] {
        auto started = steady_clock::now();
        closed_within(fd, seconds(30));
        return steady_clock::now() - started;
    });
}

TEST(HostileClients, ConnectionsAreLimitedPerAddressAndATrickleIsCutAtItsDeadline)
{
    Service service({"--source", "model", "--max-connections-per-client", "8"});
    std::vector<int> crowd;
    for (int i = 0; i < 12; ++i)
        crowd.push_back(connect_from(7, service.port));
    int refused = 0;
    for (int fd : crowd)
        refused += closed_within(fd, milliseconds(300)) ? 1 : 0;
    EXPECT_EQ(refused, 4);
    for (int fd : crowd)
        close(fd);

    // A request's head must be in within 10 s, however steadily it trickles; a connection
    // that says nothing, or nothing more after an answer, is closed after 10 s too.
    int idle = connect_from(9, service.port), answered = connect_from(10, service.port);
    const std::string request = "GET /day/shenzhen.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    (void)send(answered, request.data(), request.size(), MSG_NOSIGNAL);
    EXPECT_EQ(status_of(read_available(answered)), 200);
    std::future<steady_clock::duration> idle_for = time_open(idle), answered_for = time_open(answered);
    int slow = connect_from(8, service.port);
    auto started = steady_clock::now();
    const std::string head = "GET / HTTP/1.1\r\nX-Slow: " + std::string(64, 'a');
    bool closed = false;
    for (size_t at = 0; at < head.size() && !closed && steady_clock::now() - started < seconds(40); ++at) {
        (void)send(slow, &head[at], 1, MSG_NOSIGNAL);
        closed = closed_within(slow, milliseconds(500));
    }
    auto lasted = steady_clock::now() - started;
    close(slow);
    EXPECT_TRUE(closed);
    EXPECT_GE(lasted, seconds(9));
    EXPECT_LE(lasted, seconds(15));  // the sweep runs often: near 10 s, not 20
    for (std::future<steady_clock::duration>* open : {&idle_for, &answered_for}) {
        steady_clock::duration open_for = open->get();
        EXPECT_GE(open_for, seconds(9));
        EXPECT_LE(open_for, seconds(15));
    }
    close(idle);
    close(answered);
}

// The connection that reaches the total limit is taken as it is; the one after it closes
// the oldest idle connection to make room.
TEST(HostileClients, AFullHouseClosesItsOldestIdleConnectionForANewOne)
{
    Service service({"--source", "model", "--max-connections", "8"});
    std::vector<int> house;
    for (int i = 0; i < 8; ++i) {
        house.push_back(connect_from(2 + i, service.port));
        std::this_thread::sleep_for(milliseconds(20));  // so that each is older than the next
    }
    for (int fd : house)
        EXPECT_FALSE(closed_within(fd, milliseconds(300))) << "the 8th of 8 connections closed one";
    int newcomer = connect_from(20, service.port);
    EXPECT_TRUE(closed_within(house[0], milliseconds(2000))) << "the 9th did not close the oldest";
    for (size_t i = 1; i < house.size(); ++i)
        EXPECT_FALSE(closed_within(house[i], milliseconds(100))) << i;
    EXPECT_FALSE(closed_within(newcomer, milliseconds(100)));
    for (int fd : house)
        close(fd);
    close(newcomer);
}

// Peak resident memory of a process, in bytes.
size_t peak_memory(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:"))
            return std::stoul(line.substr(6)) * 1024;
    return 0;
}

// A body, sized or chunked, is answered 413 before any of it is read, and the connection
// closed: however long it streams, none of it is kept.
TEST(HostileClients, AStreamedBodyIsRefusedAndNotKept)
{
    Service service({"--source", "model"});
    const std::string bulk(1 << 16, 'x');
    const std::pair<const char*, std::string> framings[] = {
        {"Content-Length: 2000000000\r\n", bulk},
        {"Transfer-Encoding: chunked\r\n", "10000\r\n" + bulk + "\r\n"},
    };
    for (const auto& [framing, piece] : framings) {
        SCOPED_TRACE(framing);
        int fd = connect_from(2, service.port);
        ASSERT_GE(fd, 0);
        std::string head = std::string("POST /nope HTTP/1.1\r\nHost: 127.0.0.1\r\n") + framing + "\r\n";
        ASSERT_EQ(send(fd, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
        EXPECT_EQ(status_of(read_to_end(fd)), 413);
        size_t sent = 0;
        for (auto until = steady_clock::now() + seconds(30); sent < (size_t{1} << 30) && steady_clock::now() < until;) {
            ssize_t wrote = send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
            if (wrote <= 0)
                break;  // the service closed the connection: it does not take the body
            sent += static_cast<size_t>(wrote);
        }
        close(fd);
        EXPECT_LT(sent, size_t{64} << 20) << "the body was read";
    }
    EXPECT_LT(peak_memory(service.process.pid()), size_t{100} << 20);
    EXPECT_EQ(service.body_of("/day/shenzhen.txt").substr(0, 7), "1.0----");
}

TEST(HostileClients, ARangeOfThousandsOfPartsGetsOneAnswerAtMost)
{
    Service service({"--source", "model", "--date", "2027-01-15"});
    std::string page = service.page_of("101010101");
    std::string ranges = "bytes=0-";
    for (int i = 1; i < 2700; ++i)
        ranges += ",0-";
    httplib::Result result = service.get_path(kCityPage, {{"Range", ranges}});
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->status == 200 || result->status == 206 || result->status == 416) << result->status;
    EXPECT_LE(result->body.size(), page.size());
}

TEST(HostileClients, EveryLogLineIsOneLine)
{
    Service service({"--source", "model", "--log"});
    for (const char* path : {"/x%0animbra-weatherd:%20GET%20/weather/101010101.shtml%20200", "/y%0d%1b[2J%7f"}) {
        httplib::Result result = service.get_path(path);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 404);
    }
    EXPECT_EQ(service.process.stop_and_wait(), 0);
    std::istringstream log(service.process.log());
    int lines = 0;
    for (std::string line; std::getline(log, line); ++lines) {
        EXPECT_EQ(line.find_first_of("\r\x1b\x7f"), std::string::npos) << line;
        EXPECT_FALSE(line.starts_with("nimbra-weatherd: GET /weather/")) << "a forged line: " << line;
    }
    EXPECT_EQ(lines, 2) << service.process.log();
}

TEST(HostileClients, RequestTargetsAreReadAsHttp11Says)
{
    Service service({"--source", "model", "--log"});
    const std::string host = "Host: 127.0.0.1\r\n";
    struct Row {
        std::string request_line, headers;
        int status;
    };
    const Row rows[] = {
        {"GET http://127.0.0.1/weather/101010101.shtml HTTP/1.1", host, 200},  // as a proxy asks
        {"GET HTTP://weather.example HTTP/1.1", "Host: weather.example\r\n", 200},
        {"GET /day/shenzhen.txt HTTP/1.1", "", 400},
        {"GET /day/shenzhen.txt HTTP/1.0", "", 200},
        {"GET /weather/101010101.shtml%00.txt HTTP/1.1", host, 404},
        {"GET /weather/101010101%00.shtml HTTP/1.1", host, 404},
        {"GET /%C3%A9%FF%3Cb%3E HTTP/1.1", host, 404},
    };
    std::string answer;
    for (const Row& row : rows) {
        answer = exchange_raw(service.port, row.request_line + "\r\n" + row.headers + "Connection: close\r\n\r\n");
        EXPECT_EQ(status_of(answer), row.status) << row.request_line << "\n" << answer.substr(0, 200);
    }
    // The last one's bytes from 0x80 up, which are not UTF-8, come back as ASCII.
    EXPECT_NE(answer.find("/\\xC3\\xA9\\xFF&lt;b&gt;"), std::string::npos) << answer;
    EXPECT_EQ(answer.find('\xFF'), std::string::npos);
    EXPECT_EQ(service.process.stop_and_wait(), 0);
    std::string log = service.process.log();
    EXPECT_NE(log.find("GET /\\xC3\\xA9\\xFF<b> 404"), std::string::npos) << log;
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }), 0)
        << log;
}

// 200 requests whose log lines are 8 KB each: more than a pipe holds (64 KB) and more than
// the service queues (1 MB). How many were answered before the first that was not.
int ask_long_paths(int port)
{
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);
    int answered = 0;
    for (; answered < 200; ++answered) {
        httplib::Result result = client.Get("/" + std::to_string(answered) + std::string(8000, 'a'));
        if (!result || result->status != 404)
            break;
    }
    return answered;
}

TEST(HostileClients, AStalledLogReaderHoldsUpNoRequest)
{
    TempDir dir;
    std::string fifo = (dir.path() / "log").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // and then not read
    ASSERT_GE(reader, 0);
    ServiceProcess service({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>" + fifo, NIMBRA_WEATHERD, "--port", "0", "--source",
                            "model", "--log"});
    int port = service.wait_ready();
    ASSERT_NE(port, 0);
    ASSERT_EQ(ask_long_paths(port), 200);

    // Read again, the log goes on, and one line says how much was lost.
    std::string log = read_available(reader);
    httplib::Client client("127.0.0.1", port);
    EXPECT_TRUE(client.Get("/day/shenzhen.txt"));
    log += read_available(reader);
    EXPECT_NE(log.find(" log lines dropped: standard error did not keep up\n"), std::string::npos);
    EXPECT_NE(log.find("GET /day/shenzhen.txt 200"), std::string::npos);

    // A reader still stalled at the end does not keep the service from ending.
    EXPECT_EQ(ask_long_paths(port), 200);
    auto stopping = steady_clock::now();
    EXPECT_EQ(service.stop_and_wait(), 0);
    EXPECT_LT(steady_clock::now() - stopping, seconds(20));
    close(reader);
}

}  // namespace
