// Room weatherd/base/: what every other room of the service uses and nothing else: its one
// voice on standard error (this file) and the deadline a waiting page carries (deadline.h).
// It includes nothing of the service's.
//
// The service's one voice on standard error: every message is one line, "nimbra-weatherd: "
// then the message, written with one call so that lines from threads do not interleave.
// Text that came from outside (a request's path, a provider's words, a file name) goes
// through Printable first, so that no client or provider can start a line of its own.
//
// Once start_log_writer has run, lines go through a bounded queue that a thread of its own
// writes out: a reader of standard error that stops reading (a stalled pipe, a full disk
// behind a slow file) must never hold up a thread answering requests. What does not fit is
// dropped, and one later line says how many were.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace weatherd {

// `text` with control bytes (below 0x20, and 0x7F) and backslashes written as \xHH; UTF-8
// and other bytes from 0x80 up stay as they are, so that a provider's words and file names
// stay readable.
std::string printable(std::string_view text);

// The same with bytes from 0x80 up written as \xHH too: for what a client sent (a request's
// path), which need not be UTF-8 and must reach the log and a page as plain ASCII.
std::string printable_ascii(std::string_view text);

// What every line of the service begins with.
inline constexpr const char kLinePrefix[] = "nimbra-weatherd: ";

// Writes "nimbra-weatherd: MESSAGE\n". Line breaks inside `message` are escaped too, so a
// caller that forgot Printable still writes one line. Before start_log_writer it is written at
// once; after, queued.
void log_line(std::string_view message);

// Starts the thread that writes queued lines (with every signal blocked in it). When standard
// error is a file opened by name, remembers the name for reopen_log.
void start_log_writer();

// Waits until every queued line is written, for at most `most`; false when some were not.
bool flush_log(std::chrono::milliseconds most);

// Opens the file standard error was opened as anew (after it was rotated away), and says so
// in one line; says there is nothing to reopen when standard error is not such a file.
void reopen_log();

// The most bytes of lines waiting to be written; beyond it lines are dropped.
inline constexpr size_t kMostQueuedLogBytes = 1 << 20;

}  // namespace weatherd
