// Read + map + link of the program image embedded in this binary, as the runtime does
// it before the entry routine runs.
#include "image/mapped_image.h"
#include "image/service_slots.h"

#include <benchmark/benchmark.h>

#include <array>

extern "C" uint8_t nimbra_program_image[];
extern "C" const uint64_t nimbra_program_image_size;

namespace {

void stand_in_service() {}

const qx::ServiceSlots& slots()
{
    std::array<void*, qx::kServiceSlotCount> services;
    services.fill(reinterpret_cast<void*>(&stand_in_service));
    static const qx::ServiceSlots table(services);
    return table;
}

void ReadMapAndLinkProgramImage(benchmark::State& state)
{
    std::span<const uint8_t> bytes(nimbra_program_image, nimbra_program_image_size);
    uint32_t table = slots().table_base();
    auto counterpart = [](size_t group, uint32_t value) { return value + uint32_t(group); };
    for (auto _ : state) {
        qx::MappedImage image(bytes);
        image.link_and_seal(image.targets(table, counterpart));
        benchmark::DoNotOptimize(image.code_data());
    }
    state.SetLabel(std::to_string(nimbra_program_image_size) + " bytes");
}
BENCHMARK(ReadMapAndLinkProgramImage)->Unit(benchmark::kMicrosecond)->Repetitions(15)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
