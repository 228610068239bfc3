// Loading a 5,000-line framework configuration file, beside a baseline that
// only reads the same lines with std::getline. The file is written before
// the first benchmark runs, so that an instruction count of one run (see
// bench/run-all.sh) holds the load alone.
#include "hlx/properties.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

const int LINE_COUNT = 5000;

// A configuration file in the shape real ones have: comments and blank lines
// between groups, plain values, lists, quoted values, macro references and
// continued lines, and logger settings.
std::string WriteConfiguration()
{
    const char *directory = getenv("TMPDIR");
    std::string name = std::string(directory && *directory ? directory : "/tmp") + "/properties_bench.XXXXXX";
    int descriptor = mkstemp(&name[0]);
    if (descriptor < 0)
        return std::string();
    close(descriptor);
    const std::string path = name;
    std::ofstream out(path.c_str(), std::ios::trunc);
    out << "log = INFO\nlog.util.properties = INFO\nlogger.facility.* = auth\n";
    int lines = 3;
    for (int group = 0; lines < LINE_COUNT; ++group) {
        out << "\n# settings of component " << group << "\n";
        lines += 2;
        for (int i = 0; i < 8 && lines < LINE_COUNT; ++i, ++lines) {
            std::string name = "component" + std::to_string(group) + ".key" + std::to_string(i);
            switch (i % 8) {
            case 0: out << name << " = " << group * 1000 + i << "\n"; break;
            case 1: out << name << ": some plain text value\n"; break;
            case 2: out << name << " = first, second third, fourth\n"; break;
            case 3: out << name << " = \"quoted   value with\\ttab\"\n"; break;
            case 4: out << name << " = $HOME/component" << group << "/data\n"; break;
            case 5: out << name << " = continued \\\n    value\n"; ++lines; break;
            case 6: out << name << " = path\\ with\\ escaped\\ spaces\n"; break;
            default: out << name << "=true\n"; break;
            }
        }
    }
    return path;
}

const std::string &ConfigurationPath()
{
    static const std::string path = WriteConfiguration();
    return path;
}

void BM_LoadFile_Ours(benchmark::State &state)
{
    const std::string &path = ConfigurationPath();
    for (auto _ : state) {
        hlx::Properties store;
        store.loadFile(path, true);
        if (!store.loaded())
            state.SkipWithError("configuration not loaded");
        benchmark::DoNotOptimize(store.getString("component0.key0"));
    }
    state.SetItemsProcessed(state.iterations() * LINE_COUNT);
}
BENCHMARK(BM_LoadFile_Ours)->Unit(benchmark::kMillisecond);

void BM_LoadFile_Baseline(benchmark::State &state)
{
    const std::string &path = ConfigurationPath();
    for (auto _ : state) {
        std::ifstream in(path.c_str());
        std::string line;
        size_t bytes = 0;
        while (std::getline(in, line))
            bytes += line.size();
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * LINE_COUNT);
}
BENCHMARK(BM_LoadFile_Baseline)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (ConfigurationPath().empty())
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(ConfigurationPath().c_str());
    return 0;
}
