// 100,000 log lines through the log queue beside the same lines straight to
// syslog. Run with the test shim preloaded and SYSLOG_CAPTURE_FILE unset:
//     LD_PRELOAD=build/tests/libsyslog_shim.so build/bench/log_queue_bench
// (without /dev/log a direct syslog call measures glibc's failed connect).
// BM_QueuedCallerSide times only the log calls, the figure a logging thread
// sees; BM_QueuedEndToEnd includes stopping the queue, which writes every
// line still queued. The queue is sized to hold all lines, so none is
// dropped; BM_QueuedDefaultSize uses the default 256 and shows what the drop
// policy (10 ms pause per refused line) costs a producer faster than syslog.
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

void logLines(const hlx::LoggerPtr &logger, int count)
{
    for (int i = 0; i < count; ++i)
        logger->log(hlx::LEVEL_INFO, "line %d of %s", i, "benchmark");
}

void BM_DirectSyslog(benchmark::State &state)
{
    hlx::LoggerPtr logger = hlx::Logger::getLogger("bench.logqueue");
    for (auto _ : state)
        logLines(logger, LINES);
    state.SetItemsProcessed(state.iterations() * LINES);
}
BENCHMARK(BM_DirectSyslog)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_QueuedCallerSide(benchmark::State &state)
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
BENCHMARK(BM_QueuedCallerSide)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_QueuedEndToEnd(benchmark::State &state)
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
BENCHMARK(BM_QueuedEndToEnd)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_QueuedDefaultSize(benchmark::State &state)
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
BENCHMARK(BM_QueuedDefaultSize)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace

BENCHMARK_MAIN();
