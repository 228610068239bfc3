// Reading the daemon's configuration: parsing a 5,000-line file and reading
// 100 keys through the accessors, beside a baseline that only reads the same
// file into memory and counts its lines.
//
//   build/bench/client_props_bench --benchmark_min_time=2
#include "client_common/client_context.h"
#include "client_common/client_props.h"
#include "client_common/client_props_access.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
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

void BM_ParseAndRead100Keys(benchmark::State &state)
{
    ConfigFile &file = File();
    size_t step = file.keys.size() / kReads;
    for (auto _ : state) {
        int status = 0;
        ClientContext context{};
        context.configuration = ParseClientConfigFile(file.path.c_str(), nullptr, &status);
        if (context.configuration == nullptr)
            state.SkipWithError("parse failed");
        long sum = 0;
        for (int i = 0; i < kReads; i++) {
            const char *key = file.keys[static_cast<size_t>(i) * step].c_str();
            sum += ClientGetPropertyInt(&context, key, 1);
            const char *value = ClientGetProperty(&context, key, "");
            sum += value != nullptr ? value[0] : 0;
        }
        benchmark::DoNotOptimize(sum);
        FreeClientPropertyTable(context.configuration);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size));
}
BENCHMARK(BM_ParseAndRead100Keys);

// The parse alone, to tell it apart from the lookups, which walk the
// newest-first list of 4,000 entries key by key.
void BM_ParseOnly(benchmark::State &state)
{
    ConfigFile &file = File();
    for (auto _ : state) {
        int status = 0;
        ClientPropertyTable *table = ParseClientConfigFile(file.path.c_str(), nullptr, &status);
        benchmark::DoNotOptimize(table);
        FreeClientPropertyTable(table);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size));
}
BENCHMARK(BM_ParseOnly);

void BM_BaselineReadAndCountLines(benchmark::State &state)
{
    ConfigFile &file = File();
    for (auto _ : state) {
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
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size));
}
BENCHMARK(BM_BaselineReadAndCountLines);

} // namespace

BENCHMARK_MAIN();
