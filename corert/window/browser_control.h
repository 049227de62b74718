// The seam between the window and the hypertext browser control.
//
// The browser units come from the support library WebPane; the window backend asks a
// BrowserFactory for one control per browser unit and tells it every address and
// geometry the program sets. The headless backend uses the recording factory below;
// the GTK backend takes WebPane's.
//
// An address without a scheme is a local file (a Windows-style GBK path). The window
// reads such a file at once, before the property write returns, and hands the control
// its bytes: the page builders delete the file 10 ms later, and a control that read it
// lazily would show nothing.
#pragma once

#include "corert/window/window_state.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace corert {

// What a browser control was given, and for a local file what it read at that moment.
struct PageLoad {
    std::string address;     // GBK, as the program gave it
    std::string url;         // not a local file: the address in UTF-8, for the control
    bool local_file = false;
    std::string path;        // local file: the POSIX path, UTF-8
    bool read = false;       // local file: it could be read
    std::string bytes;       // local file: its content when read
};

// Calls cross a library boundary (WebPane.sle builds the GTK controls), so the
// interface stays to plain virtual calls; both sides are built from this header.
// Every call is made on the UI thread.
class BrowserControl {
public:
    virtual ~BrowserControl() = default;
    // Shows what `load` holds: a local file's bytes (already read), an address, or
    // nothing for an empty address.
    virtual void show(const PageLoad& load) = 0;
    virtual void move(const Geometry& geometry) = 0;
    // The control's widget (a GtkWidget*), placed by the window; null when it has none.
    virtual void* widget() { return nullptr; }
    // True from show() until that page, with everything it pulls in, has loaded or failed.
    virtual bool loading() const { return false; }
    // The page's visible text (UTF-8), handed to `done` once the control has it; null
    // when it cannot tell. `done` may be called before visible_text returns.
    using TextCallback = void (*)(void* context, const char* utf8_text);
    virtual void visible_text(TextCallback done, void* context) { done(context, nullptr); }
};

class BrowserFactory {
public:
    virtual ~BrowserFactory() = default;
    virtual std::unique_ptr<BrowserControl> create(uint32_t unit, const Geometry& geometry) = 0;
};

// What WebPane hands the runtime as its library extension.
struct BrowserPaneExtension {
    uint32_t version;  // kBrowserPaneVersion
    // A new factory of GTK browser controls (the caller owns it); null when the
    // library cannot make any. Called on the UI thread once GTK is initialised.
    BrowserFactory* (*create_gtk_factory)();
};
inline constexpr uint32_t kBrowserPaneVersion = 1;

// True when the address starts with a URL scheme ("http:", "file:", ...). A single
// letter before the colon is a drive, not a scheme.
bool has_url_scheme(std::string_view address);

// Classifies the address and, for a local file, reads it now; an address is also
// given in UTF-8 for the control.
PageLoad load_page_source(std::string_view gbk_address);

// Controls that do nothing but load_page_source: the headless backend's browser.
std::unique_ptr<BrowserFactory> make_recording_browser_factory();

}  // namespace corert
