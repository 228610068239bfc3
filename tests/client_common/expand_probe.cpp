// expand_probe FILE KEY
//
// Prints what the client configuration reader makes of one key of FILE, and
// whether the process runs with raised privileges (AT_SECURE):
//   secure=<0 or 1> value=<the evaluated value, or "(none)">
// client_props_test runs a set-user-ID copy of it to see what a privileged
// process takes from its environment.
#include "client_common/client_props.h"

#include <stdio.h>
#include <sys/auxv.h>

// A set-user-ID process cannot be inspected by the leak checker of an
// AddressSanitizer build, nor read its options from the environment.
extern "C" const char *__asan_default_options()
{
    return "detect_leaks=0";
}

int main(int argc, char **argv)
{
    if (argc != 3)
        return 64;
    int status = 0;
    ClientPropertyTable *table = ParseClientConfigFile(argv[1], nullptr, &status);
    ClientProperty *entry = FindClientProperty(table, argv[2]);
    if (entry != nullptr)
        EvaluateClientProperty(entry, table, &status);
    printf("secure=%lu value=%s\n", getauxval(AT_SECURE),
           entry != nullptr && status == 0 ? entry->evaluatedValue : "(none)");
    FreeClientPropertyTable(table);
    return status == 0 ? 0 : 1;
}
