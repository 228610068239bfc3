// Loads arbitrary bytes as a framework configuration text, reads every
// property as a list, and checks that every value free of quote characters
// comes back unchanged from quoteValue followed by parsing. Quote characters
// are left out: some values that contain them do not survive quoting.
//
// The texts are loaded from memory, as a file's text is once read. The
// built-in macros that every load sets come from property overrides of the
// process-wide store, so that no load looks for settings files.
#include "hlx/config_parser.h"
#include "hlx/properties.h"
#include "hlx/setting.h"

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

// Under the sanitizers each byte loaded costs about half a microsecond on
// top of some 70 for the run, and what the syntax can do shows within a few
// lines: only the first bytes of an input are loaded, so that the runs keep
// their pace while libFuzzer lets its inputs grow.
const size_t LARGEST_TEXT = 128;

// A load configures the loggers its properties name, every logger stays in
// the registry for good, and each load walks the whole registry: inputs that
// would name loggers outside a small fixed set (names of up to three of the
// bytes 'a', 'b' and '.') are skipped, or each run would be slower than the
// last. The names are found by the parse the load itself makes. A name
// reaches the loggers only through a literal 'l': no escape or quote of a
// name makes one.
bool NamesOnlyFewLoggers(const char *text, size_t size)
{
    if (memchr(text, 'l', size) == nullptr)
        return true;
    const std::string prefixes[] = {
        "log.",
        "logger.facility.*.",
        std::string("logger.facility.") + program_invocation_short_name + ".",
    };
    hlx::config::LineReader lines(text, size);
    std::string line;
    std::string name;
    std::string value;
    while (!lines.atEnd()) {
        hlx::config::readLogicalLine(lines, line, true);
        if (!hlx::config::parseLine(line, name, value))
            continue;
        for (const std::string &prefix : prefixes) {
            if (name.compare(0, prefix.size(), prefix) == 0 &&
                (name.size() > prefix.size() + 3 || name.find_first_not_of("ab.", prefix.size()) != std::string::npos))
                return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *const settings[][2] = {
        {SETTING_HOST_NAME, "fuzzhost"},
        {SETTING_MACHINE_SITE, "fuzzsite"},
        {SETTING_DOMAIN_NAME, "fuzz.example"},
        {SETTING_ZONE_REALNAME, "CN=fuzzzone"},
    };
    for (const auto &setting : settings)
        hlx::Properties::instance()->setStringList(std::string("kset.") + setting[0], {setting[1]}, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    size = std::min(size, LARGEST_TEXT);
    if (!NamesOnlyFewLoggers(text, size))
        return -1;
    hlx::Properties store;
    store.loadText(text, size, true);

    // The store's names and values, which the list look-ups leave in place.
    std::vector<hlx::Properties::ValueMap::const_iterator> entries;
    hlx::Properties::ValueMap::const_iterator first, last;
    if (store.findPrefix("", first, last)) {
        for (; first != last; ++first)
            entries.push_back(first);
    }

    for (const auto &entry : entries) {
        store.getStringList(entry->first);
        store.getStringList(entry->first, "a, b");
    }

    // One load checks every value: line i carries value i.
    std::vector<const std::string *> values;
    std::string lines;
    for (const auto &entry : entries) {
        if (entry->second.find_first_of("\"'") != std::string::npos)
            continue;
        lines += 'v';
        lines += std::to_string(values.size());
        lines += ": ";
        lines += hlx::quoteValue(entry->second, true);
        lines += '\n';
        values.push_back(&entry->second);
    }
    if (values.empty())
        return 0;
    hlx::Properties check;
    check.loadText(lines.data(), lines.size(), true);
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
