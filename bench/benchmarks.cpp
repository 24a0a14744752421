// Benchmarks: the read-twice comparison against memcmp, and the pass loop's own
// work per iteration on a simulated disk whose requests cost nothing.
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <cstring>

#include "sectorsweep.h"
#include "sim/machine.h"

namespace {

BYTE* Pages(size_t bytes, BYTE fill) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    std::memset(p, fill, bytes);
    return static_cast<BYTE*>(p);
}

void BootQuiet(uint64_t diskSize) {
    sim::Config config;
    config.Stdout = sim::StdKind::Nul;
    config.Record = false;
    sim::Disk disk;
    disk.Number = 1;
    disk.Size = diskSize;
    config.Disks.push_back(disk);
    sim::Boot(config);
    ProcessHeap = GetProcessHeap();
}

void CompareEqualChunks(benchmark::State& state) {
    size_t bytes = static_cast<size_t>(state.range(0));
    BYTE* a = Pages(bytes, 0x5A);
    BYTE* b = Pages(bytes, 0x5A);
    BootQuiet(1 << 20);
    for (auto _ : state) benchmark::DoNotOptimize(CompareChunks(a, b, static_cast<DWORD>(bytes), 0));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    munmap(a, bytes);
    munmap(b, bytes);
}

void MemcmpEqualChunks(benchmark::State& state) {
    size_t bytes = static_cast<size_t>(state.range(0));
    BYTE* a = Pages(bytes, 0x5A);
    BYTE* b = Pages(bytes, 0x5A);
    for (auto _ : state) benchmark::DoNotOptimize(std::memcmp(a, b, bytes));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    munmap(a, bytes);
    munmap(b, bytes);
}

// A Verify pass over a disk whose requests take no time: the chunk doubles to
// 1 GiB within the first iterations, and the disk is sized for `iterations` of them.
void PassIteration(benchmark::State& state) {
    const uint64_t iterations = 100000;
    const uint64_t diskSize = iterations * 0x40000000ull;
    BootQuiet(diskSize);
    for (auto _ : state) {
        PassProgress pass;
        std::memset(&pass, 0, sizeof pass);
        pass.Mode = Verify;
        pass.DiskSize = diskSize;
        pass.Disk = CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ, 3, nullptr, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, nullptr);
        benchmark::DoNotOptimize(RunPassLoop(&pass));
    }
    state.counters["s_per_pass_iteration"] = benchmark::Counter(
        static_cast<double>(iterations), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(CompareEqualChunks)->Arg(8 << 20)->Arg(256 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(MemcmpEqualChunks)->Arg(8 << 20)->Arg(256 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(PassIteration)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
