// Two weather services behind Debian's nginx as a caching reverse proxy, set up by the
// example configuration the package ships (install/nginx-nimbra-weatherd.conf) with
// loopback ports and a private cache, and the real viewer, headless, built (as a program
// copy) with the proxy as its hosts. Pages asked for again within their freshness come
// from nginx's cache, so the services' request counts stay put; with one service stopped
// the viewer still gets every page.
#include "tests/support/weather_service.h"
#include "tests/unit/viewer_e2e/viewer_session.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using nimbra::testing::WeatherService;
using viewer_e2e::field;
using viewer_e2e::ProgramCopy;
using viewer_e2e::Viewer;

namespace {

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// The example configuration with the test's ports and cache directory in place of its
// own. Each value must be there exactly once: otherwise the test would run some other
// configuration than the one the package ships. Empty when one is not.
std::string deployment_site(int port, const std::vector<int>& service_ports, const fs::path& cache)
{
    const std::pair<std::string, std::string> changes[] = {
        {"listen 80;", "listen 127.0.0.1:" + std::to_string(port) + ";"},
        {"server 127.0.0.1:8371 ", "server 127.0.0.1:" + std::to_string(service_ports.at(0)) + " "},
        {"server 127.0.0.1:8372 ", "server 127.0.0.1:" + std::to_string(service_ports.at(1)) + " "},
        {"/var/cache/nginx/nimbra ", cache.string() + " "},
    };
    std::string site = read_file(NIMBRA_NGINX_EXAMPLE);
    for (const auto& [from, to] : changes) {
        size_t at = site.find(from);
        if (at == std::string::npos || site.find(from, at + 1) != std::string::npos) {
            ADD_FAILURE() << NIMBRA_NGINX_EXAMPLE << ": \"" << from << "\" is not there exactly once";
            return {};
        }
        site.replace(at, from.size(), to);
    }
    return site;
}

bool accepts_connections(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
}

// Debian's nginx in the foreground with a configuration of its own directory: the
// example's server and cache inside a main context whose pid file, logs and temporary
// files stay there too. The access log says, per request, whether the cache answered.
class Nginx {
public:
    Nginx(int port, const std::vector<int>& service_ports)
    {
        char tmpl[] = "/tmp/nimbra-nginx-XXXXXX";
        if (!mkdtemp(tmpl))
            return;
        dir_ = tmpl;
        // Run as root, nginx's workers take another user, which must reach the cache.
        chmod(dir_.c_str(), 0755);
        fs::create_directories(dir_ / "temp");

        std::string site = deployment_site(port, service_ports, dir_ / "cache");
        if (site.empty())
            return;
        write_file(dir_ / "site.conf", site);

        const std::string d = dir_.string();
        write_file(dir_ / "nginx.conf",
                   "daemon off;\n"
                   "worker_processes 1;\n"
                   "pid " +
                       d +
                       "/nginx.pid;\n"
                       "error_log " +
                       d +
                       "/error.log notice;\n"
                       "events { worker_connections 256; }\n"
                       "http {\n"
                       "    log_format nimbra '$request_uri $status $upstream_cache_status $upstream_addr';\n"
                       "    access_log " +
                       d +
                       "/access.log nimbra;\n"
                       "    client_body_temp_path " +
                       d +
                       "/temp/body;\n"
                       "    proxy_temp_path " +
                       d +
                       "/temp/proxy;\n"
                       "    fastcgi_temp_path " +
                       d +
                       "/temp/fastcgi;\n"
                       "    uwsgi_temp_path " +
                       d +
                       "/temp/uwsgi;\n"
                       "    scgi_temp_path " +
                       d +
                       "/temp/scgi;\n"
                       "    include " +
                       d +
                       "/site.conf;\n"
                       "}\n");

        pid_ = fork();
        if (pid_ == 0) {
            const std::string log = d + "/error.log";
            if (!std::freopen(log.c_str(), "a", stderr) || !std::freopen("/dev/null", "w", stdout))
                _exit(126);
            close_range(3, ~0u, 0);
            execl(NIMBRA_NGINX, NIMBRA_NGINX, "-p", d.c_str(), "-c", (d + "/nginx.conf").c_str(), "-e", log.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int waited = 0; waited < 1500 && !running_; ++waited) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            running_ = accepts_connections(port);
            if (!running_)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    ~Nginx()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    bool running() const { return running_; }
    std::string error_log() const { return read_file(dir_ / "error.log"); }

    // The access log's lines for weather pages, from line `from` on: "URI STATUS CACHE UPSTREAM".
    std::vector<std::string> page_requests(size_t from = 0) const
    {
        std::vector<std::string> lines;
        std::istringstream in(read_file(dir_ / "access.log"));
        size_t at = 0;
        for (std::string line; std::getline(in, line); ++at) {
            if (at >= from && line.rfind("/weather/", 0) == 0)
                lines.push_back(line);
        }
        return lines;
    }
    size_t log_lines() const
    {
        std::string log = read_file(dir_ / "access.log");
        return size_t(std::count(log.begin(), log.end(), '\n'));
    }

private:
    fs::path dir_;
    pid_t pid_ = -1;
    bool running_ = false;
};

int count_with(const std::vector<std::string>& lines, const std::string& part)
{
    return int(std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.find(part) != std::string::npos; }));
}

// What each button's page must hold, whichever service rendered it.
const std::pair<const char*, const char*> kButtons[] = {
    {"按钮1", "</head><p>&nbsp;</p><div class=\"weatherYubaoBox\">"},  // the forecast
    {"按钮2", "</table>"},                                             // the hourly observations
    {"按钮3", "穿衣"},                                                 // the living indexes
};

// Clicks the three buttons for the district picked and checks each page the viewer showed.
void show_three_pages(Viewer& viewer, const std::string& place)
{
    for (const auto& [button, mark] : kButtons) {
        viewer.click(button);
        std::vector<std::string> visits = viewer.visits();
        ASSERT_FALSE(visits.empty());
        ASSERT_EQ(field(visits.back(), "kind"), "file") << place << " " << button << ": " << visits.back();
        std::string page = viewer.page(int(visits.size()));
        EXPECT_NE(page.find(mark), std::string::npos) << place << " " << button << ": " << page.substr(0, 400);
    }
}

TEST(NginxDeployment, RepeatedPagesComeFromTheCacheAndAStoppedServiceIsPassedOver)
{
    const int proxy_port = nimbra::testing::free_four_digit_port();
    ASSERT_NE(proxy_port, 0);
    // A fixed day and the model: both services render the same pages.
    const std::vector<std::string> options = {"--source",
                                              "model",
                                              "--date",
                                              "2026-06-15T14:00",
                                              "--log",
                                              "--host",
                                              "127.0.0.1:" + std::to_string(proxy_port)};
    WeatherService first(NIMBRA_WEATHERD, options), second(NIMBRA_WEATHERD, options);
    ASSERT_TRUE(first.running()) << first.problem();
    ASSERT_TRUE(second.running()) << second.problem();
    Nginx nginx(proxy_port, {first.port(), second.port()});
    ASSERT_TRUE(nginx.running()) << nginx.error_log();

    ProgramCopy copy(proxy_port, std::nullopt);
    fs::copy_file(nimbra::testing::program_directory() + "/config.ini", copy.dir() + "/config.ini");
    Viewer viewer(copy, true);
    ASSERT_TRUE(viewer.boxes().empty()) << "the notice did not come through the proxy";

    // One district, three buttons: the page is fetched once, the notice once.
    viewer.pick("组合框1", 0);
    viewer.pick("组合框2", 0);
    viewer.pick("组合框3", 0);
    show_three_pages(viewer, "district 0");
    const int first_round = first.requests() + second.requests();
    std::vector<std::string> pages = nginx.page_requests();
    EXPECT_EQ(pages.size(), 3u);
    EXPECT_EQ(count_with(pages, " MISS "), 1);
    EXPECT_EQ(count_with(pages, " HIT "), 2);
    EXPECT_EQ(first_round, 2) << first.log() << second.log();

    // The same pages again, within their freshness (30 minutes): nothing reaches a service.
    size_t mark = nginx.log_lines();
    for (int round = 0; round < 3; ++round)
        show_three_pages(viewer, "district 0 again");
    pages = nginx.page_requests(mark);
    EXPECT_EQ(pages.size(), 9u);
    EXPECT_EQ(count_with(pages, " HIT "), 9);
    EXPECT_EQ(first.requests() + second.requests(), first_round) << first.log() << second.log();

    // One service stops; pages not cached yet all come from the other.
    const int second_before = second.requests();
    ASSERT_TRUE(first.stop());
    mark = nginx.log_lines();
    const int districts = std::min<int>(4, int(viewer.items("组合框3").size()));
    for (int district = 1; district < districts; ++district) {
        viewer.pick("组合框3", district);
        show_three_pages(viewer, "district " + std::to_string(district));
    }
    pages = nginx.page_requests(mark);
    EXPECT_EQ(count_with(pages, " 200 "), int(pages.size()));
    EXPECT_EQ(count_with(pages, " MISS "), districts - 1);
    EXPECT_EQ(second.requests() - second_before, districts - 1) << second.log();
    // Round robin sends one of the first two new pages to the stopped service: nginx
    // tried it, was refused, and asked the other ("ADDRESS, ADDRESS" in the log).
    const int passed_over = count_with(pages, ", 127.0.0.1:");
    EXPECT_GE(passed_over, 1);

    std::cout << "figures: first round " << first_round << " service requests for 3 pages; "
              << "9 repeated pages, 9 cache hits, 0 service requests; "
              << "one service stopped: " << (districts - 1) * 3 << " pages of " << districts - 1
              << " new districts, all 200, " << second.requests() - second_before
              << " requests to the remaining service, " << passed_over << " passed over from the stopped one\n";
    std::string err = viewer.close_and_wait();
    EXPECT_NE(err.find("corert: 0 blocks (0 bytes) still allocated at program end"), std::string::npos) << err;
}

}  // namespace
