// netlib: internet commands. The program uses one: FetchUrl, a plain HTTP GET whose body
// comes back as a byte set, empty when nothing could be fetched (netlib_fetch.h says
// what counts as fetched).
#include "support/netlib_fetch.h"
#include "support/support_library.h"

#include <string>

namespace nimbra::support {
namespace {

const RuntimeServices* g_runtime = nullptr;

// FetchUrl(address) -> byte set: the body of the response; empty on any failure.
uint64_t FetchUrl(const qx::ArgBlock* args)
{
    std::string body;
    if (!fetch(text_argument(args, 0), body))
        return 0;
    return byte_set_result(g_runtime, body.data(), static_cast<uint32_t>(body.size()));
}

const Command kCommands[] = {
    {qx::kCmdFetchUrl, FetchUrl, "FetchUrl"},
};

const LibraryExports kExports = {kSupportAbiVersion, "netlib", kCommands, 1, nullptr};

}  // namespace
}  // namespace nimbra::support

extern "C" __attribute__((visibility("default"))) const nimbra::support::LibraryExports*
nimbra_support_library(const nimbra::support::RuntimeServices* runtime)
{
    nimbra::support::g_runtime = runtime;
    nimbra::support::prepare_fetching();
    return &nimbra::support::kExports;
}
