#include "weatherd/service_log.h"

#include <unistd.h>

#include <cstdio>

namespace weatherd {

std::string Printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

void LogLine(std::string_view message)
{
    std::string line = kLinePrefix;
    for (char c : message) {
        if (c == '\n' || c == '\r')
            line += c == '\n' ? "\\x0A" : "\\x0D";
        else
            line.push_back(c);
    }
    line.push_back('\n');
    // One write: stderr is unbuffered, and fprintf may split a long line into several writes.
    for (size_t done = 0; done < line.size();) {
        ssize_t wrote = write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (wrote <= 0)
            return;
        done += static_cast<size_t>(wrote);
    }
}

}  // namespace weatherd
