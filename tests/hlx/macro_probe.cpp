// macro_probe TEXT
//
// Loads TEXT as a framework configuration and prints
// "secure=<AT_SECURE> v=<value of property v>". config_parser_test runs a
// set-user-ID copy of it to see what a privileged process takes from the
// environment.
#include "hlx/properties.h"

#include <stdio.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <sstream>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 64;
    hlx::Properties store;
    std::istringstream in(argv[1]);
    store.load(in, true);
    printf("secure=%lu v=%s\n", getauxval(AT_SECURE), store.getString("v").c_str());
    fflush(stdout);
    // A set-user-ID process may not be traced, so the leak check that a
    // sanitizer build runs at exit would fail: there is nothing to check.
    _exit(0);
}
