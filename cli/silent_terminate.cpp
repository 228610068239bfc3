// trailsend-log, which writes trailsend's failure line in trailsend's
// process, prints nothing, not even when it ends for an exception that
// nothing caught. The C++ runtime's default terminate handler names the
// exception on standard error and brings its demangler along, some 45 KiB of
// code and a hundred relocations to load at every start; this replacement of
// it only aborts.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler()
{
    std::abort();
}

} // namespace __gnu_cxx
