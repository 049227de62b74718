// The real viewer, headless, against a local test server, driven through nimbra-ctl.
//
// The servers' hosts are compiled into the program (default 127.0.0.1:8370). So that
// tests can run side by side, each session runs a copy of the program directory whose
// executable names the test server's own port instead: the host text is replaced byte
// for byte by one of the same length (a four-digit port), everywhere it occurs (the
// routines' addresses, the browsers' start addresses, the page head). The copy also
// gets its own settings file and its own page file.
#pragma once

#include "tests/support/program_runner.h"

#include <httplib.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace viewer_e2e {

// A canned answer of the test server.
struct Reply {
    int status = 200;
    std::string body;
    // Sent in this many pieces over this long, the headers at once.
    std::chrono::milliseconds trickle{0};
    int pieces = 20;
};

// Plays the notice server and the weather service on 127.0.0.1 with a four-digit port.
class TestServer {
public:
    TestServer();
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Answers for exact paths ("/day/shenzhen.txt", "/weather/X.shtml"); anything else is
    // a 404 with a small page. Set before the program starts or between its steps.
    void serve(const std::string& path, Reply reply);

    int port() const { return port_; }
    // "request PATH" when a request arrives and "done PATH" when its body has been sent,
    // in the order they happened.
    std::vector<std::string> events() const;
    std::vector<std::string> requested_paths() const;

private:
    std::optional<Reply> reply_for(const std::string& path) const;
    void note(const std::string& event);

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, Reply> replies_;
    std::vector<std::string> events_;
};

// A port with nothing listening on it, held for the life of this object.
class DeadPort {
public:
    DeadPort();
    ~DeadPort();
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A copy of the program directory: the executable rewritten for `port`, the runtime,
// libraries and stand-ins linked in, and the settings file given (UTF-8, written as
// GBK; nullopt: none at all).
class ProgramCopy {
public:
    ProgramCopy(int port, const std::optional<std::string>& config_utf8);
    ~ProgramCopy();
    const std::string& dir() const { return dir_; }
    std::string host() const;  // "127.0.0.1:PORT", what the copy names its servers by
    bool page_file_exists() const;

private:
    std::string dir_;
    std::string host_;
};

// A running copy of the program, with nimbra-ctl helpers that fail the test on an error
// answer. Texts in and out are UTF-8.
class Viewer {
public:
    // Starts the copy and waits until the window is up and its version notice has run;
    // message boxes are answered by the caller unless `auto_answer`.
    Viewer(const ProgramCopy& copy, bool auto_answer, std::map<std::string, std::string> env = {});
    ~Viewer();

    nimbra::testing::CtlResult ctl(const std::vector<std::string>& args);
    // Fails the test unless nimbra-ctl says ok; the data lines.
    std::vector<std::string> ok(const std::vector<std::string>& args);
    void wait_idle();
    void pick(const std::string& combo, int index);  // and waits until idle
    void click(const std::string& button);           // and waits until idle

    std::vector<std::string> items(const std::string& combo);
    std::string text_property(const std::string& unit, int property);
    int number_property(const std::string& unit, int property);
    std::vector<std::string> boxes();
    std::vector<std::string> opened();  // the addresses, unquoted
    std::vector<std::string> visits();  // visit lines
    std::string page(int visit);        // the bytes the browser read at that visit
    // Closes the window and returns the runtime's stderr once the program has ended
    // (it reports the blocks still allocated then).
    std::string close_and_wait();

private:
    std::unique_ptr<nimbra::testing::ProgramRunner> runner_;
    bool closed_ = false;
};

// The value of `key=` in a data line ("visit 3 unit=... bytes=512" -> "512"); quoted
// values are unquoted. Empty when absent.
std::string field(const std::string& line, const std::string& key);

std::string to_gbk(const std::string& utf8);
std::string to_utf8(const std::string& gbk);

}  // namespace viewer_e2e
