// The scoped guard of the OS-port units' two plain POSIX mutexes: the
// program name's (osport.cpp) and the random-number generator's
// (osport_random.cpp).
//
// They are not hlx::Mutex: random() and EnsureProgramName() serve C code,
// other shared objects and other units' static initialisers, so their locks
// must be statically initialised, with nothing to construct or allocate
// first; and random() must not become a cancellation point for its C
// callers, which the framework's guards pass when they release a lock.
#pragma once

#include "hlx/exceptions.h"

#include <pthread.h>

namespace hlx {

class OsPortLock {
public:
    // A failed lock throws hlx::SystemException for the caller's unit and line.
    OsPortLock(pthread_mutex_t &mutex, const char *unit, int line) : m_mutex(mutex)
    {
        int error = pthread_mutex_lock(&m_mutex);
        if (error != 0)
            throw SystemException::fromError(unit, line, error);
    }
    // The owner unlocking a default mutex cannot fail.
    ~OsPortLock() { pthread_mutex_unlock(&m_mutex); }
    OsPortLock(const OsPortLock &) = delete;
    OsPortLock &operator=(const OsPortLock &) = delete;

private:
    pthread_mutex_t &m_mutex;
};

} // namespace hlx
