// nimbra-weatherd started for a test or a tool: its ready line awaited, the port it serves
// read from that line, its standard error (with --log, one line per request) kept in a
// file, and SIGTERM when the object goes.
//
//   WeatherService service(NIMBRA_WEATHERD, {"--source", "model", "--log"}, WeatherService::kFourDigitPort);
//   ASSERT_TRUE(service.running()) << service.problem();
//   ProgramCopy copy(service.port(), ...);
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace nimbra::testing {

// A loopback port from 2000 to 9999 that nothing is bound to at this moment (not 8370,
// where an installed service may listen). Program copies name their servers by a port
// of four digits, since the host text they rewrite keeps its length.
int free_four_digit_port();

class WeatherService {
public:
    enum PortChoice { kAnyPort, kFourDigitPort };

    // Starts `executable` with `options` and a --port of the choice; with kFourDigitPort a
    // port taken in the meantime is retried with another.
    WeatherService(std::string executable, std::vector<std::string> options, PortChoice choice = kAnyPort);
    ~WeatherService();
    WeatherService(const WeatherService&) = delete;
    WeatherService& operator=(const WeatherService&) = delete;

    bool running() const { return pid_ > 0; }
    const std::string& problem() const { return problem_; }
    int port() const { return port_; }

    // Standard error so far, and how many request lines (--log) it holds.
    std::string log() const;
    int requests() const;

    // SIGTERM, and waits for the end; true when it ended with status 0.
    bool stop();

private:
    bool start(int port);

    std::string executable_;
    std::vector<std::string> options_;
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string problem_;
};

}  // namespace nimbra::testing
