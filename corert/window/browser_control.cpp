#include "corert/window/browser_control.h"

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

std::unique_ptr<BrowserFactory> make_recording_browser_factory()
{
    return std::make_unique<RecordingBrowserFactory>();
}

}  // namespace corert
