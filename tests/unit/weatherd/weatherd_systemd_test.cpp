// The weather service as systemd runs it for a user: the unit files, and the service
// taking its listening socket from socket activation.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/program_runner.h"
#include "tests/unit/weatherd/weatherd_harness.h"

using namespace weatherd_test;
using nimbra::testing::run_command;

namespace {

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The units as the install writes them, naming the built service.
TEST(Systemd, TheUnitFilesVerify)
{
    TempDir units;
    std::string service = read_file(NIMBRA_SOURCE_DIR "/install/systemd/nimbra-weatherd.service.in");
    const std::string placeholder = "@NIMBRA_WEATHERD_PATH@";
    for (size_t at; (at = service.find(placeholder)) != std::string::npos;)
        service.replace(at, placeholder.size(), NIMBRA_WEATHERD);
    std::ofstream(units.path() / "nimbra-weatherd.service") << service;
    std::filesystem::copy(NIMBRA_SOURCE_DIR "/install/systemd/nimbra-weatherd.socket", units.path());

    // A runtime directory of its own, so that no user manager is asked.
    std::filesystem::create_directory(units.path() / "run");
    auto verified = run_command({"/usr/bin/env", "systemd-analyze", "--user", "verify", "--man=no",
                                 units.str() + "/nimbra-weatherd.socket", units.str() + "/nimbra-weatherd.service"},
                                {{"XDG_RUNTIME_DIR", units.str() + "/run"}});
    EXPECT_EQ(verified.status, 0);
    EXPECT_EQ(verified.out + verified.err, "") << "systemd-analyze has remarks";
}

TEST(Systemd, ASocketActivatedServiceServesPagesAndStopsCleanly)
{
    int port = DeadPort().port();  // free, and released again for systemd-socket-activate
    ServiceProcess service(
        {"systemd-socket-activate", "-l", "127.0.0.1:" + std::to_string(port), NIMBRA_WEATHERD, "--source", "model"});
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(120, 0);
    // The service starts on the first connection; until the launcher listens there is none.
    httplib::Result result = client.Get("/weather/101010101.shtml");
    for (int attempt = 0; attempt < 300 && !result; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        result = client.Get("/weather/101010101.shtml");
    }
    ASSERT_TRUE(result) << service.log();
    EXPECT_EQ(result->status, 200);
    for (Block block : kBlocks)
        EXPECT_FALSE(cut_block(result->body, block).empty()) << static_cast<int>(block);
    EXPECT_EQ(service.wait_ready(), port);
    EXPECT_EQ(service.stop_and_wait(), 0) << service.log();
}

}  // namespace
