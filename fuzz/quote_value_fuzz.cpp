// Quotes arbitrary bytes as a framework configuration value, loads the line
// with a line after it, and checks that the value comes back unchanged and
// the next line is left alone. Quote characters are left out: some values
// that contain them do not survive quoting.
#include "hlx/properties.h"
#include "macro_settings.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    OverrideMacroSettings();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string value(reinterpret_cast<const char *>(data), size);
    if (value.find_first_of("\"'") != std::string::npos)
        return -1;
    const std::string quoted = hlx::quoteValue(value, true);
    const std::string text = "v: " + quoted + "\nw: next\n";
    hlx::Properties store;
    store.loadText(text.data(), text.size(), true);
    const std::string parsed = store.getString("v");
    const std::string next = store.getString("w");
    if (parsed != value || next != "next") {
        fprintf(stderr, "value does not survive quoting: [%s] -> [%s] -> [%s], next line [%s]\n", value.c_str(),
                quoted.c_str(), parsed.c_str(), next.c_str());
        abort();
    }
    return 0;
}
