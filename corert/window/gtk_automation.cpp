// What only a window on a screen can answer, for automation: whether a browser pane has
// loaded its page, the page's visible text, and a picture of the window. Each question
// is run on the UI thread and waited for on the asking thread.
#include "corert/window/gtk_window.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace corert {

// Where a task run on the UI thread leaves its answer for the thread that asked.
struct UiCall {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    std::string problem;
    std::string text;

    void finish(std::string why_not = {}, std::string result = {})
    {
        std::lock_guard lock(mutex);
        if (done)
            return;
        done = true;
        problem = std::move(why_not);
        text = std::move(result);
        done_changed.notify_all();
    }
};

namespace {

struct UiTask {
    std::function<void(const std::shared_ptr<UiCall>&)> run;
    std::shared_ptr<UiCall> call;
};

}  // namespace

std::string GtkWindowBackend::wait_page(uint32_t unit, std::chrono::milliseconds timeout, std::stop_token stop)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        std::string answer;
        std::string problem = on_ui(
            [this, unit](const std::shared_ptr<UiCall>& call) {
                BrowserControl* control = browser(unit);
                if (!control)
                    return call->finish("not a browser unit");
                call->finish({}, control->loading() ? "loading" : "loaded");
            },
            std::max(left, std::chrono::milliseconds(1)), answer);
        if (!problem.empty())
            return problem;
        if (answer == "loaded")
            return {};
        if (stop.stop_requested() || std::chrono::steady_clock::now() >= deadline)
            return "still loading after " + std::to_string(timeout.count() / 1000) + " s";
        // The load ends on the UI thread; looking again every 50 ms costs nothing.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

namespace {

// Hands a browser's answer to the call waiting for it; `held` is that call's share, given
// to the browser as its callback's context.
void finish_browser_answer(void* held, const char* result, const char* why_not)
{
    auto* waiting = static_cast<std::shared_ptr<UiCall>*>(held);
    if (result)
        (*waiting)->finish({}, result);
    else
        (*waiting)->finish(why_not);
    delete waiting;
}

}  // namespace

std::string GtkWindowBackend::page_text(uint32_t unit, std::chrono::milliseconds timeout, std::string& text)
{
    return on_ui(
        [this, unit](const std::shared_ptr<UiCall>& call) {
            BrowserControl* control = browser(unit);
            if (!control)
                return call->finish("not a browser unit");
            control->visible_text(
                [](void* held, const char* result) {
                    finish_browser_answer(held, result, "the browser cannot tell its text");
                },
                new std::shared_ptr<UiCall>(call));
        },
        timeout, text);
}

std::string GtkWindowBackend::page_layout(uint32_t unit, std::chrono::milliseconds timeout, std::string& layout)
{
    return on_ui(
        [this, unit](const std::shared_ptr<UiCall>& call) {
            BrowserControl* control = browser(unit);
            if (!control)
                return call->finish("not a browser unit");
            control->page_layout(
                [](void* held, const char* result) {
                    finish_browser_answer(held, result, "the browser cannot tell how its page lies");
                },
                new std::shared_ptr<UiCall>(call));
        },
        timeout, layout);
}

std::string GtkWindowBackend::screenshot(const std::string& path, std::chrono::milliseconds timeout)
{
    std::string ignored;
    return on_ui(
        [this, path](const std::shared_ptr<UiCall>& call) {
            GdkWindow* surface = window_ ? gtk_widget_get_window(layout_) : nullptr;
            if (!surface || !gtk_widget_get_mapped(window_))
                return call->finish("the window is not on the screen");
            gdk_display_sync(gdk_window_get_display(surface));
            GtkAllocation area;
            gtk_widget_get_allocation(layout_, &area);
            GdkPixbuf* picture = gdk_pixbuf_get_from_window(surface, 0, 0, area.width, area.height);
            if (!picture)
                return call->finish("the window's picture cannot be read");
            GError* error = nullptr;
            bool saved = gdk_pixbuf_save(picture, path.c_str(), "png", &error, nullptr);
            g_object_unref(picture);
            if (!saved) {
                std::string why = path + ": " + (error ? error->message : "cannot be written");
                g_clear_error(&error);
                return call->finish(why);
            }
            call->finish();
        },
        timeout, ignored);
}

// Runs `task` on the UI thread and waits for it to finish its call (maybe later,
// from a callback); empty when it finished in time, else why not.
std::string GtkWindowBackend::on_ui(std::function<void(const std::shared_ptr<UiCall>&)> task,
                                    std::chrono::milliseconds timeout, std::string& text)
{
    auto call = std::make_shared<UiCall>();
    g_idle_add(on_ui_task, new UiTask{std::move(task), call});
    std::unique_lock lock(call->mutex);
    if (!call->done_changed.wait_for(lock, timeout, [&] { return call->done; }))
        return "the window did not answer within " + std::to_string(timeout.count() / 1000) + " s (a handler holds it)";
    text = call->text;
    return call->problem;
}

gboolean GtkWindowBackend::on_ui_task(gpointer data)
{
    std::unique_ptr<UiTask> task(static_cast<UiTask*>(data));
    if (!live_)
        task->call->finish("the window is gone");
    else
        task->run(task->call);
    return G_SOURCE_REMOVE;
}

}  // namespace corert
