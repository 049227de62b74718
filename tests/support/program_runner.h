// Runs the real program (the `nimbra` executable in the program directory) for an
// end-to-end test, headless and with its automation socket served, and drives it with
// the real nimbra-ctl.
//
//   ProgramRunner program({{"CORERT_AUTO_ANSWER", "1"}});
//   ASSERT_TRUE(program.wait_ready());
//   auto units = program.ctl({"units"});
//   program.ctl({"close"});
//   EXPECT_EQ(program.wait_exit(), 0);
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace nimbra::testing {

struct CtlResult {
    int status = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines() const;
};

// Where the build put things; both come from compile definitions of the test target.
std::string program_directory();
std::string nimbra_ctl_path();

// Runs a command to its end with `input` closed; captures its output.
CtlResult run_command(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});

class ProgramRunner {
public:
    // Starts `program_directory()/nimbra` with CORERT_BACKEND=headless, a fresh automation
    // socket, NIMBRA_OPEN_WITH empty (nothing is really opened) and `env` on top.
    explicit ProgramRunner(const std::map<std::string, std::string>& env = {}, std::string executable = "");
    ~ProgramRunner();  // kills the program if it still runs
    ProgramRunner(const ProgramRunner&) = delete;
    ProgramRunner& operator=(const ProgramRunner&) = delete;

    // Waits until the automation socket answers; false when the program died first.
    bool wait_ready(std::chrono::seconds timeout = std::chrono::seconds(30));
    CtlResult ctl(const std::vector<std::string>& args);
    // Waits for the process to end; its exit status, or -1 when it was killed or the wait
    // timed out (then it is killed).
    int wait_exit(std::chrono::seconds timeout = std::chrono::seconds(30));

    const std::string& socket() const { return socket_; }
    std::string stdout_text() const;
    std::string stderr_text() const;

private:
    std::string dir_;
    std::string socket_;
    pid_t pid_ = -1;
    int status_ = -1;
};

}  // namespace nimbra::testing
