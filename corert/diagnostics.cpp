#include "corert/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

#ifdef _WIN32
// Windows' C library names the stream lock differently.
void lock_stream(FILE* stream) { _lock_file(stream); }
void unlock_stream(FILE* stream) { _unlock_file(stream); }
#else
void lock_stream(FILE* stream) { flockfile(stream); }
void unlock_stream(FILE* stream) { funlockfile(stream); }
#endif

}  // namespace

namespace corert {

void say(const char* format, ...)
{
    // One write for the whole line: stderr is unbuffered, and lines from the window's,
    // the browsers' and the network's threads must not interleave.
    char line[1024];
    constexpr size_t kPrefixLength = sizeof kDiagnosticPrefix - 1;
    std::memcpy(line, kDiagnosticPrefix, kPrefixLength);
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(line + kPrefixLength, sizeof line - kPrefixLength, format, args);
    va_end(args);
    if (length >= 0 && kPrefixLength + static_cast<size_t>(length) < sizeof line) {
        size_t end = kPrefixLength + static_cast<size_t>(length);
        line[end] = '\n';
        std::fwrite(line, 1, end + 1, stderr);
    } else {
        // Too long for the line buffer (a long path or library error): the same bytes,
        // with the stream locked so that other threads' lines still do not cut in.
        lock_stream(stderr);
        std::fputs(kDiagnosticPrefix, stderr);
        std::vfprintf(stderr, format, again);
        std::fputc('\n', stderr);
        unlock_stream(stderr);
    }
    va_end(again);
    std::fflush(stderr);
}

}  // namespace corert
