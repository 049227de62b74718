#include "corert/run_time_error.h"

#include "corert/diagnostics.h"

#include <cstdio>
#include <cstdlib>

namespace corert {

namespace {

ErrorDialog& error_dialog()
{
    static ErrorDialog dialog;
    return dialog;
}

[[noreturn]] void report_and_exit(const std::string& message, int status)
{
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    if (error_dialog())
        error_dialog()(message);
    // The process ends here without unwinding: image code is on the stack and has no
    // unwind information, and the program's state is not to be trusted any more.
    std::_Exit(status);
}

}  // namespace

void set_error_dialog(ErrorDialog dialog) { error_dialog() = std::move(dialog); }

void raise_run_time_error(uint32_t code)
{
    report_and_exit("run-time error " + std::to_string(code), kRunTimeErrorExitStatus);
}

void fail_to_start(const std::string& message)
{
    report_and_exit(kDiagnosticPrefix + message, kStartFailureExitStatus);
}

}  // namespace corert
