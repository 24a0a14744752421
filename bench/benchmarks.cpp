// Benchmarks: the read-twice comparison against memcmp on equal buffers, in
// cache and out of it, through each loop this processor runs; and the pass
// loop's own work per iteration on a simulated disk whose requests cost nothing.
//
// Each compare benchmark is one size, one cache state and one of CompareChunks'
// paths (forced with UseComparePath). Every iteration times, in turns, the path,
// memcmp, and glibc's own memcmp variant of the same vector width, all on the same
// buffers, so a change in what the machine's other work leaves of the memory
// bandwidth falls on each alike. Each benchmark runs 7 times, and the runs of
// all of them are interleaved at random (pass
// --benchmark_enable_random_interleaving=false to run them in order). The last
// lines are the medians of the runs' ratios as a table.
//
// glibc's variants come from its static library (see cmake/host.cmake): the AVX2
// one (__memcmp_avx2_movbe) is what memcmp runs on processors without AVX-512,
// which are most in use; here memcmp may well be the EVEX one. Without libc.a
// the glibc columns stay empty; then run the benchmark a second time with
// GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX512VL,-AVX512BW (or -AVX2) to make memcmp
// itself the narrower variant; the first line of the table says which memcmp ran.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <immintrin.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sectorsweep.h"
#include "sim/machine.h"

namespace {

BYTE* Pages(size_t bytes, BYTE fill) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        std::perror("mmap");
        std::exit(1);
    }
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

// ---- memcmp and glibc's variants ---------------------------------------------

using Memcmp = int (*)(const void*, const void*, size_t);

}  // namespace

extern "C" {
#ifdef GLIBC_MEMCMP_SSE2
int __memcmp_sse2(const void*, const void*, size_t);
#endif
#ifdef GLIBC_MEMCMP_AVX2_MOVBE
int __memcmp_avx2_movbe(const void*, const void*, size_t);
#endif
#ifdef GLIBC_MEMCMP_EVEX_MOVBE
int __memcmp_evex_movbe(const void*, const void*, size_t);
#endif
}

namespace {

struct Variant {
    const char* Name;
    Memcmp Function;  // null: not in this build, or this processor cannot run it
};

// glibc's variant of each path's width: SSE2; AVX2; and for the AVX-512 path the
// EVEX one (AVX-512VL encodings of 256-bit vectors), which glibc prefers where
// AVX-512 runs. Each only where glibc itself would run it.
Variant GlibcVariant(ComparePath path) {
    switch (path) {
        case CompareSse2:
#ifdef GLIBC_MEMCMP_SSE2
            return {"__memcmp_sse2", __memcmp_sse2};
#else
            return {"__memcmp_sse2", nullptr};
#endif
        case CompareAvx2:
#ifdef GLIBC_MEMCMP_AVX2_MOVBE
            if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("movbe"))
                return {"__memcmp_avx2_movbe", __memcmp_avx2_movbe};
#endif
            return {"__memcmp_avx2_movbe", nullptr};
        case CompareAvx512:
#ifdef GLIBC_MEMCMP_EVEX_MOVBE
            if (__builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
                __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("movbe"))
                return {"__memcmp_evex_movbe", __memcmp_evex_movbe};
#endif
            return {"__memcmp_evex_movbe", nullptr};
        default:
            return {"", nullptr};
    }
}

// Which variant memcmp resolved to: the one whose code it is.
std::string MemcmpInUse() {
    const BYTE* resolved = static_cast<const BYTE*>(dlsym(RTLD_DEFAULT, "memcmp"));
    if (resolved == nullptr) return "memcmp (not resolved)";
    for (ComparePath path : {CompareSse2, CompareAvx2, CompareAvx512}) {
        Variant variant = GlibcVariant(path);
        if (variant.Function != nullptr &&
            std::memcmp(resolved, reinterpret_cast<const void*>(variant.Function), 64) == 0)
            return std::string("glibc's ") + variant.Name;
    }
    return "a memcmp other than the variants in this build";
}

// Called through a pointer the compiler cannot see through, so memcmp is never
// expanded inline.
Memcmp volatile TheMemcmp = std::memcmp;

// ---- equal buffers ---------------------------------------------------------

constexpr size_t kMiB = 1 << 20;
constexpr size_t kSizes[] = {1 * kMiB, 8 * kMiB, 64 * kMiB, 256 * kMiB, 1024 * kMiB};
const char* const kStates[] = {"in_cache", "out_of_cache"};
const ComparePath kPaths[] = {CompareAvx512, CompareAvx2, CompareSse2};

// Two equal page-aligned buffers of the largest size, made once: every compare
// benchmark uses a prefix of the same pages.
struct Buffers {
    BYTE* First;
    BYTE* Second;
};

const Buffers& SharedBuffers() {
    static const Buffers buffers = {Pages(kSizes[4], 0x5A), Pages(kSizes[4], 0x5A)};
    return buffers;
}

// Out of cache: every line of both buffers is flushed from every cache level
// before each compare, so its data comes from memory, as in a pass, where the
// device has just filled both buffers.
void FlushFromCaches(const Buffers& buffers, size_t bytes) {
    for (size_t i = 0; i < bytes; i += 64) {
        _mm_clflush(buffers.First + i);
        _mm_clflush(buffers.Second + i);
    }
    _mm_mfence();
}

const char* PathName(ComparePath path) {
    switch (path) {
        case CompareAvx512:
            return "AVX-512";
        case CompareAvx2:
            return "AVX2";
        case CompareSse2:
            return "SSE2";
        default:
            return "words";
    }
}

// The loop that compares buffers of this length on the path.
std::string LoopName(ComparePath path, size_t bytes) {
    if (path == CompareAvx512 && bytes < kFullWidthCompare) return "AVX2 loop";
    return std::string(PathName(path)) + " loop";
}

// The thread's processor time, which the other work on a shared machine does not
// inflate by taking the processor away.
double ThreadSeconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The median of the ratios a[i] / b[i].
double MedianRatio(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> ratios;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (b[i] > 0) ratios.push_back(a[i] / b[i]);
    if (ratios.empty()) return 0;
    std::sort(ratios.begin(), ratios.end());
    size_t middle = ratios.size() / 2;
    return ratios.size() % 2 != 0 ? ratios[middle] : (ratios[middle - 1] + ratios[middle]) / 2;
}

// The contenders of one benchmark, timed in turns: the path's CompareChunks,
// memcmp, and glibc's variant of the path's width (where there is one). The
// iteration's turn decides who goes first, so over a whole rotation each goes
// first, second and last alike. The iteration time is the path's. The counters are
// the medians over the iterations of the path's speed as a multiple of memcmp's
// (x_memcmp) and of glibc's variant (x_glibc) in the same iteration, and of the
// variant's as a multiple of memcmp's (glibc_x_memcmp: where the two are the same
// code, it shows the measurement's own spread). A median, so that the iteration
// in which the machine's other work took the memory bandwidth away moves nothing.
void EqualBuffers(benchmark::State& state, ComparePath path, size_t bytes, bool outOfCache) {
    const Buffers& buffers = SharedBuffers();
    BootQuiet(1 << 20);
    UseComparePath(path);
    state.SetLabel(LoopName(path, bytes));
    Memcmp glibc = GlibcVariant(path).Function;
    const int contenders = glibc != nullptr ? 3 : 2;
    auto compare = [&](int contender) {
        switch (contender) {
            case 0:
                return CompareChunks(buffers.First, buffers.Second, static_cast<DWORD>(bytes), 0) == 0;
            case 1:
                return TheMemcmp(buffers.First, buffers.Second, bytes) == 0;
            default:
                return glibc(buffers.First, buffers.Second, bytes) == 0;
        }
    };
    if (!outOfCache)
        for (int contender = 0; contender < contenders; ++contender) benchmark::DoNotOptimize(compare(contender));
    std::vector<double> times[3];
    int turn = 0;
    for (auto _ : state) {
        for (int k = 0; k < contenders; ++k) {
            int contender = (turn + k) % contenders;
            if (outOfCache) FlushFromCaches(buffers, bytes);
            double start = ThreadSeconds();
            bool equal = compare(contender);
            double took = ThreadSeconds() - start;
            benchmark::DoNotOptimize(equal);
            if (!equal) state.SkipWithError("the buffers differ");
            times[contender].push_back(took);
        }
        turn = (turn + 1) % contenders;
        state.SetIterationTime(times[0].back());
    }
    UseComparePath(CompareWidest);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    state.counters["x_memcmp"] = MedianRatio(times[1], times[0]);
    if (contenders == 3) {
        state.counters["x_glibc"] = MedianRatio(times[2], times[0]);
        state.counters["glibc_x_memcmp"] = MedianRatio(times[1], times[2]);
    }
}

std::string SizeName(size_t bytes) {
    return bytes >= 1024 * kMiB ? std::to_string(bytes / (1024 * kMiB)) + "GiB" : std::to_string(bytes / kMiB) + "MiB";
}

std::string EqualName(ComparePath path, size_t bytes, const char* state) {
    return std::string("Equal/") + SizeName(bytes) + "/" + state + "/" + PathName(path);
}

// The paths this processor runs.
std::vector<ComparePath> RunnablePaths() {
    std::vector<ComparePath> paths;
    for (ComparePath path : kPaths)
        if (UseComparePath(path) == path) paths.push_back(path);
    UseComparePath(CompareWidest);
    return paths;
}

void RegisterEqualBuffers() {
    for (size_t bytes : kSizes)
        for (int outOfCache = 0; outOfCache < 2; ++outOfCache)
            for (ComparePath path : RunnablePaths()) {
                // About 512 MiB compared by each per repetition, at least two whole rotations.
                int64_t contenders = GlibcVariant(path).Function != nullptr ? 3 : 2;
                int64_t iterations = static_cast<int64_t>(512 * kMiB / bytes);
                iterations = (iterations + contenders - 1) / contenders * contenders;
                benchmark::RegisterBenchmark(EqualName(path, bytes, kStates[outOfCache]).c_str(), EqualBuffers, path,
                                             bytes, outOfCache != 0)
                    ->Iterations(iterations < 2 * contenders ? 2 * contenders : iterations)
                    ->Repetitions(7)
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond);
            }
}

// The usual console output, then a table of the medians of the ratios.
class MedianTable : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
            for (const char* counter : {"x_memcmp", "x_glibc", "glibc_x_memcmp"}) {
                auto ratio = run.counters.find(counter);
                if (ratio != run.counters.end())
                    Ratios[run.run_name.function_name + "/" + counter] = ratio->second.value;
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        if (Ratios.empty()) return;
        ComparePath own = ComparePathInUse();
        std::printf("\nmemcmp here is %s. CompareChunks by itself takes the %s path (below %u MiB the AVX2 loop).\n",
                    MemcmpInUse().c_str(), PathName(own), kFullWidthCompare >> 20);
        std::printf("Speed as a multiple of memcmp's and of glibc's variant of the path's width, the median of the\n");
        std::printf("repetitions; the last columns are glibc's variants against memcmp.\n\n");
        std::printf("%-7s %-6s", "", "");
        for (ComparePath path : kPaths) std::printf(" %-16s", (std::string(PathName(path)) + " path").c_str());
        std::printf(" %s\n", "glibc's variant vs memcmp");
        std::printf("%-7s %-6s", "size", "cache");
        for (size_t k = 0; k < sizeof kPaths / sizeof kPaths[0]; ++k) std::printf(" %-7s %-8s", "memcmp", "glibc");
        for (ComparePath path : kPaths) std::printf(" %-6s", path == CompareAvx512 ? "EVEX" : PathName(path));
        std::printf("\n");
        for (size_t bytes : kSizes)
            for (const char* state : kStates) {
                std::printf("%-7s %-6s", SizeName(bytes).c_str(), state == kStates[0] ? "in" : "out");
                for (ComparePath path : kPaths) {
                    Cell(EqualName(path, bytes, state) + "/x_memcmp", 7);
                    Cell(EqualName(path, bytes, state) + "/x_glibc", 8);
                }
                for (ComparePath path : kPaths) Cell(EqualName(path, bytes, state) + "/glibc_x_memcmp", 6);
                std::printf("\n");
            }
    }

private:
    void Cell(const std::string& key, int width) {
        auto ratio = Ratios.find(key);
        if (ratio != Ratios.end())
            std::printf(" %-*.2f", width, ratio->second);
        else
            std::printf(" %-*s", width, "-");
    }

    std::map<std::string, double> Ratios;
};

// ---- pass loop -------------------------------------------------------------

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

BENCHMARK(PassIteration)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    RegisterEqualBuffers();
    MedianTable reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
