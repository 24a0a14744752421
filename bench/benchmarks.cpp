// Benchmarks: the read-twice comparison against memcmp and a plain AVX2 loop on
// equal buffers, in cache and out of it, and the pass loop's own work per
// iteration on a simulated disk whose requests cost nothing.
//
// Every compare benchmark runs 7 times, and the runs of all of them are
// interleaved at random (pass --benchmark_enable_random_interleaving=false to
// run them in order); each run times memcmp in turns with its subject. The last
// lines are the subjects' speeds as multiples of memcmp's, the median of the runs.
#include <benchmark/benchmark.h>
#include <immintrin.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

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

// ---- equal buffers ---------------------------------------------------------

constexpr size_t kMiB = 1 << 20;
constexpr size_t kSizes[] = {1 * kMiB, 8 * kMiB, 64 * kMiB, 256 * kMiB, 1024 * kMiB};

// Two equal buffers of the largest size, made once: every compare benchmark uses
// a prefix of the same pages. Out of cache, each compare follows a read of a
// buffer twice the size of the last-level cache.
struct Buffers {
    BYTE* First;
    BYTE* Second;
    BYTE* Walk;
    size_t WalkBytes;
};

const Buffers& SharedBuffers() {
    static const Buffers buffers = [] {
        long cache = sysconf(_SC_LEVEL3_CACHE_SIZE);
        size_t walk = cache > 0 ? 2 * static_cast<size_t>(cache) : 0;
        if (walk < 64 * kMiB) walk = 64 * kMiB;
        return Buffers{Pages(kSizes[4], 0x5A), Pages(kSizes[4], 0x5A), Pages(walk, 0x33), walk};
    }();
    return buffers;
}

void WalkOutOfCache(const Buffers& buffers) {
    unsigned sum = 0;
    for (size_t i = 0; i < buffers.WalkBytes; i += 64) sum += buffers.Walk[i];
    benchmark::DoNotOptimize(sum);
}

using EqualTest = bool (*)(const BYTE* first, const BYTE* second, size_t bytes);

bool ByCompareChunks(const BYTE* first, const BYTE* second, size_t bytes) {
    return CompareChunks(first, second, static_cast<DWORD>(bytes), 0) == 0;
}

bool ByMemcmp(const BYTE* first, const BYTE* second, size_t bytes) { return std::memcmp(first, second, bytes) == 0; }

// One 256-bit compare per step.
__attribute__((target("avx2"))) bool ByPlainAvx2Loop(const BYTE* first, const BYTE* second, size_t bytes) {
    for (size_t i = 0; i + 32 <= bytes; i += 32) {
        __m256i differ = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + i)),
                                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second + i)));
        if (!_mm256_testz_si256(differ, differ)) return false;
    }
    return true;
}

struct Subject {
    const char* Name;
    EqualTest Test;
};
const Subject kSubjects[] = {{"CompareChunks", ByCompareChunks}, {"PlainAvx2", ByPlainAvx2Loop}};
const char* const kStates[] = {"in_cache", "out_of_cache"};

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
    if (path == CompareAvx512 && bytes < kFullWidthCompare) return "AVX2 (AVX-512 path)";
    return PathName(path);
}

// The thread's processor time, which the other work on a shared machine does not
// inflate by taking the processor away.
double ThreadSeconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Each iteration times the subject and memcmp on the same buffers, one after
// the other, in turns (subject first on even iterations), so a change in the
// memory bandwidth that the machine's other work leaves affects both alike. The
// iteration time is the subject's; the counter x_memcmp is memcmp's time over the
// subject's in this repetition. Timed by hand around the compares alone, so the
// walk costs nothing but run time.
void EqualBuffers(benchmark::State& state, const Subject& subject, size_t bytes, bool outOfCache) {
    const Buffers& buffers = SharedBuffers();
    BootQuiet(1 << 20);
    if (subject.Test == ByCompareChunks) state.SetLabel(LoopName(ComparePathInUse(), bytes));
    if (!outOfCache) {
        benchmark::DoNotOptimize(subject.Test(buffers.First, buffers.Second, bytes));
        benchmark::DoNotOptimize(ByMemcmp(buffers.First, buffers.Second, bytes));
    }
    auto timed = [&](EqualTest test) {
        if (outOfCache) WalkOutOfCache(buffers);
        double start = ThreadSeconds();
        bool equal = test(buffers.First, buffers.Second, bytes);
        double end = ThreadSeconds();
        benchmark::DoNotOptimize(equal);
        if (!equal) state.SkipWithError("the buffers differ");
        return end - start;
    };
    double subjectTotal = 0, memcmpTotal = 0;
    bool subjectFirst = true;
    for (auto _ : state) {
        double memcmpTime = subjectFirst ? 0 : timed(ByMemcmp);
        double subjectTime = timed(subject.Test);
        if (subjectFirst) memcmpTime = timed(ByMemcmp);
        subjectFirst = !subjectFirst;
        subjectTotal += subjectTime;
        memcmpTotal += memcmpTime;
        state.SetIterationTime(subjectTime);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    if (subjectTotal > 0) state.counters["x_memcmp"] = memcmpTotal / subjectTotal;
}

std::string SizeName(size_t bytes) {
    return bytes >= 1024 * kMiB ? std::to_string(bytes / (1024 * kMiB)) + "GiB" : std::to_string(bytes / kMiB) + "MiB";
}

std::string EqualName(const char* subject, size_t bytes, const char* state) {
    return std::string("Equal/") + SizeName(bytes) + "/" + state + "/" + subject;
}

void RegisterEqualBuffers() {
    for (size_t bytes : kSizes)
        for (int outOfCache = 0; outOfCache < 2; ++outOfCache)
            for (const Subject& subject : kSubjects) {
                // About 512 MiB compared by each per repetition, at least 4 compares.
                int64_t iterations = static_cast<int64_t>(512 * kMiB / bytes);
                benchmark::RegisterBenchmark(EqualName(subject.Name, bytes, kStates[outOfCache]).c_str(), EqualBuffers,
                                             subject, bytes, outOfCache != 0)
                    ->Iterations(iterations < 4 ? 4 : iterations)
                    ->Repetitions(7)
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond);
            }
}

// The usual console output, then a table of the medians of x_memcmp.
class MedianTable : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
            auto ratio = run.counters.find("x_memcmp");
            if (ratio != run.counters.end()) Ratios[run.run_name.function_name] = ratio->second.value;
            if (!run.report_label.empty()) Loops[run.run_name.function_name] = run.report_label;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        if (Ratios.empty()) return;
        std::printf("\nSpeed as a multiple of memcmp's, the median of the repetitions\n");
        std::printf("%-8s %-28s %-28s\n", "", "in cache", "out of cache");
        std::printf("%-8s %-13s %-14s %-13s %-14s %s\n", "size", "CompareChunks", "plain AVX2", "CompareChunks",
                    "plain AVX2", "CompareChunks' loop");
        for (size_t bytes : kSizes) {
            std::printf("%-8s", SizeName(bytes).c_str());
            for (const char* state : kStates) {
                for (const char* subject : {"CompareChunks", "PlainAvx2"}) {
                    auto ratio = Ratios.find(EqualName(subject, bytes, state));
                    if (ratio != Ratios.end())
                        std::printf(" %-13.2f", ratio->second);
                    else
                        std::printf(" %-13s", "-");
                }
                std::printf(" ");
            }
            auto loop = Loops.find(EqualName("CompareChunks", bytes, kStates[0]));
            std::printf("%s\n", loop == Loops.end() ? "-" : loop->second.c_str());
        }
    }

private:
    std::map<std::string, double> Ratios;
    std::map<std::string, std::string> Loops;
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
