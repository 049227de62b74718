// The automation protocol: one request line in, answer lines out.
//
// A request is a command and its arguments separated by blanks, in UTF-8. The answer
// is zero or more data lines, then one last line: "ok", or "error " and a message.
// Every data line starts with a word naming what it describes (unit, value, item, box,
// visit, data, opened, idle, closed, state). docs/automation.md lists the commands.
#pragma once

#include "corert/window/window_backend.h"

#include <stop_token>
#include <string>
#include <string_view>

namespace corert {

// Answers one request line (without its line end). wait-idle blocks up to its
// timeout; `stop` ends that wait early.
std::string answer_request(WindowBackend& backend, std::string_view line, std::stop_token stop = {});

}  // namespace corert
