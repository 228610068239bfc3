// Loads arbitrary bytes as a framework configuration text and reads every
// property as a list, with and without a default. (quote_value_fuzz checks
// that values survive quoting.)
//
// The texts are loaded from memory, as a file's text is once read.
#include "hlx/config_parser.h"
#include "hlx/properties.h"
#include "macro_settings.h"

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>

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
    OverrideMacroSettings();
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

    hlx::Properties::ValueMap::const_iterator first, last;
    if (!store.findPrefix("", first, last))
        return 0;
    // The list look-ups leave the store's names and values in place.
    for (; first != last; ++first) {
        store.getStringList(first->first);
        store.getStringList(first->first, "a, b");
    }
    return 0;
}
