// What the window's browser units are given: an address, or a local page read at once
// (the page builders delete the file 10 ms later), handed to the unit's control and
// recorded in the visit log that automation reads.
#include "corert/window/browser_control.h"
#include "corert/window/window_core.h"

#include "corert/gbk.h"
#include "corert/whole_file.h"
#include "platform/program_directory.h"

namespace corert {


bool has_url_scheme(std::string_view address)
{
    size_t colon = address.find(':');
    if (colon == std::string_view::npos || colon < 2)
        return false;
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!letter(address[0]))
        return false;
    for (size_t i = 1; i < colon; ++i) {
        char c = address[i];
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

PageLoad load_page_source(std::string_view gbk_address)
{
    PageLoad load;
    load.address = gbk_address;
    if (gbk_address.empty())
        return load;
    if (has_url_scheme(gbk_address)) {
        load.url = gbk_to_utf8(gbk_address);
        return load;
    }
    load.local_file = true;
    load.path = windows_path_to_posix(gbk_address);
    // The page file may have gone to the user's store (platform/program_directory.h);
    // the path stays the program directory's, where the page's relative references lie.
    std::optional<std::string> bytes =
        read_whole_file(nimbra::platform::program_file_path(load.path, nimbra::platform::FileUse::Read));
    load.read = bytes.has_value();
    if (bytes)
        load.bytes = std::move(*bytes);
    return load;
}

namespace {

class RecordingBrowser final : public BrowserControl {
public:
    void show(const PageLoad&) override {}
    void move(const Geometry&) override {}
};

class RecordingBrowserFactory final : public BrowserFactory {
public:
    std::unique_ptr<BrowserControl> create(uint32_t, const Geometry&) override
    {
        return std::make_unique<RecordingBrowser>();
    }
};

}  // namespace

std::unique_ptr<BrowserFactory> make_recording_browser_factory() { return std::make_unique<RecordingBrowserFactory>(); }

BrowserControl* WindowCore::browser(uint32_t unit)
{
    auto found = browsers_.find(unit);
    return found == browsers_.end() ? nullptr : found->second.get();
}

void WindowCore::open_in_browser(uint32_t unit, const std::string& address)
{
    // Read now, before the property write returns: the page builders delete the file
    // 10 ms later.
    PageLoad load = load_page_source(address);
    browsers_.at(unit)->show(load);
    std::lock_guard lock(mutex_);
    BrowserVisit visit;
    visit.number = static_cast<uint32_t>(visits_.size() + 1);
    visit.unit = unit;
    visit.load = std::move(load);
    visits_.push_back(std::move(visit));
}

}  // namespace corert
