// 100,000 log lines through the log queue beside the same lines written
// straight to syslog (BM_LogQueue_Baseline: the logger without the queue).
// Run with the test shim preloaded and SYSLOG_CAPTURE_FILE unset, so that
// "syslog" is the shim's formatting of the line and nothing else:
//     LD_PRELOAD=build/tests/libsyslog_shim.so build/bench/log_queue_bench
// (without /dev/log a direct syslog call measures glibc's failed connect).
//
// BM_LogQueue_CallerSide_Ours times only the log calls, the figure a
// logging thread sees (its "CPU" is the logging thread's own);
// BM_LogQueue_EndToEnd_Ours includes stopping the queue, which writes every
// line still queued (its "CPU" is the whole process: both threads). The
// queue is sized to hold all lines, so none is dropped; BM_LogQueue_DefaultSize
// uses the default 256 and shows what the drop policy (10 ms pause per
// refused line) costs a producer faster than syslog. Ratios: each Ours
// against the Baseline.
//
// Instruction counts, which the machine's load does not disturb: the
// "Collected" total of the whole process for end to end, and of the log
// calls alone (counted in the logging thread only) for the caller side:
//     LD_PRELOAD=build/tests/libsyslog_shim.so valgrind --tool=callgrind --callgrind-out-file=/dev/null build/bench/log_queue_bench --benchmark_filter=BM_LogQueue_EndToEnd_Ours
//     LD_PRELOAD=build/tests/libsyslog_shim.so valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect='*logLines*' build/bench/log_queue_bench --benchmark_filter=BM_LogQueue_CallerSide_Ours
// each against the same command with --benchmark_filter=BM_LogQueue_Baseline.
#include "hlx/logger.h"
#include "hlx/properties.h"
#include "hlx/runqueue.h"

#include <benchmark/benchmark.h>

#include <sstream>
#include <string>

namespace {

const int LINES = 100000;

void setQueueSize(const std::string &size)
{
    std::istringstream in("logger.queue.size: " + size + "\n");
    hlx::Properties::instance()->load(in, true);
}

// Out of line, so callgrind can count it alone (--toggle-collect).
__attribute__((noinline)) void logLines(const hlx::LoggerPtr &logger, int count)
{
    for (int i = 0; i < count; ++i)
        logger->log(hlx::LEVEL_INFO, "line %d of %s", i, "benchmark");
}

void BM_LogQueue_Baseline(benchmark::State &state)
{
    hlx::LoggerPtr logger = hlx::Logger::getLogger("bench.logqueue");
    // The store is loaded before the clock runs, as for the queued runs.
    hlx::Properties::instance();
    for (auto _ : state)
        logLines(logger, LINES);
    state.SetItemsProcessed(state.iterations() * LINES);
}
BENCHMARK(BM_LogQueue_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(5);

void BM_LogQueue_CallerSide_Ours(benchmark::State &state)
{
    hlx::LoggerPtr logger = hlx::Logger::getLogger("bench.logqueue");
    setQueueSize(std::to_string(LINES));
    for (auto _ : state) {
        state.PauseTiming();
        hlx::Logger::startQueue(hlx::LoggerPtr());
        state.ResumeTiming();
        logLines(logger, LINES);
        state.PauseTiming();
        hlx::Logger::stopQueue(hlx::LoggerPtr());
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * LINES);
}
BENCHMARK(BM_LogQueue_CallerSide_Ours)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_LogQueue_EndToEnd_Ours(benchmark::State &state)
{
    hlx::LoggerPtr logger = hlx::Logger::getLogger("bench.logqueue");
    setQueueSize(std::to_string(LINES));
    for (auto _ : state) {
        hlx::Logger::startQueue(hlx::LoggerPtr());
        logLines(logger, LINES);
        hlx::Logger::stopQueue(hlx::LoggerPtr());
    }
    state.SetItemsProcessed(state.iterations() * LINES);
}
BENCHMARK(BM_LogQueue_EndToEnd_Ours)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(5);

void BM_LogQueue_DefaultSize(benchmark::State &state)
{
    hlx::LoggerPtr logger = hlx::Logger::getLogger("bench.logqueue");
    setQueueSize("");
    for (auto _ : state) {
        hlx::Logger::startQueue(hlx::LoggerPtr());
        logLines(logger, LINES);
        hlx::Logger::stopQueue(hlx::LoggerPtr());
    }
    state.SetItemsProcessed(state.iterations() * LINES);
}
BENCHMARK(BM_LogQueue_DefaultSize)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(1);

} // namespace

BENCHMARK_MAIN();
