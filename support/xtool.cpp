// xtool: special-function commands. The program uses one: Delay.
#include "support/support_library.h"

#include <time.h>

namespace nimbra::support {
namespace {

// Delay(milliseconds): returns after that time. Window events wait meanwhile; the program
// only ever pauses for 10 or 100 ms.
uint64_t Delay(const qx::ArgBlock* args)
{
    int32_t milliseconds = integer_argument(args, 0);
    if (milliseconds <= 0)
        return 0;
    timespec wait{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
    return 0;
}

const Command kCommands[] = {
    {qx::kCmdDelay, Delay, "Delay"},
};

const LibraryExports kExports = {kSupportAbiVersion, "xtool", kCommands, 1, nullptr};

}  // namespace
}  // namespace nimbra::support

extern "C" __attribute__((visibility("default"))) const nimbra::support::LibraryExports*
nimbra_support_library(const nimbra::support::RuntimeServices*)
{
    return &nimbra::support::kExports;
}
