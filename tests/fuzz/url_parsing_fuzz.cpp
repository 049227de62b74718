// UrlHost, UrlPath and UrlPort on arbitrary addresses, host-built against corert's own
// text commands and memory service. Both splitters rewrite the address the same way, the
// host holds no "/", the path starts with "/" and is the rewritten address's tail (or
// "/" alone), and every block is freed.
#include "tests/fuzz/fuzz_runtime.h"
#include "web/url_parsing.h"

#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    nimbra::fuzz::install_corert();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A text ends at its first NUL.
    std::string address(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    corert::MemoryCounters start = corert::memory_counters();
    {
        char* for_host = nimbra::fuzz::new_text(address);
        char* for_path = nimbra::fuzz::new_text(address);
        char* host = UrlHost(&for_host);
        char* path = UrlPath(&for_path);
        std::string rewritten(for_host);
        std::string tail(path);
        if (rewritten != for_path)
            nimbra::fuzz::unexpected("UrlHost and UrlPath rewrote the address differently, length",
                                     unsigned(rewritten.size()));
        if (std::string(host).find('/') != std::string::npos)
            nimbra::fuzz::unexpected("host holds a slash, length", unsigned(rewritten.size()));
        bool is_tail = tail.size() <= rewritten.size() && rewritten.ends_with(tail);
        if (tail.empty() || tail[0] != '/' || (!is_tail && tail != "/"))
            nimbra::fuzz::unexpected("path is not a tail starting with a slash, length", unsigned(tail.size()));
        UrlPort(address.c_str());
        corert_free(host);
        corert_free(path);
        corert_free(for_host);
        corert_free(for_path);
    }
    nimbra::fuzz::check_balanced(start);
    return 0;
}
