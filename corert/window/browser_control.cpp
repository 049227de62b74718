#include "corert/window/browser_control.h"

#include "corert/gbk.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

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

namespace {

// Plain reads: a stream's buffer throws when read() fails (a directory by the file's
// name, an I/O error), and nothing here may end the program for a page it cannot read.
bool read_whole_file(const std::string& path, std::string& bytes)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[65536];
    ssize_t n;
    for (;;) {
        n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            bytes.append(buffer, size_t(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(fd);
    return n == 0;
}

}  // namespace

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
    load.read = read_whole_file(load.path, load.bytes);
    if (!load.read)
        load.bytes.clear();
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
