// The process's random-number functions. random, rand, srandom and srand are
// exported under the C library's names, so every caller in the process,
// shared libraries included, draws from one sequence: the C library's 48-bit
// generator (lrand48/srand48), whose state is not duplicated here, taken
// under one lock so that concurrent callers get distinct consecutive values
// and a seeding never interleaves with a draw.
#include "osport_lock.h"

#include <pthread.h>
#include <stdlib.h>

namespace {

const char kUnit[] = "osport";

// Statically initialised: these functions may be called before any static
// constructor has run.
pthread_mutex_t gRandomMutex = PTHREAD_MUTEX_INITIALIZER;

} // namespace

/*
 * Every program's link names this symbol with -u. Under the sanitizers the
 * runtime, linked ahead of our libraries, may already define these names as
 * weak interceptors, so asking for them alone would not pull this unit out
 * of the archive; once it is pulled, its strong definitions win.
 */
extern "C" void RandomNumbersLinked(void) {}

// The C library declares these functions noexcept (their callers include C
// code, which cannot unwind), so a failed lock ends the process through
// std::terminate, which prints the exception's text.
extern "C" long random(void) noexcept
{
    hlx::OsPortLock lock(gRandomMutex, kUnit, __LINE__);
    return lrand48();
}

extern "C" int rand(void) noexcept
{
    return static_cast<int>(random());
}

extern "C" void srandom(unsigned int seed) noexcept
{
    hlx::OsPortLock lock(gRandomMutex, kUnit, __LINE__);
    srand48(seed);
}

extern "C" void srand(unsigned int seed) noexcept
{
    srandom(seed);
}
