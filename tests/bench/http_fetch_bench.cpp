// FetchPageText, as the program image holds it, against `curl -s -o /dev/null` on the
// same loopback address, for 100 KB, 1 MB and 10 MB bodies. Both are timed side by side
// in one run (alternating, median of the repetitions); curl's time is the whole command,
// as a user would run it. The engine's time per MB shows whether its cost grows linearly.
//
//   build-dir/tests/bench/http_fetch_bench [repetitions] [engine-only]
//
// With "engine-only" curl is left out, so that a profiler (perf record) sees the engine
// and the server alone.
#include "http_bench_objects.h"
#include "image/dll_call.h"
#include "platform/dll_exports.h"
#include "tests/support/hosted_corert.h"
#include "tests/support/hosted_image.h"
#include "viewer/program_description.h"
#include "web/http_request.h"

#include <httplib.h>

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The stand-in's functions in DLL command order, as the runtime resolves them.
std::vector<qx::ResolvedDllFunction> load_wininet()
{
    void* handle = dlopen(WININET_SO, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw std::runtime_error(dlerror());
    auto entry =
        reinterpret_cast<nimbra::platform::DllExportsEntry>(dlsym(handle, nimbra::platform::kDllExportsEntryName));
    const nimbra::platform::DllExports* exports = entry ? entry() : nullptr;
    if (!exports)
        throw std::runtime_error("wininet.so has no export table");
    std::vector<qx::ResolvedDllFunction> functions;
    for (const std::string& name : nimbra::dll_function_names()) {
        for (uint32_t i = 0; i < exports->count; ++i) {
            if (name == exports->entries[i].name)
                functions.push_back({exports->entries[i].address, exports->entries[i].argument_count});
        }
    }
    if (functions.size() != nimbra::dll_function_names().size())
        throw std::runtime_error("wininet.so lacks a function of the DLL table");
    return functions;
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double time_curl(const std::string& url)
{
    const char* argv[] = {"curl", "-s", "-o", "/dev/null", url.c_str(), nullptr};
    auto start = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        throw std::runtime_error("cannot run curl");
    int status = 0;
    waitpid(pid, &status, 0);
    double elapsed = seconds_since(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("curl failed on " + url);
    return elapsed;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    bool with_curl = !(argc > 2 && std::string(argv[2]) == "engine-only");
    setenv("no_proxy", "127.0.0.1", 1);

    struct Size {
        const char* name;
        size_t bytes;
    };
    const Size sizes[] = {{"100 KB", 100 * 1024}, {"1 MB", 1 << 20}, {"10 MB", 10 << 20}};

    httplib::Server server;
    std::vector<std::string> bodies;
    for (const Size& s : sizes) {
        std::string body(s.bytes, '\0');
        for (size_t i = 0; i < body.size(); ++i)
            body[i] = char('a' + i % 26);  // no zero byte, so the whole body becomes text
        bodies.push_back(std::move(body));
    }
    server.Get(R"(/(\d+))", [&](const httplib::Request& q, httplib::Response& a) {
        a.set_content(bodies.at(std::stoul(q.matches[1])), "text/html");
    });
    int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::vector<qx::ResolvedDllFunction> wininet = load_wininet();
    nimbra::testing::HostedImage image(kHttpBenchObjects, "FetchPageText");
    nimbra::testing::HostedCorert runtime;
    runtime.call_dll = [&](uint32_t command, uint32_t count, const uint64_t* args) -> uint32_t {
        auto result = qx::call_resolved_dll(wininet.at(command), count, args);
        if (!result)
            throw std::runtime_error("DLL call with a wrong argument count");
        return *result;
    };
    auto fetch_page_text = image.routine<decltype(::FetchPageText)>("FetchPageText");

    auto time_engine = [&](const std::string& url, size_t expected) {
        char* address = nimbra::testing::HostedCorert::new_text(url);
        auto start = Clock::now();
        char* text = fetch_page_text(&address);
        double elapsed = seconds_since(start);
        size_t got = nimbra::testing::HostedCorert::take_text(text).size();
        nimbra::testing::HostedCorert::take_text(address);
        if (got != expected)
            throw std::runtime_error("FetchPageText gave " + std::to_string(got) + " bytes of " +
                                     std::to_string(expected));
        return elapsed;
    };

    std::printf("%-8s %14s %14s %8s %18s\n", "body", "FetchPageText", "curl", "ratio", "engine ms per MB");
    for (size_t i = 0; i < std::size(sizes); ++i) {
        std::string url = "http://127.0.0.1:" + std::to_string(port) + "/" + std::to_string(i);
        time_engine(url, sizes[i].bytes);  // warm-up
        std::vector<double> engine, curl;
        if (with_curl)
            time_curl(url);
        for (int r = 0; r < repetitions; ++r) {
            engine.push_back(time_engine(url, sizes[i].bytes));
            if (with_curl)
                curl.push_back(time_curl(url));
        }
        double e = median(engine), c = with_curl ? median(curl) : 0;
        std::printf("%-8s %11.2f ms %11.2f ms %7.2fx %15.2f ms\n", sizes[i].name, e * 1e3, c * 1e3, c > 0 ? e / c : 0.0,
                    e * 1e3 / (double(sizes[i].bytes) / (1 << 20)));
    }
    if (!runtime.balanced())
        std::fprintf(stderr, "http_fetch_bench: blocks leaked\n");

    server.stop();
    serving.join();
    return 0;
}
