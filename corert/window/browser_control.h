// The seam between the window and the hypertext browser control.
//
// The browser units come from the support library WebPane; the window backend asks a
// BrowserFactory for one control per browser unit and tells it every address and
// geometry the program sets. The headless backend uses the recording factory below;
// the GTK backend takes WebPane's.
//
// An address without a scheme is a local file (a Windows-style GBK path). The control
// reads such a file at once, before the property write returns: the page builders
// delete the file 10 ms later, and a control that read it lazily would show nothing.
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
    bool local_file = false;
    std::string path;        // local file: the POSIX path, UTF-8
    bool read = false;       // local file: it could be read
    std::string bytes;       // local file: its content when read
};

class BrowserControl {
public:
    virtual ~BrowserControl() = default;
    // Opens `gbk_address`; an empty address opens nothing but is still reported.
    virtual PageLoad open(std::string_view gbk_address) = 0;
    virtual void move(const Geometry& geometry) = 0;
};

class BrowserFactory {
public:
    virtual ~BrowserFactory() = default;
    virtual std::unique_ptr<BrowserControl> create(uint32_t unit, const Geometry& geometry) = 0;
};

// True when the address starts with a URL scheme ("http:", "file:", ...). A single
// letter before the colon is a drive, not a scheme.
bool has_url_scheme(std::string_view address);

// Classifies the address and, for a local file, reads it now.
PageLoad load_page_source(std::string_view gbk_address);

// Controls that do nothing but load_page_source: the headless backend's browser.
std::unique_ptr<BrowserFactory> make_recording_browser_factory();

}  // namespace corert
