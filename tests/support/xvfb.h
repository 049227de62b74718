// A private X display for GUI tests: an Xvfb server started on a free display number
// and stopped again with the object.
//
//   nimbra::testing::Xvfb screen;
//   ASSERT_TRUE(screen.running()) << screen.problem();
//   env["DISPLAY"] = screen.display();
#pragma once

#include <string>
#include <sys/types.h>

namespace nimbra::testing {

class Xvfb {
public:
    // Waits (up to a generous limit) until the server says which display it serves.
    explicit Xvfb(const std::string& screen = "1024x768x24");
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    bool running() const { return !display_.empty(); }
    const std::string& display() const { return display_; }  // ":N"
    const std::string& problem() const { return problem_; }

private:
    pid_t pid_ = -1;
    std::string display_;
    std::string problem_;
};

}  // namespace nimbra::testing
