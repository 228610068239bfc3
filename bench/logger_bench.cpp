// Cost of a framework log call: one below the logger's level (a single
// comparison once the effective level is cached) and one that composes the
// line and hands it to syslog. Without a syslog daemon the enabled figure is
// glibc's failed connect; preload the test shim to measure our own path.
#include "hlx/logger.h"

#include <benchmark/benchmark.h>

namespace {

void BM_DisabledLog(benchmark::State &state)
{
    hlx::LoggerPtr logger = hlx::Logger::getLogger("bench.logger.disabled");
    for (auto _ : state)
        logger->log(hlx::LEVEL_DEBUG, "value %d of %s", 42, "bench");
}
BENCHMARK(BM_DisabledLog);

void BM_EnabledLog(benchmark::State &state)
{
    hlx::LoggerPtr logger = hlx::Logger::getLogger("bench.logger.enabled");
    for (auto _ : state)
        logger->log(hlx::LEVEL_INFO, "value %d of %s", 42, "bench");
}
BENCHMARK(BM_EnabledLog);

} // namespace

BENCHMARK_MAIN();
