#include "window_harness.h"

#include "corert/window/opened_pages.h"
#include "viewer/program_description.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace window_test {

qx::FormSection bound_main_window()
{
    qx::FormSection form = nimbra::main_window_form(nimbra::configured_hosts());
    const std::map<std::string, uint32_t> offsets = {
        {"OnWindowCreated", kOnWindowCreated},   {"FillCityList", kFillCityList},
        {"FillDistrictList", kFillDistrictList}, {"ShowForecastPage", kShowForecastPage},
        {"ShowLivePage", kShowLivePage},         {"ShowLivingIndexPage", kShowLivingIndexPage},
    };
    nimbra::bind_events(form, nimbra::main_window_bindings(), [&](const std::string& name) -> std::optional<uint32_t> {
        auto found = offsets.find(name);
        return found == offsets.end() ? std::nullopt : std::optional<uint32_t>(found->second);
    });
    return form;
}

void Handlers::on(uint32_t offset, std::function<void()> body)
{
    std::lock_guard lock(mutex_);
    bodies_[offset] = std::move(body);
}

void Handlers::invoke(uint32_t offset)
{
    std::function<void()> body;
    {
        std::lock_guard lock(mutex_);
        char entry[32];
        std::snprintf(entry, sizeof entry, "call 0x%x", offset);
        log_.push_back(entry);
        if (auto found = bodies_.find(offset); found != bodies_.end())
            body = found->second;
    }
    if (body)
        body();
}

std::vector<std::string> Handlers::log() const
{
    std::lock_guard lock(mutex_);
    return log_;
}

void Handlers::note(const std::string& entry)
{
    std::lock_guard lock(mutex_);
    log_.push_back(entry);
}

void Signal::set()
{
    std::lock_guard lock(mutex_);
    set_ = true;
    changed_.notify_all();
}

bool Signal::wait(int seconds)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(seconds), [&] { return set_; });
}

void WindowTest::SetUp()
{
    char pattern[] = "/tmp/nimbra-window-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    corert::clear_opened_pages();
}

void WindowTest::TearDown()
{
    if (ui_.joinable()) {
        // A test that failed half-way may leave the loop running or a box open.
        if (backend_) {
            backend_->post({corert::UserAction::Kind::Close, 0, 0});
            backend_->answer_box(std::nullopt);
        }
        if (!join_ui(60)) {
            ADD_FAILURE() << "the UI thread did not end";
            ui_.detach();
            std::abort();
        }
    }
    server_.reset();
    backend_.reset();
    std::filesystem::remove_all(directory_);
}

void WindowTest::make_window(bool boxes_wait)
{
    corert::BackendOptions options;
    options.invoke_handler = [this](uint32_t offset) { handlers.invoke(offset); };
    options.boxes_wait_for_answer = boxes_wait;
    backend_ = corert::make_headless_window(std::move(options));
}

void WindowTest::load() { backend_->load_window(bound_main_window(), nimbra::kWindowId); }

void WindowTest::start_ui()
{
    ui_done_ = std::make_unique<Signal>();
    ui_ = std::thread([this] {
        backend_->run_event_loop();
        ui_done_->set();
    });
}

bool WindowTest::join_ui(int seconds)
{
    if (!ui_done_->wait(seconds))
        return false;
    ui_.join();
    return true;
}

void WindowTest::serve() { server_ = std::make_unique<corert::AutomationServer>(*backend_, socket_path()); }

void WindowTest::wait_idle() { ASSERT_EQ(backend_->wait_idle(std::chrono::seconds(60)), corert::IdleState::Idle); }

namespace {

std::string read_all(int fd)
{
    std::string bytes;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return bytes;
        bytes.append(buffer, static_cast<size_t>(got));
    }
}

}  // namespace

CtlRun run_ctl(const std::vector<std::string>& args)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return {};
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(NIMBRA_CTL));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // Only what --socket says counts.
    std::vector<char*> environment;
    for (char** variable = environ; *variable; ++variable) {
        if (!std::string_view(*variable).starts_with("CORERT_AUTOMATION="))
            environment.push_back(*variable);
    }
    environment.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(NIMBRA_CTL, argv.data(), environment.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    CtlRun run;
    // stderr carries one short line at most, so reading stdout first cannot block.
    run.out = read_all(out[0]);
    run.err = read_all(err[0]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

}  // namespace window_test
