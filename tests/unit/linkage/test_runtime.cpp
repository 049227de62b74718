#include "tests/unit/linkage/test_runtime.h"

#include "viewer/unit_ids.h"

#include <cstdlib>
#include <cstring>

namespace linkage_test {

namespace {

Recorder the_recorder;

const uint32_t kKnownUnits[] = {
    nimbra::kWindowId,     nimbra::kUnitLabel2,   nimbra::kUnitCombo3,   nimbra::kUnitCombo2,  nimbra::kUnitCombo1,
    nimbra::kUnitBrowser4, nimbra::kUnitLabel1,   nimbra::kUnitBrowser2, nimbra::kUnitButton3, nimbra::kUnitButton2,
    nimbra::kUnitButton1,  nimbra::kUnitEditBox1, nimbra::kUnitBrowser1,
};

const qx::ResolvedDllFunction kCloseHandle{reinterpret_cast<void*>(&close_handle_stand_in), 1};

void* allocate_block(size_t bytes)
{
    void* p = std::calloc(1, bytes ? bytes : 1);
    the_recorder.live_blocks.insert(p);
    return p;
}

char* new_text(const std::string& s)
{
    auto* p = static_cast<char*>(allocate_block(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

const char* text_of(const qx::ArgRecord& r) { return reinterpret_cast<const char*>((uint64_t(r.high) << 32) | r.low); }

void* text_array(const std::vector<std::string>& items)
{
    auto* block = static_cast<uint8_t*>(allocate_block(8 + 8 * items.size()));
    uint32_t head[2] = {1, uint32_t(items.size())};
    std::memcpy(block, head, 8);
    for (size_t i = 0; i < items.size(); ++i) {
        char* t = new_text(items[i]);
        std::memcpy(block + 8 + 8 * i, &t, 8);
    }
    return block;
}

KernelCall record(uint32_t library, uint32_t command, const qx::ArgBlock* args)
{
    KernelCall call{library, command, {}, {}};
    for (uint32_t i = 0; i < args->count; ++i) {
        call.records.push_back(args->records[i]);
        if (args->records[i].type == qx::kTagText)
            call.texts.emplace_back(text_of(args->records[i]));
    }
    the_recorder.commands.push_back(call);
    return call;
}

// ---- services ----

void run_time_error(uint32_t code) { the_recorder.errors.push_back(code); }

uint32_t call_dll(uint32_t command, uint32_t count, const uint64_t* args)
{
    the_recorder.dll_words.assign(args, args + count);
    if (command != qx::kDllInternetCloseHandle + kDllCounterpartBias) {
        run_time_error(0xd11);
        return 0;
    }
    auto result = qx::call_resolved_dll(kCloseHandle, count, args);
    if (!result) {
        run_time_error(qx::kErrorDamagedStack);
        return 0;
    }
    return *result;
}

uint64_t call_kernel(uint32_t command, const qx::ArgBlock* args)
{
    KernelCall call = record(0xffffffff, command, args);
    switch (command) {
    case qx::kCmdFindText: return 3;
    case qx::kCmdTextLength: return std::strlen(call.texts.at(0).c_str());
    case qx::kCmdToNumber: {
        double v = 2.5;
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        return bits;
    }
    case qx::kCmdLeftText: return reinterpret_cast<uintptr_t>(new_text(call.texts.at(0).substr(0, 2)));
    case qx::kCmdRightText: return reinterpret_cast<uintptr_t>(new_text(call.texts.at(0).substr(1)));
    case qx::kCmdToByteSet: return reinterpret_cast<uintptr_t>(new_byte_set(call.texts.at(0)));
    case qx::kCmdSplitText: return reinterpret_cast<uintptr_t>(text_array({"a", "b"}));
    }
    return 0x1234;
}

uint64_t call_library(uint32_t library, uint32_t command, const qx::ArgBlock* args)
{
    record(library, command, args);
    return reinterpret_cast<uintptr_t>(new_byte_set("body"));
}

uint64_t get_unit_property(uint32_t window, uint32_t unit, uint32_t property, int32_t element)
{
    the_recorder.services.push_back({4, {window, unit, property, uint64_t(int64_t(element))}});
    return 77;
}

void set_unit_property(uint32_t window, uint32_t unit, uint32_t property, int32_t element, uint32_t low, uint32_t high)
{
    uint64_t value = (uint64_t(high) << 32) | low;
    std::vector<uint64_t> words{window, unit, property, uint64_t(int64_t(element)), value};
    if (property == qx::kPropText)
        words.push_back(std::strlen(reinterpret_cast<const char*>(value)));
    the_recorder.services.push_back({5, words});
}

void* allocate(uint32_t bytes) { return allocate_block(bytes); }

void* reallocate(void* block, uint32_t bytes)
{
    the_recorder.live_blocks.erase(block);
    void* p = std::realloc(block, bytes);
    the_recorder.live_blocks.insert(p);
    return p;
}

void free_block(void* block)
{
    if (the_recorder.in_const && the_recorder.in_const(block)) {
        the_recorder.ignored_frees.push_back(block);
        return;
    }
    if (the_recorder.live_blocks.erase(block) == 0) {
        the_recorder.foreign_frees.push_back(block);
        return;
    }
    std::free(block);
}

void run_event_loop() { the_recorder.services.push_back({9, {}}); }
void hand_over(uint32_t zero) { the_recorder.services.push_back({10, {zero}}); }
void load_window(uint32_t window) { the_recorder.services.push_back({11, {window}}); }
void register_service(uint32_t function, uint64_t a, uint64_t b)
{
    the_recorder.services.push_back({12, {function, a, b}});
}

}  // namespace

Recorder& recorder() { return the_recorder; }

void reset_recorder(std::function<bool(const void*)> in_const, const char* empty_text)
{
    for (void* p : the_recorder.live_blocks)
        std::free(p);
    the_recorder = Recorder{};
    the_recorder.in_const = std::move(in_const);
    the_recorder.empty_text = empty_text;
}

std::array<void*, qx::kServiceSlotCount> service_functions()
{
    return {
        reinterpret_cast<void*>(&run_time_error),    reinterpret_cast<void*>(&call_dll),
        reinterpret_cast<void*>(&call_library),      reinterpret_cast<void*>(&call_kernel),
        reinterpret_cast<void*>(&get_unit_property), reinterpret_cast<void*>(&set_unit_property),
        reinterpret_cast<void*>(&allocate),          reinterpret_cast<void*>(&reallocate),
        reinterpret_cast<void*>(&free_block),        reinterpret_cast<void*>(&run_event_loop),
        reinterpret_cast<void*>(&hand_over),         reinterpret_cast<void*>(&load_window),
        reinterpret_cast<void*>(&register_service),
    };
}

uint32_t counterpart(uint32_t group, uint32_t value)
{
    switch (group) {
    case qx::kGroupUnitId:
        for (size_t i = 0; i < std::size(kKnownUnits); ++i) {
            if (kKnownUnits[i] == value)
                return kUnitCounterpartBase + uint32_t(i);
        }
        return kUnknownUnit;
    case qx::kGroupDllCommand: return value + kDllCounterpartBias;
    case qx::kGroupLibrary: return value + kLibraryCounterpartBias;
    case qx::kGroupDataType: return value ^ 0x00ff0000;
    }
    return 0xbad;
}

uint64_t close_handle_stand_in(uint64_t handle)
{
    ++the_recorder.dll_function_calls;
    return handle * 2 + 1;
}

void* new_byte_set(const std::string& bytes)
{
    auto* block = static_cast<uint8_t*>(allocate_block(8 + bytes.size()));
    uint32_t head[2] = {1, uint32_t(bytes.size())};
    std::memcpy(block, head, 8);
    std::memcpy(block + 8, bytes.data(), bytes.size());
    return block;
}

}  // namespace linkage_test
