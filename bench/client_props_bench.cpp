// Reading the daemon's configuration: parsing a 5,000-line file, and parsing
// it then reading 100 keys through the accessors, beside a baseline that only
// reads the same file into memory and counts its lines. The ratios to the
// baseline are the figures that matter; both sides run in the same program.
//
// CPU time (medians of interleaved repetitions):
//   build/bench/client_props_bench --benchmark_repetitions=15
//       --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
//   then median(BM_ClientProps_Parse) / median(BM_ClientProps_Baseline), and
//   the same for BM_ClientProps_ParseLookup.
//
// Instructions, which the machine's load does not disturb: `--workload=NAME
// --runs=N` runs one workload (parse, parse-lookup or baseline) N times in
// RunWorkload, with no benchmark machinery, after one warm-up run outside it:
//   valgrind --tool=callgrind --callgrind-out-file=/dev/null
//       '--toggle-collect=*RunWorkload*' build/bench/client_props_bench --workload=parse --runs=20
//   then the "Collected" figure divided by 20, for each workload.
#include "client_common/client_context.h"
#include "client_common/client_props.h"
#include "client_common/client_props_access.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const int kLines = 5000;
const int kReads = 100;

// A configuration in the daemon's usual shape: comments, blank lines,
// dotted keys with plain, quoted, escaped and continued values.
struct ConfigFile {
    ConfigFile()
    {
        char name[] = "/tmp/client_props_bench.XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0)
            abort();
        path = name;
        std::string text;
        int line = 0;
        for (int i = 0; line < kLines; i++) {
            std::string key = "section" + std::to_string(i % 50) + ".option" + std::to_string(i);
            keys.push_back(key);
            switch (i % 5) {
            case 0: text += "# " + key + " controls something\n"; line++; break;
            case 1: text += "\n"; line++; break;
            case 2: text += key + " = \"quoted value  " + std::to_string(i) + "\"\n"; line++; continue;
            case 3: text += key + ": first,\\\n    second\n"; line += 2; continue;
            default: break;
            }
            text += key + " = " + std::to_string(i * 7) + "\n";
            line++;
        }
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            abort();
        close(fd);
        size = text.size();
    }
    ~ConfigFile() { unlink(path.c_str()); }

    std::string path;
    std::vector<std::string> keys;
    size_t size = 0;
};

ConfigFile &File()
{
    static ConfigFile file;
    return file;
}

// One run of each workload; each returns a figure that depends on all of its
// work, so that none of it can be optimised away.

long Parse(const ConfigFile &file)
{
    int status = 0;
    ClientPropertyTable *table = ParseClientConfigFile(file.path.c_str(), nullptr, &status);
    long result = table != nullptr ? 1 : -1;
    FreeClientPropertyTable(table);
    return result;
}

// 100 keys spread over the file, each read as an integer and as text.
long ParseLookup(const ConfigFile &file)
{
    int status = 0;
    ClientContext context{};
    context.configuration = ParseClientConfigFile(file.path.c_str(), nullptr, &status);
    if (context.configuration == nullptr)
        return -1;
    size_t step = file.keys.size() / kReads;
    long sum = 0;
    for (int i = 0; i < kReads; i++) {
        const char *key = file.keys[static_cast<size_t>(i) * step].c_str();
        sum += ClientGetPropertyInt(&context, key, 1);
        const char *value = ClientGetProperty(&context, key, "");
        sum += value != nullptr ? value[0] : 0;
    }
    FreeClientPropertyTable(context.configuration);
    return sum;
}

long Baseline(const ConfigFile &file)
{
    int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> buffer(file.size);
    size_t done = 0;
    while (done < buffer.size()) {
        ssize_t n = read(fd, buffer.data() + done, buffer.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    long lines = 0;
    for (size_t i = 0; i < done; i++)
        lines += buffer[i] == '\n';
    return lines;
}

void Run(benchmark::State &state, long (*workload)(const ConfigFile &))
{
    ConfigFile &file = File();
    for (auto _ : state)
        benchmark::DoNotOptimize(workload(file));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size));
}

void BM_ClientProps_Parse(benchmark::State &state) { Run(state, Parse); }
BENCHMARK(BM_ClientProps_Parse);

void BM_ClientProps_ParseLookup(benchmark::State &state) { Run(state, ParseLookup); }
BENCHMARK(BM_ClientProps_ParseLookup);

void BM_ClientProps_Baseline(benchmark::State &state) { Run(state, Baseline); }
BENCHMARK(BM_ClientProps_Baseline);

// The only code callgrind counts with --toggle-collect=*RunWorkload*.
__attribute__((noinline)) long RunWorkload(long (*workload)(const ConfigFile &), const ConfigFile &file, long runs)
{
    long sum = 0;
    for (long i = 0; i < runs; i++)
        sum += workload(file);
    return sum;
}

// --workload=NAME --runs=N: 0 when it ran, 1 for an unknown name, -1 when the
// arguments ask for the benchmarks instead.
int RunNamedWorkload(int argc, char **argv)
{
    const char *name = nullptr;
    long runs = 1;
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--workload=", 11) == 0)
            name = argv[i] + 11;
        else if (strncmp(argv[i], "--runs=", 7) == 0)
            runs = atol(argv[i] + 7);
    }
    if (name == nullptr)
        return -1;
    const struct {
        const char *name;
        long (*workload)(const ConfigFile &);
    } workloads[] = {{"parse", Parse}, {"parse-lookup", ParseLookup}, {"baseline", Baseline}};
    for (const auto &w : workloads) {
        if (strcmp(w.name, name) != 0)
            continue;
        const ConfigFile &file = File();
        // The warm-up binds the library functions the workload calls.
        long sum = w.workload(file);
        sum += RunWorkload(w.workload, file, runs);
        printf("%s: %ld runs (check %ld)\n", name, runs, sum);
        return 0;
    }
    fprintf(stderr, "unknown workload %s (parse, parse-lookup, baseline)\n", name);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    int result = RunNamedWorkload(argc, argv);
    if (result >= 0)
        return result;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
