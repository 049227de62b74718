// qxinspect IMAGE_FILE [--section NAME]
//
// Prints a program image for people and for tests. A file that cannot be read or parsed
// gives exactly one line on stderr, "qxinspect: FILE: offset 0x..: field: problem" for
// a malformed image, and exit status 2; usage errors give status 1.
#include "image/gbk_text.h"
#include "image/image_layout.h"
#include "image/image_printer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

namespace {

constexpr int kExitFailure = 1;  // bad arguments, or the listing could not be written
constexpr int kExitBadInput = 2;

struct Options {
    std::string file;
    std::optional<std::string> section;
};

// Every message is one line in the tool's name; only the usage text is not.
void say(const std::string& message) { std::cerr << "qxinspect: " << message << '\n'; }

int usage(const char* problem)
{
    if (problem)
        say(problem);
    std::cerr << "usage: qxinspect IMAGE_FILE [--section NAME]\n";
    return kExitFailure;
}

std::optional<Options> parse_arguments(int argc, char** argv)
{
    Options options;
    bool have_file = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--section") {
            if (i + 1 >= argc)
                return std::nullopt;
            options.section = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return std::nullopt;
        } else if (!have_file) {
            options.file = arg;
            have_file = true;
        } else {
            return std::nullopt;
        }
    }
    if (!have_file)
        return std::nullopt;
    return options;
}

// Reads the whole file; on failure returns the reason instead.
std::optional<std::string> read_file(const std::string& path, qx::Bytes& out)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return std::string("cannot open: ") + std::strerror(errno);
    unsigned char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        out.insert(out.end(), buffer, buffer + got);
    bool failed = std::ferror(file);
    int error = errno;
    std::fclose(file);
    if (failed)
        return std::string("cannot read: ") + std::strerror(error);
    return std::nullopt;
}

// Whatever the file name or the problem holds, the report stays on one line.
int fail(const std::string& file, const std::string& problem)
{
    say(qx::show_controls(file) + ": " + qx::show_controls(problem));
    return kExitBadInput;
}

int inspect(const Options& options)
{
    qx::Bytes bytes;
    if (auto problem = read_file(options.file, bytes))
        return fail(options.file, *problem);

    // The listing is built in full before any of it is written, so a malformed image
    // produces the error line alone and never a half listing.
    std::ostringstream listing;
    try {
        qx::ImageLayoutInfo info;
        qx::Image image = qx::read_image(bytes, &info);
        if (options.section) {
            if (!qx::print_section(listing, image, info, *options.section))
                return fail(options.file, "no section named \"" + *options.section + "\"");
        } else {
            listing << "file bytes=" << bytes.size() << '\n';
            qx::print_image(listing, image, info);
        }
    } catch (const std::exception& e) {
        // FormatError's message already reads "offset 0x..: field: problem"; the readers
        // show names taken from the image as UTF-8 with odd bytes escaped.
        return fail(options.file, e.what());
    }
    std::cout << listing.str() << std::flush;
    return std::cout ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv)
{
    std::optional<Options> options = parse_arguments(argc, argv);
    if (!options)
        return usage(argc > 1 ? "bad arguments" : nullptr);
    return inspect(*options);
}
