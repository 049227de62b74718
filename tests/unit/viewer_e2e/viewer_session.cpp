#include "tests/unit/viewer_e2e/viewer_session.h"

#include "corert/automation/wire_text.h"
#include "corert/gbk.h"
#include "viewer/program_description.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace viewer_e2e {

namespace {

// Four digits, so that the host text keeps its length; below the ephemeral range, so
// that no outgoing connection holds one; never the weather service's port.
int random_port()
{
    static std::mt19937 generator(std::random_device{}());
    for (;;) {
        int port = std::uniform_int_distribution<int>(2000, 9999)(generator);
        if (port != 8370)
            return port;
    }
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

size_t replace_all(std::string& bytes, const std::string& from, const std::string& to)
{
    size_t count = 0;
    for (size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + to.size())) {
        bytes.replace(at, from.size(), to);
        ++count;
    }
    return count;
}

}  // namespace

std::string to_gbk(const std::string& utf8) { return corert::utf8_to_gbk(utf8); }
std::string to_utf8(const std::string& gbk) { return corert::gbk_to_utf8(gbk); }

std::string field(const std::string& line, const std::string& key)
{
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return "";
    at += key.size() + 2;
    if (at < line.size() && line[at] == '"') {
        size_t end = at + 1;
        while (end < line.size() && line[end] != '"')
            end += line[end] == '\\' ? 2 : 1;
        return corert::wire::unquote(line.substr(at, end + 1 - at)).value_or("<bad quote>");
    }
    return line.substr(at, line.find(' ', at) - at);
}

// ---- TestServer ----

TestServer::TestServer()
{
    for (int attempt = 0; attempt < 200 && port_ == 0; ++attempt) {
        int port = random_port();
        if (server_.bind_to_port("127.0.0.1", port))
            port_ = port;
    }
    if (port_ == 0)
        throw std::runtime_error("test server: no free four-digit port");

    server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        std::string path = request.path;
        note("request " + path);
        std::optional<Reply> reply = reply_for(path);
        if (!reply) {
            response.status = 404;
            response.set_content("<html><body>404 Not Found</body></html>", "text/html");
            note("done " + path);
            return;
        }
        response.status = reply->status;
        if (reply->trickle.count() == 0) {
            response.set_content(reply->body, "text/html");
            note("done " + path);
            return;
        }
        auto body = std::make_shared<std::string>(reply->body);
        size_t piece = std::max<size_t>(1, (body->size() + size_t(reply->pieces) - 1) / size_t(reply->pieces));
        auto pause = reply->trickle / reply->pieces;
        response.set_content_provider(
            body->size(), "text/html",
            [this, body, piece, pause](size_t offset, size_t, httplib::DataSink& sink) {
                std::this_thread::sleep_for(pause);
                if (!server_.is_running())
                    return false;
                size_t n = std::min(piece, body->size() - offset);
                sink.write(body->data() + offset, n);
                return true;
            },
            [this, path](bool) { note("done " + path); });
    });
    // Bound already: connections wait in the backlog until the loop takes them.
    thread_ = std::thread([this] { server_.listen_after_bind(); });
}

TestServer::~TestServer()
{
    server_.stop();
    if (thread_.joinable())
        thread_.join();
}

void TestServer::serve(const std::string& path, Reply reply)
{
    std::lock_guard lock(mutex_);
    replies_[path] = std::move(reply);
}

std::optional<Reply> TestServer::reply_for(const std::string& path) const
{
    std::lock_guard lock(mutex_);
    auto it = replies_.find(path);
    if (it == replies_.end())
        return std::nullopt;
    return it->second;
}

void TestServer::note(const std::string& event)
{
    std::lock_guard lock(mutex_);
    events_.push_back(event);
}

std::vector<std::string> TestServer::events() const
{
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<std::string> TestServer::requested_paths() const
{
    std::vector<std::string> paths;
    for (const auto& e : events())
        if (e.rfind("request ", 0) == 0)
            paths.push_back(e.substr(8));
    return paths;
}

// ---- DeadPort ----

DeadPort::DeadPort()
{
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    for (int attempt = 0; attempt < 200 && port_ == 0; ++attempt) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int port = random_port();
        address.sin_port = htons(uint16_t(port));
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            port_ = port;
    }
    if (port_ == 0)
        throw std::runtime_error("no free four-digit port to hold");
}

DeadPort::~DeadPort() { close(fd_); }

// ---- ProgramCopy ----

ProgramCopy::ProgramCopy(int port, const std::optional<std::string>& config_utf8)
    : host_("127.0.0.1:" + std::to_string(port))
{
    char tmpl[] = "/tmp/nimbra-viewer-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;

    const std::string source = nimbra::testing::program_directory();
    for (const auto& entry : fs::directory_iterator(source)) {
        std::string name = entry.path().filename().string();
        if (name == "nimbra" || name == "config.ini" || name.find(".htm") != std::string::npos)
            continue;
        fs::create_symlink(entry.path(), fs::path(dir_) / name);
    }

    std::string program = read_file(source + "/nimbra");
    nimbra::ProgramHosts hosts = nimbra::configured_hosts();
    for (const std::string& built : {hosts.notice_host, hosts.weather_host}) {
        if (built.size() != host_.size())
            throw std::runtime_error("the program was built for " + built + ", which cannot be replaced by " + host_ +
                                     " in place");
        replace_all(program, built, host_);
    }
    write_file(dir_ + "/nimbra", program);
    fs::permissions(dir_ + "/nimbra", fs::perms::owner_all);
    if (config_utf8)
        write_file(dir_ + "/config.ini", to_gbk(*config_utf8));
}

ProgramCopy::~ProgramCopy()
{
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

std::string ProgramCopy::host() const { return host_; }

bool ProgramCopy::page_file_exists() const { return fs::exists(fs::path(dir_) / "显示页.htm"); }

// ---- Viewer ----

Viewer::Viewer(const ProgramCopy& copy, bool auto_answer, std::map<std::string, std::string> env)
{
    env["CORERT_TRACE"] = "1";
    env["CORERT_AUTO_ANSWER"] = auto_answer ? "1" : "0";
    runner_ = std::make_unique<nimbra::testing::ProgramRunner>(env, copy.dir() + "/nimbra");
    if (!runner_->wait_ready()) {
        ADD_FAILURE() << "the viewer did not come up: " << runner_->stderr_text();
        return;
    }
    wait_idle();
}

Viewer::~Viewer()
{
    if (!closed_ && runner_) {
        runner_->ctl({"close"});
        runner_->wait_exit();
    }
}

nimbra::testing::CtlResult Viewer::ctl(const std::vector<std::string>& args) { return runner_->ctl(args); }

std::vector<std::string> Viewer::ok(const std::vector<std::string>& args)
{
    auto result = runner_->ctl(args);
    std::string command;
    for (const auto& a : args)
        command += a + " ";
    EXPECT_EQ(result.status, 0) << "nimbra-ctl " << command << ": " << result.err << "\n" << runner_->stderr_text();
    return result.lines();
}

void Viewer::wait_idle() { ok({"wait-idle", "60"}); }

void Viewer::pick(const std::string& combo, int index)
{
    ok({"pick", combo, std::to_string(index)});
    wait_idle();
}

void Viewer::click(const std::string& button)
{
    ok({"click", button});
    wait_idle();
}

std::vector<std::string> Viewer::items(const std::string& combo)
{
    std::vector<std::string> texts;
    for (const auto& line : ok({"items", combo})) {
        size_t quote = line.find('"');
        texts.push_back(corert::wire::unquote(line.substr(quote)).value_or("<bad quote>"));
    }
    return texts;
}

std::string Viewer::text_property(const std::string& unit, int property)
{
    auto lines = ok({"get", unit, std::to_string(property)});
    if (lines.size() != 1 || lines[0].rfind("value \"", 0) != 0)
        return "<no text value>";
    return corert::wire::unquote(lines[0].substr(6)).value_or("<bad quote>");
}

int Viewer::number_property(const std::string& unit, int property)
{
    auto lines = ok({"get", unit, std::to_string(property)});
    if (lines.size() != 1 || lines[0].rfind("value ", 0) != 0)
        return -99999;
    return std::atoi(lines[0].c_str() + 6);
}

std::vector<std::string> Viewer::boxes() { return ok({"boxes"}); }

std::vector<std::string> Viewer::opened()
{
    std::vector<std::string> addresses;
    for (const auto& line : ok({"opened"})) {
        size_t quote = line.find('"');
        addresses.push_back(corert::wire::unquote(line.substr(quote)).value_or("<bad quote>"));
    }
    return addresses;
}

std::vector<std::string> Viewer::visits() { return ok({"browsers"}); }

std::string Viewer::page(int visit)
{
    // nimbra-ctl writes the page's bytes raw.
    auto result = runner_->ctl({"page", std::to_string(visit)});
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
}

std::string Viewer::close_and_wait()
{
    ok({"close"});
    int status = runner_->wait_exit();
    closed_ = true;
    EXPECT_EQ(status, 0) << runner_->stderr_text();
    return runner_->stderr_text();
}

}  // namespace viewer_e2e
