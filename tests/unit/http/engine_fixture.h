// The request engine's tests run against a real runtime instance (HostedCorert) whose
// DLL-call service is the built wininet.so: its functions are found through the module's
// export table by the names of the program's DLL command table, and called through
// qx::call_resolved_dll, so the argument count of every call is checked as the runtime
// checks it. Every call is recorded with the texts it was given, and a test may make
// one DLL command fail or answer a read itself.
#pragma once

#include "image/dll_call.h"
#include "platform/dll_exports.h"
#include "runtime/service_abi.h"
#include "local_server.h"
#include "tests/support/hosted_corert.h"
#include "viewer/program_description.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace http_test {

// The stand-in, resolved once per process, in DLL command order.
class WininetModule {
public:
    static WininetModule& get()
    {
        static WininetModule module;
        return module;
    }
    const qx::ResolvedDllFunction* function(uint32_t command) const
    {
        return command < functions_.size() ? &functions_[command] : nullptr;
    }
    const std::string& name(uint32_t command) const { return names_.at(command); }

private:
    WininetModule()
    {
        void* handle = dlopen(WININET_SO, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            throw std::runtime_error(dlerror());
        auto entry =
            reinterpret_cast<nimbra::platform::DllExportsEntry>(dlsym(handle, nimbra::platform::kDllExportsEntryName));
        if (!entry)
            throw std::runtime_error("wininet.so has no export table");
        const nimbra::platform::DllExports* exports = entry();
        for (const std::string& wanted : nimbra::dll_function_names()) {
            const nimbra::platform::DllExport* found = nullptr;
            for (uint32_t i = 0; i < exports->count; ++i) {
                if (wanted == exports->entries[i].name)
                    found = &exports->entries[i];
            }
            if (!found)
                throw std::runtime_error("wininet.so lacks " + wanted);
            functions_.push_back({found->address, found->argument_count});
            names_.push_back(wanted);
        }
    }

    std::vector<qx::ResolvedDllFunction> functions_;
    std::vector<std::string> names_;
};

// One DLL call as the engine made it.
struct DllCall {
    uint32_t command = 0;
    std::vector<uint64_t> args;
    std::map<size_t, std::string> texts;  // text arguments by position (absent: null)
    uint32_t result = 0;
    uint32_t count_read = 0;  // InternetReadFile: the count it reported
};

inline std::string text_at(uint64_t word) { return std::string(reinterpret_cast<const char*>(word)); }

// Which arguments of each DLL command are texts.
inline std::vector<size_t> text_positions(uint32_t command)
{
    switch (command) {
    case qx::kDllInternetOpen: return {0, 2, 3};
    case qx::kDllInternetConnect: return {1, 3, 4};
    case qx::kDllHttpOpenRequest: return {1, 2, 3, 4};
    case qx::kDllHttpSendRequest: return {1, 3};
    case qx::kDllInternetSetCookie: return {0, 1, 2};
    default: return {};
    }
}

class EngineTest : public nimbra::testing::HostedCorertTest {
protected:
    void SetUp() override
    {
        runtime.call_dll = [this](uint32_t command, uint32_t count, const uint64_t* args) {
            return dll_call(command, count, args);
        };
        runtime.intercept_kernel = [this](uint32_t command, const qx::ArgBlock*) -> std::optional<uint64_t> {
            if (command == qx::kCmdProcessEvents) {
                ++events_processed;
                log.push_back("events");
            }
            return std::nullopt;
        };
    }

    uint32_t dll_call(uint32_t command, uint32_t count, const uint64_t* args)
    {
        DllCall call{command, std::vector<uint64_t>(args, args + count), {}, 0};
        for (size_t at : text_positions(command)) {
            if (at < count && args[at])
                call.texts[at] = text_at(args[at]);
        }
        std::optional<uint32_t> result;
        if (fail_command && *fail_command == command)
            result = 0;
        else if (command == qx::kDllInternetReadFile && answer_read)
            result = answer_read(count, args);
        else if (const qx::ResolvedDllFunction* f = WininetModule::get().function(command))
            result = qx::call_resolved_dll(*f, count, args);
        if (!result) {
            ADD_FAILURE() << "DLL command " << command << " called with " << count << " arguments";
            runtime.run_time_errors.push_back(qx::kErrorDamagedStack);
            result = 0;
        }
        call.result = *result;
        if (command == qx::kDllInternetReadFile) {
            call.count_read = *reinterpret_cast<uint32_t*>(args[3]);
            log.push_back("read " + std::to_string(call.count_read));
        }
        calls.push_back(std::move(call));
        return *result;
    }

    std::vector<DllCall> calls_of(uint32_t command) const
    {
        std::vector<DllCall> found;
        for (const DllCall& c : calls) {
            if (c.command == command)
                found.push_back(c);
        }
        return found;
    }

    // In each exchange (the calls from one InternetOpenA to the next), the handles the
    // engine got are closed exactly once each, in the reverse order, after every other
    // call but the cookie recording.
    void expect_handles_closed_in_reverse() const
    {
        size_t begin = 0;
        while (begin < calls.size()) {
            size_t end = begin + 1;
            while (end < calls.size() && calls[end].command != qx::kDllInternetOpen)
                ++end;
            expect_closed_in_reverse(begin, end);
            begin = end;
        }
    }

    void expect_closed_in_reverse(size_t begin, size_t end) const
    {
        std::vector<uint32_t> opened, closed;
        bool closing = false;
        for (size_t i = begin; i < end; ++i) {
            const DllCall& c = calls[i];
            if (c.command == qx::kDllInternetCloseHandle) {
                closed.push_back(uint32_t(c.args[0]));
                closing = true;
            } else if (closing && c.command != qx::kDllInternetSetCookie) {
                ADD_FAILURE() << "DLL command " << c.command << " after a handle was closed (call " << i << ")";
            }
            bool opens = c.command == qx::kDllInternetOpen || c.command == qx::kDllInternetConnect ||
                         c.command == qx::kDllHttpOpenRequest;
            if (opens && c.result)
                opened.insert(opened.begin(), c.result);
        }
        EXPECT_EQ(closed, opened) << "exchange from call " << begin;
    }

    // The cookies recorded, as "address name data" lines.
    std::vector<std::string> recorded_cookies() const
    {
        std::vector<std::string> cookies;
        for (const DllCall& c : calls_of(qx::kDllInternetSetCookie))
            cookies.push_back(c.texts.at(0) + " " + c.texts.at(1) + " " + c.texts.at(2));
        return cookies;
    }

    std::optional<uint32_t> fail_command;  // this DLL command answers 0 without running
    // Answers InternetReadFile instead of the stand-in (count, args) -> result.
    std::function<uint32_t(uint32_t count, const uint64_t* args)> answer_read;
    std::vector<DllCall> calls;
    std::vector<std::string> log;  // "events" and "read <count>" in the order they came
    int events_processed = 0;
};

inline std::string failure_value() { return std::string(255, '\0'); }

}  // namespace http_test
