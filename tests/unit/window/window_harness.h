// A headless window built from the program's own window description, with fake code
// offsets for its handlers, a UI thread to run its event loop, and nimbra-ctl runs.
#pragma once

#include <gtest/gtest.h>

#include "corert/automation/automation_server.h"
#include "corert/gbk.h"
#include "corert/window/window_backend.h"
#include "viewer/unit_ids.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace window_test {

// Fake code offsets of the bound routines.
inline constexpr uint32_t kOnWindowCreated = 0x100;
inline constexpr uint32_t kFillCityList = 0x200;
inline constexpr uint32_t kFillDistrictList = 0x300;
inline constexpr uint32_t kShowForecastPage = 0x400;
inline constexpr uint32_t kShowLivePage = 0x500;
inline constexpr uint32_t kShowLivingIndexPage = 0x600;

qx::FormSection bound_main_window();

inline std::string gbk(std::string_view utf8) { return corert::utf8_to_gbk(utf8); }

// Handlers by code offset; every call is logged. Thread-safe.
class Handlers {
public:
    void on(uint32_t offset, std::function<void()> body);
    void invoke(uint32_t offset);
    std::vector<std::string> log() const;
    void note(const std::string& entry);  // handlers add their own entries

private:
    mutable std::mutex mutex_;
    std::map<uint32_t, std::function<void()>> bodies_;
    std::vector<std::string> log_;
};

// A flag one thread waits for and another sets; never a sleep.
class Signal {
public:
    void set();
    // False when `seconds` passed first (a generous limit, only against hangs).
    bool wait(int seconds = 60);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Builds the backend; call once per test, before anything below.
    void make_window(bool boxes_wait = true);
    void load();
    // Runs run_event_loop on a thread of its own, the UI thread.
    void start_ui();
    // Waits for the loop to end (after a close); false on timeout.
    bool join_ui(int seconds = 60);
    void serve();  // the automation socket at socket_path()
    std::string socket_path() const { return directory_ + "/ctl.sock"; }
    const std::string& directory() const { return directory_; }
    void wait_idle();

    corert::WindowBackend& window() { return *backend_; }
    Handlers handlers;

private:
    std::string directory_;
    std::unique_ptr<corert::WindowBackend> backend_;
    std::unique_ptr<corert::AutomationServer> server_;
    std::thread ui_;
    std::unique_ptr<Signal> ui_done_;
};

struct CtlRun {
    int status = -1;
    std::string out;
    std::string err;
};
// Runs the nimbra-ctl binary with these arguments and waits for it.
CtlRun run_ctl(const std::vector<std::string>& args);
std::vector<std::string> lines_of(const std::string& text);

}  // namespace window_test
