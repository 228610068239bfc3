// The process's random-number functions. random, rand, srandom and srand are
// exported under the C library's names, so every caller in the process,
// shared libraries included, draws from one sequence: the C library's 48-bit
// generator (lrand48/srand48), whose state is not duplicated here, taken
// under one lock so that concurrent callers get distinct consecutive values
// and a seeding never interleaves with a draw.
#include "hlx/exceptions.h"

#include <pthread.h>
#include <stdlib.h>

namespace {

const char UNIT[] = "osport";

// Statically initialised: these functions may be called before any static
// constructor has run.
pthread_mutex_t gRandomMutex = PTHREAD_MUTEX_INITIALIZER;

class RandomLock {
public:
    RandomLock()
    {
        int rc = pthread_mutex_lock(&gRandomMutex);
        if (rc != 0)
            fail(rc);
    }
    ~RandomLock() { pthread_mutex_unlock(&gRandomMutex); }
    RandomLock(const RandomLock &) = delete;
    RandomLock &operator=(const RandomLock &) = delete;

private:
    // The C library declares these functions noexcept (their callers include
    // C code, which cannot unwind), so the exception ends the process
    // through std::terminate, which prints its text.
    [[noreturn]] static void fail(int rc) { throw hlx::SystemException::fromError(UNIT, __LINE__, rc); }
};

} // namespace

/*
 * Every program's link names this symbol with -u. Under the sanitizers the
 * runtime, linked ahead of our libraries, may already define these names as
 * weak interceptors, so asking for them alone would not pull this unit out
 * of the archive; once it is pulled, its strong definitions win.
 */
extern "C" void RandomNumbersLinked(void) {}

extern "C" long random(void) noexcept
{
    RandomLock lock;
    return lrand48();
}

extern "C" int rand(void) noexcept
{
    return static_cast<int>(random());
}

extern "C" void srandom(unsigned int seed) noexcept
{
    RandomLock lock;
    srand48(seed);
}

extern "C" void srand(unsigned int seed) noexcept
{
    srandom(seed);
}
