// What the service's own work costs: one pass over simulated drives (every
// command with its pass-through buffer, heap buffer and table copy), one
// pass-through command alone, and building a snapshot.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "diskinfo.h"
#include "platform/simulated.h"
#include "service.h"

namespace {

void make_drives(int count)
{
    sim::reset();
    for (int n = 0; n < count; ++n) {
        sim::make_plain_drive(n);
    }
    sim::listener().mode = sim::ListenerMode::absent;
}

void BM_Pass(benchmark::State& state)
{
    make_drives(static_cast<int>(state.range(0)));
    unsetenv("APPDATA");
    for (auto _ : state) {
        const PassResult pass = run_pass();
        benchmark::DoNotOptimize(pass);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetLabel("drives");
}
BENCHMARK(BM_Pass)->Arg(1)->Arg(8)->Arg(32);

void BM_PassWithSnapshot(benchmark::State& state)
{
    make_drives(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const PassResult pass = run_pass();
        DriveSnapshot drives;
        build_snapshot(&drives, static_cast<std::uint8_t>(pass.count));
        benchmark::DoNotOptimize(drives);
    }
}
BENCHMARK(BM_PassWithSnapshot)->Arg(1)->Arg(8)->Arg(32);

void BM_RunAtaPassthrough(benchmark::State& state)
{
    make_drives(1);
    const platform::DriveOpenResult opened = platform::open_drive_device(0);
    std::vector<std::uint8_t> buffer(512);
    for (auto _ : state) {
        TaskFile in{};
        TaskFile out{};
        in.sector_count = 1;
        in.command = ATA_IDENTIFY_DEVICE;
        benchmark::DoNotOptimize(run_ata_passthrough(opened.handle, &in, &out, buffer.data(), 512));
    }
    platform::close_drive(opened.handle);
}
BENCHMARK(BM_RunAtaPassthrough);

}  // namespace
