// TextBetween and ReplacePairs on large texts full of near-matches and matches, against
// corert's real commands and memory service. Their cost must grow linearly with the
// text: compare the time per byte ("per_byte") of the 100 KB and 1 MB runs (the 4 MB
// run of ReplacePairs shows where the per-byte cost settles once the texts outgrow the
// caches).
//
//   build-dir/tests/bench/text_routines_bench --benchmark_min_time=1
#include "corert/kernel_commands.h"
#include "corert/memory.h"
#include "runtime/hosted_linkage.h"
#include "text/text_routines.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void unexpected_run_time_error(uint32_t code)
{
    std::fprintf(stderr, "text_routines_bench: run-time error %u\n", code);
    std::abort();
}

const qx::rt::HostedRuntime kServices{
    .run_time_error = unexpected_run_time_error,
    .call_kernel = corert_call_kernel,
    .allocate = corert_allocate,
    .reallocate = corert_reallocate,
    .free = corert_free,
};

// `size` bytes of "-a@b<st" pieces (each "-" and "@" a match for the pairs, each "<st"
// a near-match of the start marker), with the start marker at the middle and the end
// marker near the end, so both searches run over half the text.
std::string big_text(size_t size)
{
    const std::string piece = "-a@b<st";
    std::string text;
    text.reserve(size + 32);
    while (text.size() < size / 2)
        text += piece;
    text += "<start>";
    while (text.size() < size - 8)
        text += piece;
    text += "<end>";
    text.resize(size, 'z');
    return text;
}

void per_byte(benchmark::State& state, size_t size)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
    state.counters["per_byte"] = benchmark::Counter(double(state.iterations()) * double(size),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_TextBetween(benchmark::State& state)
{
    qx::rt::install_hosted_runtime(&kServices);
    const size_t size = size_t(state.range(0));
    const std::string text = big_text(size);
    for (auto _ : state) {
        char* between = TextBetween(text.c_str(), "<start>", "<end>");
        benchmark::DoNotOptimize(between);
        qx::rt::Free(between);
    }
    per_byte(state, size);
    qx::rt::install_hosted_runtime(nullptr);
}

void BM_ReplacePairs(benchmark::State& state)
{
    qx::rt::install_hosted_runtime(&kServices);
    const size_t size = size_t(state.range(0));
    const std::string text = big_text(size);
    for (auto _ : state) {
        char* replaced = ReplacePairs(text.c_str(), qx::rt::omitted, qx::rt::omitted, qx::rt::omitted, "-", "@", "@",
                                      "#", "<st", "<ST", "b", "bb", "zz", "");
        benchmark::DoNotOptimize(replaced);
        qx::rt::Free(replaced);
    }
    per_byte(state, size);
    qx::rt::install_hosted_runtime(nullptr);
}

BENCHMARK(BM_TextBetween)->Arg(100 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReplacePairs)->Arg(100 << 10)->Arg(1 << 20)->Arg(4 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
