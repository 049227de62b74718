// The window's side of the browser control (support/browser_pane.h): how an address is
// classified and a local page read, and the recording controls of the headless backend;
// the GTK backend takes WebPane's.
//
// An address without a scheme is a local file (a Windows-style GBK path). The window
// reads such a file at once, before the property write returns, and hands the control
// its bytes: the page builders delete the file 10 ms later, and a control that read it
// lazily would show nothing.
#pragma once

#include "support/browser_pane.h"

#include <memory>
#include <string_view>

namespace corert {

using nimbra::support::BrowserControl;
using nimbra::support::BrowserFactory;
using nimbra::support::BrowserPaneExtension;
using nimbra::support::kBrowserPaneVersion;
using nimbra::support::PageLoad;

// True when the address starts with a URL scheme ("http:", "file:", ...). A single
// letter before the colon is a drive, not a scheme.
bool has_url_scheme(std::string_view address);

// Classifies the address and, for a local file, reads it now; an address is also
// given in UTF-8 for the control.
PageLoad load_page_source(std::string_view gbk_address);

// Controls that do nothing but load_page_source: the headless backend's browser.
std::unique_ptr<BrowserFactory> make_recording_browser_factory();

}  // namespace corert
