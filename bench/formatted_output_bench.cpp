// Our vsnprintf against the C library's in the same process (reached past the
// program's own definition with dlsym(RTLD_NEXT)), both called through the
// same function pointer path, on the formats our log lines and messages use.
//
//   build/bench/formatted_output_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)
//
// Note that this program's own report is formatted by our snprintf as well.
#include "client_common/formatted_output.h"

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <stdint.h>

namespace {

using VsnprintfFunction = int (*)(char *, size_t, const char *, va_list);

VsnprintfFunction Ours()
{
    return vsnprintf;
}

VsnprintfFunction CLibrary()
{
    static const auto function = reinterpret_cast<VsnprintfFunction>(dlsym(RTLD_NEXT, "vsnprintf"));
    return function;
}

__attribute__((noinline)) int Call(VsnprintfFunction function, char *buffer, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = function(buffer, size, format, args);
    va_end(args);
    return result;
}

template <typename... Args>
void Format(benchmark::State &state, VsnprintfFunction function, const char *format, Args... args)
{
    if (!function) {
        state.SkipWithError("the C library's vsnprintf was not found");
        return;
    }
    char buffer[512];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Call(function, buffer, sizeof buffer, format, args...));
        benchmark::ClobberMemory();
    }
}

const char *const TEXT = "dirsvcd.clients.socket2";
const char *const LOG_FORMAT = "%s %s[%d] %s: %s\n";
const char *const LOG_DATE = "Dec 06 17:51:59";
const char *const LOG_MESSAGE = "Failed to open logging connection to dirsvcd through '/var/quillmesh/daemon2': "
                                "Connection refused";

} // namespace

BENCHMARK_CAPTURE(Format, int_ours, Ours(), "%d", 1234567);
BENCHMARK_CAPTURE(Format, int_clib, CLibrary(), "%d", 1234567);
BENCHMARK_CAPTURE(Format, text_ours, Ours(), "%s", TEXT);
BENCHMARK_CAPTURE(Format, text_clib, CLibrary(), "%s", TEXT);
BENCHMARK_CAPTURE(Format, mixed_ours, Ours(), "%-10s|%5d|%08x", "name", 42, 0xbeefu);
BENCHMARK_CAPTURE(Format, mixed_clib, CLibrary(), "%-10s|%5d|%08x", "name", 42, 0xbeefu);
BENCHMARK_CAPTURE(Format, u64max_ours, Ours(), "%lu", UINT64_MAX);
BENCHMARK_CAPTURE(Format, u64max_clib, CLibrary(), "%lu", UINT64_MAX);
BENCHMARK_CAPTURE(Format, fixed_ours, Ours(), "%.2f", 3.14159);
BENCHMARK_CAPTURE(Format, fixed_clib, CLibrary(), "%.2f", 3.14159);
BENCHMARK_CAPTURE(Format, logline_ours, Ours(), LOG_FORMAT, LOG_DATE, "trailsend", 4242, "WARNING", LOG_MESSAGE);
BENCHMARK_CAPTURE(Format, logline_clib, CLibrary(), LOG_FORMAT, LOG_DATE, "trailsend", 4242, "WARNING", LOG_MESSAGE);

BENCHMARK_MAIN();
