// WebPane's WebKit part, webpane-webkit.so beside WebPane.sle: the GTK window's browser
// controls as WebKitGTK views. WebPane.sle loads it only when the GTK window asks for
// its controls, so a headless program never loads WebKit.
//
// The window has already read a local file when it hands the page over (the page
// builders delete it 10 ms later): the view shows those bytes with the file's directory
// as the base address, so relative references resolve beside the file and absolute
// http references load as they are, and the file's deletion changes nothing.
#include "support/browser_pane.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <string>

namespace {

using nimbra::support::BrowserControl;
using nimbra::support::Geometry;
using nimbra::support::PageLoad;

// Settings every view gets. Under Xvfb there is no GPU: WebKit is told so at once
// instead of probing for GL. Its sandbox stays off (the 4.1 default), so the views
// also work as root in a container.
void configure(WebKitWebView* view)
{
    WebKitSettings* settings = webkit_web_view_get_settings(view);
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
}

// Measures the page as it lies in the view. Text is measured box by box (a range over
// each text node), since an element's own box can be narrower than the text that runs
// out of it; a piece counts as in view when every one of its boxes lies inside the
// viewport as it stands, unscrolled.
const char kLayoutScript[] = R"((function () {
  var root = document.documentElement, body = document.body;
  if (!root || !body) return null;
  var width = root.clientWidth, height = root.clientHeight, right = 0, seen = [];
  var walker = document.createTreeWalker(body, NodeFilter.SHOW_TEXT);
  var range = document.createRange();
  for (var node = walker.nextNode(); node; node = walker.nextNode()) {
    var text = node.nodeValue.replace(/\s+/g, ' ').trim();
    if (!text) continue;
    range.selectNodeContents(node);
    var boxes = range.getClientRects(), inside = boxes.length > 0;
    for (var i = 0; i < boxes.length; ++i) {
      var box = boxes[i];
      if (box.width === 0 && box.height === 0) continue;
      right = Math.max(right, box.right + window.scrollX);
      if (box.left < 0 || box.top < 0 || box.right > width || box.bottom > height) inside = false;
    }
    if (inside) seen.push(text);
  }
  return 'scroll-width=' + root.scrollWidth + ' client-width=' + width + ' scroll-height=' + root.scrollHeight +
         ' client-height=' + height + ' text-right=' + Math.ceil(right) + '\n' + seen.join(' ');
})())";

class WebKitPane final : public BrowserControl {
public:
    // A view related to another shares its web process.
    explicit WebKitPane(WebKitWebView* related)
    {
        view_ = WEBKIT_WEB_VIEW(related ? webkit_web_view_new_with_related_view(related) : webkit_web_view_new());
        g_object_ref_sink(view_);
        configure(view_);
        g_signal_connect(view_, "load-changed", G_CALLBACK(on_load_changed), this);
        g_signal_connect(view_, "create", G_CALLBACK(on_create), this);
    }

    ~WebKitPane() override
    {
        g_signal_handlers_disconnect_by_data(view_, this);
        g_object_unref(view_);
    }

    void show(const PageLoad& load) override
    {
        if (load.local_file) {
            std::string directory = load.path.substr(0, load.path.rfind('/') + 1);
            gchar* base = g_filename_to_uri(directory.empty() ? "/" : directory.c_str(), nullptr, nullptr);
            waiting_for_start_ = true;
            if (load.read) {
                GBytes* bytes = g_bytes_new(load.bytes.data(), load.bytes.size());
                // No encoding given: the page's own declaration decides, as for a file
                // opened from disk.
                webkit_web_view_load_bytes(view_, bytes, "text/html", nullptr, base);
                g_bytes_unref(bytes);
            } else {
                // Nothing could be read: the view says so itself.
                gchar* uri = g_filename_to_uri(load.path.c_str(), nullptr, nullptr);
                webkit_web_view_load_uri(view_, uri ? uri : "about:blank");
                g_free(uri);
            }
            g_free(base);
        } else if (!load.url.empty()) {
            waiting_for_start_ = true;
            webkit_web_view_load_uri(view_, load.url.c_str());
        }
    }

    // The window places and sizes the widget itself.
    void move(const Geometry&) override {}

    void* widget() override { return view_; }

    // A load asked for but not started yet counts: until then WebKit may still be
    // finishing the load it replaces.
    bool loading() const override { return waiting_for_start_ || webkit_web_view_is_loading(view_); }

    void visible_text(TextCallback done, void* context) override
    {
        auto* waiting = new Waiting{done, context};
        webkit_web_view_evaluate_javascript(view_, "document.body ? document.body.innerText : ''", -1, nullptr, nullptr,
                                            nullptr, on_text, waiting);
    }

    void page_layout(TextCallback done, void* context) override
    {
        auto* waiting = new Waiting{done, context};
        webkit_web_view_evaluate_javascript(view_, kLayoutScript, -1, nullptr, nullptr, nullptr, on_text, waiting);
    }

private:
    struct Waiting {
        TextCallback done;
        void* context;
    };

    static void on_load_changed(WebKitWebView*, WebKitLoadEvent event, gpointer data)
    {
        if (event == WEBKIT_LOAD_STARTED)
            static_cast<WebKitPane*>(data)->waiting_for_start_ = false;
    }

    // A link that asks for a new window opens in this view: the pane is the program's
    // only browser.
    static GtkWidget* on_create(WebKitWebView* view, WebKitNavigationAction* action, gpointer)
    {
        WebKitURIRequest* request = webkit_navigation_action_get_request(action);
        if (const gchar* uri = request ? webkit_uri_request_get_uri(request) : nullptr)
            webkit_web_view_load_uri(view, uri);
        return nullptr;
    }

    static void on_text(GObject* source, GAsyncResult* result, gpointer data)
    {
        auto* waiting = static_cast<Waiting*>(data);
        JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
        if (value && jsc_value_is_string(value)) {
            gchar* text = jsc_value_to_string(value);
            waiting->done(waiting->context, text);
            g_free(text);
        } else {
            waiting->done(waiting->context, nullptr);
        }
        if (value)
            g_object_unref(value);
        delete waiting;
    }

    WebKitWebView* view_ = nullptr;
    bool waiting_for_start_ = false;
};

// The window's panes share one web process: three small pages do not need three.
class WebKitPaneFactory final : public nimbra::support::BrowserFactory {
public:
    ~WebKitPaneFactory() override
    {
        if (first_)
            g_object_unref(first_);
    }

    std::unique_ptr<BrowserControl> create(uint32_t, const Geometry&) override
    {
        auto pane = std::make_unique<WebKitPane>(first_);
        if (!first_)
            first_ = WEBKIT_WEB_VIEW(g_object_ref(pane->widget()));
        return pane;
    }

private:
    WebKitWebView* first_ = nullptr;
};

}  // namespace

// A new factory of WebKit views (the caller owns it).
extern "C" __attribute__((visibility("default"))) nimbra::support::BrowserFactory* nimbra_webpane_webkit_factory()
{
    return new WebKitPaneFactory();
}
