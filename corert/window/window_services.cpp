#include "corert/window/window_services.h"

#include "corert/diagnostics.h"

#include <atomic>
#include <cstdlib>
#include <exception>
#include <string_view>

namespace corert {

namespace {

std::atomic<WindowSession*> installed_session{nullptr};

bool auto_answer_asked()
{
    const char* value = std::getenv("CORERT_AUTO_ANSWER");
    return value && *value && std::string_view(value) != "0";
}

std::unique_ptr<AutomationServer> serve_automation(WindowBackend& backend)
{
    const char* path = std::getenv("CORERT_AUTOMATION");
    if (!path || !*path)
        return nullptr;
    try {
        return std::make_unique<AutomationServer>(backend, path);
    } catch (const std::exception& problem) {
        // The program still runs; a script will find nothing at the path.
        say("%s; running without automation", problem.what());
        return nullptr;
    }
}

}  // namespace

WindowSession::WindowSession(const qx::FormSection& form, HandlerInvoker invoke_handler, GtkWindowMaker make_gtk,
                             std::unique_ptr<BrowserFactory> browsers, const BrowserPaneExtension* browser_pane)
    : form_(form)
{
    const char* automation_path = std::getenv("CORERT_AUTOMATION");
    BackendOptions options;
    options.invoke_handler = std::move(invoke_handler);
    options.browsers = std::move(browsers);
    const bool boxes_wait = automation_path && *automation_path && !auto_answer_asked();
    options.boxes_wait_for_answer = boxes_wait;
    options.auto_answer = auto_answer_asked();
    options.browser_pane = browser_pane;
    backend_ = make_window_backend(std::move(options), make_gtk);
    automation_ = serve_automation(*backend_);
    if (!automation_ && boxes_wait)
        say("message boxes will wait for an answer nobody can give");
    set_window_commands(backend_.get());
    installed_session.store(this);
}

WindowSession::~WindowSession()
{
    WindowSession* self = this;
    installed_session.compare_exchange_strong(self, nullptr);
    if (window_commands() == backend_.get())
        set_window_commands(nullptr);
    automation_.reset();  // before the backend it serves
}

WindowSession* current_window_session() { return installed_session.load(); }

}  // namespace corert
