// Cost of a framework log call below the logger's level
// (BM_DisabledLog_Ours) beside the same test written by hand: one relaxed
// load of a cached level and a comparison guarding a call that never
// happens (BM_DisabledLog_Baseline, which is also the loop's own cost). Both
// run a fixed 10,000,000 calls, so under callgrind the instructions per call
// are the "Collected" total of one filter, less the other's, divided by
// 10,000,000:
//     build/bench/logger_bench --benchmark_filter=DisabledLog --benchmark_repetitions=9
//     valgrind --tool=callgrind --callgrind-out-file=/dev/null build/bench/logger_bench --benchmark_filter=BM_DisabledLog_Ours
// BM_EnabledLog composes the line and hands it to syslog; without a syslog
// daemon that figure is glibc's failed connect: preload the test shim
// (build/tests/libsyslog_shim.so) to measure our own path.
#include "hlx/logger.h"

#include <benchmark/benchmark.h>

#include <atomic>

namespace {

const int CALLS = 10000000;

void BM_DisabledLog_Ours(benchmark::State &state)
{
    hlx::LoggerPtr logger = hlx::Logger::getLogger("bench.logger.disabled");
    for (auto _ : state)
        logger->log(hlx::LEVEL_DEBUG, "value %d of %s", 42, "bench");
}
BENCHMARK(BM_DisabledLog_Ours)->Iterations(CALLS);

struct HandWrittenLogger {
    std::atomic<int> level{hlx::LEVEL_INFO};
};

__attribute__((noinline)) void handWrittenWrite(const HandWrittenLogger *, int, const char *, ...)
{
    benchmark::ClobberMemory();
}

void BM_DisabledLog_Baseline(benchmark::State &state)
{
    HandWrittenLogger logger;
    HandWrittenLogger *pointer = &logger;
    benchmark::DoNotOptimize(pointer);
    for (auto _ : state) {
        if (hlx::LEVEL_DEBUG >= pointer->level.load(std::memory_order_relaxed))
            handWrittenWrite(pointer, hlx::LEVEL_DEBUG, "value %d of %s", 42, "bench");
    }
}
BENCHMARK(BM_DisabledLog_Baseline)->Iterations(CALLS);

void BM_EnabledLog(benchmark::State &state)
{
    hlx::LoggerPtr logger = hlx::Logger::getLogger("bench.logger.enabled");
    for (auto _ : state)
        logger->log(hlx::LEVEL_INFO, "value %d of %s", 42, "bench");
}
BENCHMARK(BM_EnabledLog);

} // namespace

BENCHMARK_MAIN();
