// Loads arbitrary bytes as a framework configuration file, reads every
// property as a list, and checks that every value free of quote characters
// comes back unchanged from quoteValue followed by parsing. Quote characters
// are left out: some values that contain them do not survive quoting.
#include "hlx/properties.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    hlx::Properties store;
    std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
    store.load(in, true);

    std::vector<std::pair<std::string, std::string>> entries;
    hlx::Properties::ValueMap::const_iterator first, last;
    if (store.findPrefix("", first, last))
        entries.assign(first, last);

    for (const auto &entry : entries) {
        store.getStringList(entry.first);
        store.getStringList(entry.first, "a, b");
    }

    // One load checks every value: line i carries value i.
    std::vector<const std::string *> values;
    std::string lines;
    for (const auto &entry : entries) {
        if (entry.second.find_first_of("\"'") != std::string::npos)
            continue;
        lines += "v" + std::to_string(values.size()) + ": " + hlx::quoteValue(entry.second, true) + "\n";
        values.push_back(&entry.second);
    }
    hlx::Properties check;
    std::istringstream quoted(lines);
    check.load(quoted, true);
    for (size_t i = 0; i < values.size(); ++i) {
        const std::string &value = *values[i];
        std::string parsed = check.getString("v" + std::to_string(i));
        if (parsed != value) {
            fprintf(stderr, "value does not survive quoting: [%s] -> [%s] -> [%s]\n", value.c_str(),
                    hlx::quoteValue(value, true).c_str(), parsed.c_str());
            abort();
        }
    }
    return 0;
}
