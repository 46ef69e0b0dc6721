// Cost of rendering one attribute per raw style, and of deriving drive sizes
// from a real drive's IDENTIFY data.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include "smart.h"

namespace {

void BM_RenderRawValue(benchmark::State& state) {
    const auto style = static_cast<std::int32_t>(state.range(0));
    smart::AttributeDefinitionTable table = smart::default_attribute_table();
    table.definition_for(194).raw_style = style;
    // A temperature entry with a min/max pair; every style finds work in it.
    smart::AttributeEntry entry{};
    entry.id = 194;
    entry.value = 100;
    entry.worst = 95;
    const std::uint8_t raw[6] = {0x23, 0x00, 0x12, 0x00, 0x2D, 0x00};
    std::copy(std::begin(raw), std::end(raw), entry.raw_bytes);
    entry.reserved = 0x01;
    for (auto _ : state) {
        std::string text = smart::render_raw_value(entry, table);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_RenderRawValue)->DenseRange(1, 16);

void BM_ComputeDriveSizes(benchmark::State& state) {
    const char* path = PLATEWISE_CORPUS_DIR "/WDC_WD5000AAKS--00TMA0-12.01C01.rec";
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    smart::DriveRecord record{};
    if (!smart::read_drive_record(bytes, record)) {
        state.SkipWithError("cannot read the corpus drive");
        return;
    }
    smart::DriveSizes sizes;
    for (auto _ : state) {
        benchmark::DoNotOptimize(record.identify);
        smart::compute_drive_sizes(record.identify, sizes);
        benchmark::DoNotOptimize(sizes);
    }
}
BENCHMARK(BM_ComputeDriveSizes);

}  // namespace
