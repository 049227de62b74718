// CollectFields and RemoveDuplicates on arbitrary settings texts and parameters,
// host-built against corert's own text commands and memory service. CollectFields counts
// what it appended, RemoveDuplicates never adds and never loses a distinct text, and
// every block is freed.
#include "runtime/arrays.h"
#include "tests/fuzz/fuzz_runtime.h"
#include "viewer/city_selection.h"
#include "viewer/text_lists.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <set>
#include <string>

namespace {

std::set<std::string> distinct_texts(const void* list, uint32_t& count)
{
    std::set<std::string> texts;
    count = qx::rt::ArrayElementCount(list);
    for (uint32_t i = 1; i <= count; ++i)
        texts.insert(qx::rt::TextElement(list, int32_t(i)));
    return texts;
}

// A text argument: up to a few bytes, ending at a NUL as texts do.
std::string short_text(FuzzedDataProvider& input) { return input.ConsumeRandomLengthString(8).c_str(); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    nimbra::fuzz::install_corert();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    bool ignore_case = input.ConsumeBool();
    bool prepend_key = input.ConsumeBool();
    bool append_terminator = input.ConsumeBool();
    int32_t maximum = input.ConsumeIntegralInRange<int32_t>(-1, 40);
    std::string key = short_text(input);
    std::string terminator = short_text(input);
    std::string before = short_text(input);
    std::string after = short_text(input);
    std::string source = input.ConsumeRemainingBytesAsString().c_str();

    corert::MemoryCounters start = corert::memory_counters();
    {
        void* list = nimbra::NewTextList();
        int32_t count = CollectFields(source.c_str(), key.c_str(), terminator.c_str(), &list, ignore_case, maximum,
                                      before.c_str(), after.c_str(), prepend_key, append_terminator);
        uint32_t collected = 0;
        std::set<std::string> texts = distinct_texts(list, collected);
        if (count < 0 || uint32_t(count) != collected)
            nimbra::fuzz::unexpected("CollectFields counted", unsigned(count));
        for (int pass = 0; pass < 2; ++pass) {
            RemoveDuplicates(&list);
            uint32_t left = 0;
            if (distinct_texts(list, left) != texts || left > collected)
                nimbra::fuzz::unexpected("RemoveDuplicates changed the texts, pass", unsigned(pass));
            collected = left;
        }
        qx::rt::FreeTextArray(list);
    }
    nimbra::fuzz::check_balanced(start);
    return 0;
}
