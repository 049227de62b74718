// How the window and the browser control meet.
//
// The browser units come from the support library WebPane; the runtime's window asks a
// BrowserFactory for one control per browser unit and tells it every address and
// geometry the program sets. WebPane hands the runtime its factory of GTK controls as its
// library extension (support_library.h); the runtime's headless window has a recording
// factory of its own.
//
// Calls cross a library boundary, so the interface stays to plain virtual calls and
// plain data; both sides are built from this header, and neither needs the other's
// internals. Every call is made on the UI thread.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>

namespace nimbra::support {

// Where a unit sits in its window, in pixels.
struct Geometry {
    int32_t left = 0, top = 0, width = 0, height = 0;
    bool operator==(const Geometry&) const = default;
};

// What a browser control was given, and for a local file what it read at that moment.
struct PageLoad {
    std::string address;  // GBK, as the program gave it
    std::string url;      // not a local file: the address in UTF-8, for the control
    bool local_file = false;
    std::string path;   // local file: the POSIX path, UTF-8
    bool read = false;  // local file: it could be read
    std::string bytes;  // local file: its content when read
};

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
    // How the page lies in the control, for checking that it fits (UTF-8, null when the
    // control cannot tell): one line of measures in CSS pixels,
    //   scroll-width=N client-width=N scroll-height=N client-height=N text-right=N
    // (text-right: the right edge of the rightmost text box, scrolling included), then a
    // line break and the text that lies wholly in view without scrolling, its pieces
    // joined by blanks.
    virtual void page_layout(TextCallback done, void* context) { done(context, nullptr); }
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
// 2: BrowserControl::page_layout. A control of an older WebPane lacks it in its table of
// virtual functions, so the window takes no factory of another version.
inline constexpr uint32_t kBrowserPaneVersion = 2;

}  // namespace nimbra::support
