#include "hlx/mutex.h"

#include "hlx/exceptions.h"
#include "hlx/thread.h"

#include <errno.h>

#include <exception>

namespace hlx {

namespace {

const char kUnit[] = "mutex";

// Out of line and marked cold, so the lock paths carry no exception code.
[[noreturn]] __attribute__((noinline, cold)) void fail(int rc, int line)
{
    throw SystemException::fromError(kUnit, line, rc);
}

inline void check(int rc, int line)
{
    if (__builtin_expect(rc != 0, 0))
        fail(rc, line);
}

} // namespace

Mutex::Mutex() : m_threaded(Thread::threadsSupported()) {}

Mutex::Mutex(bool spinWhenContended) : m_threaded(Thread::threadsSupported()), m_spinning(spinWhenContended) {}

Mutex::~Mutex()
{
    // A destructor must not throw; destroying a mutex that is still held is
    // the owner's bug and is left to the thread library to ignore.
    if (!m_threaded)
        return;
    pthread_cond_destroy(&m_condition);
    pthread_mutex_destroy(&m_mutex);
}

void Mutex::lock()
{
    if (m_threaded)
        check(lockThreaded(), __LINE__);
}

void Mutex::unlock()
{
    if (m_threaded)
        check(unlockThreaded(), __LINE__);
}

bool Mutex::trylock()
{
    if (!m_threaded)
        return true;
    int rc = pthread_mutex_trylock(&m_mutex);
    if (rc == EBUSY)
        return false;
    check(rc, __LINE__);
    int count = m_count.load(std::memory_order_relaxed) + 1;
    m_count.store(count, std::memory_order_relaxed);
    if (count == 1)
        m_owner.store(mutex_detail::self(), std::memory_order_relaxed);
    return true;
}

namespace {

// Tells the processor that the thread is waiting for another one.
inline void pauseProcessor()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

} // namespace

// A spinning mutex was held by another thread when lockThreaded() tried it:
// wait about as long as a holder keeps it on the processor before the thread
// library puts this thread to sleep, which costs the sleeper a system call
// and a trip through the scheduler and the holder a system call to wake it.
// (A mutex that does not spin sleeps at once: where holders alternate item
// by item, as a queue's producer and a single worker do, the waiting spends
// more processor time than the sleeping.)
int Mutex::lockContended()
{
    for (int round = 0; round < 64; ++round) {
        pauseProcessor();
        // The owner's count reads 0 once it has let go.
        if (m_count.load(std::memory_order_relaxed) != 0)
            continue;
        int rc = pthread_mutex_trylock(&m_mutex);
        if (rc != EBUSY)
            return rc;
    }
    return pthread_mutex_lock(&m_mutex);
}

bool Mutex::wait(const struct timespec *deadline)
{
    return waitOn(deadline, CLOCK_REALTIME);
}

bool Mutex::waitUntilMonotonic(const struct timespec &deadline)
{
    return waitOn(&deadline, CLOCK_MONOTONIC);
}

bool Mutex::waitOn(const struct timespec *deadline, clockid_t clock)
{
    if (!m_threaded)
        return true;
    int count = m_count.exchange(0, std::memory_order_relaxed);
    pthread_t owner = m_owner.exchange(0, std::memory_order_relaxed);
    int rc = !deadline                 ? pthread_cond_wait(&m_condition, &m_mutex)
             : clock == CLOCK_REALTIME ? pthread_cond_timedwait(&m_condition, &m_mutex, deadline)
                                       : pthread_cond_clockwait(&m_condition, &m_mutex, clock, deadline);
    m_count.store(count, std::memory_order_relaxed);
    m_owner.store(owner, std::memory_order_relaxed);
    if (rc == ETIMEDOUT)
        return false;
    check(rc, __LINE__);
    return true;
}

bool Mutex::waitFor(long seconds, long nanoseconds)
{
    struct timespec deadline;
    deadline.tv_sec = time(nullptr) + seconds;
    deadline.tv_nsec = nanoseconds;
    return wait(&deadline);
}

void Mutex::signal()
{
    if (!m_threaded)
        return;
    if (Thread::m_threadsActive.load(std::memory_order_relaxed) > 0)
        check(pthread_cond_signal(&m_condition), __LINE__);
}

void Mutex::broadcast()
{
    if (!m_threaded)
        return;
    check(pthread_cond_broadcast(&m_condition), __LINE__);
}

MaxWaitMutex::MaxWaitMutex(int maxWaiters) : m_maxWaiters(maxWaiters) {}

int MaxWaitMutex::waiting()
{
    ScopedLock guard(m_waitingMutex);
    return m_waiting;
}

void MaxWaitMutex::enter()
{
    ScopedLock guard(m_waitingMutex);
    if (m_waiting >= m_maxWaiters) {
        guard.release();
        throw TryAgainException(kUnit, __LINE__,
                                "too many clients waiting for mutex (configure more threads?)",
                                "hlx::TryAgainException", EAGAIN, true);
    }
    ++m_waiting;
}

void MaxWaitMutex::leave()
{
    ScopedLock guard(m_waitingMutex);
    --m_waiting;
}

void MaxWaitMutex::lock()
{
    if (!Thread::threadsSupported())
        return;
    if (m_maxWaiters == 0 || pthread_equal(owner(), pthread_self())) {
        Mutex::lock();
        return;
    }
    enter();
    try {
        Mutex::lock();
    } catch (...) {
        leave();
        throw;
    }
    leave();
}

bool MaxWaitMutex::trylock()
{
    if (!Thread::threadsSupported())
        return true;
    if (m_maxWaiters == 0 || pthread_equal(owner(), pthread_self()))
        return Mutex::trylock();
    enter();
    bool acquired;
    try {
        acquired = Mutex::trylock();
    } catch (...) {
        leave();
        throw;
    }
    leave();
    return acquired;
}

void ScopedLock::cancellationSwitchedOn()
{
    mutex_detail::tCancellationOffByGuard = false;
}

void ScopedLock::cancelStateFailed(int rc)
{
    fail(rc, __LINE__);
}

// The caller's cancel state as it was before the guard, without a
// cancellation point: on the way out of a failure.
void ScopedLock::restoreCancellationQuietly()
{
    if (m_previousCancelState == PTHREAD_CANCEL_ENABLE)
        switchCancellationOn();
}

void ScopedLock::lockThroughSlot()
{
    try {
        m_mutex.lock();
    } catch (...) {
        restoreCancellationQuietly();
        throw;
    }
}

void ScopedLock::lockFailed(int rc)
{
    restoreCancellationQuietly();
    fail(rc, __LINE__);
}

// The failure goes to the caller, unless the guard ends while another
// exception unwinds the stack: a second one would end the process.
bool ScopedLock::unlockThroughSlot(bool atEnd)
{
    try {
        m_mutex.unlock();
        return true;
    } catch (...) {
        restoreCancellationQuietly();
        if (!atEnd || std::uncaught_exceptions() == 0)
            throw;
        return false;
    }
}

void ScopedLock::unlockFailed(int rc, bool atEnd)
{
    restoreCancellationQuietly();
    if (!atEnd || std::uncaught_exceptions() == 0)
        fail(rc, __LINE__);
}

void ScopedLock::releaseAtEnd()
{
    m_locked = false;
    if (m_plain) {
        int rc = m_mutex.unlockThreaded();
        if (__builtin_expect(rc != 0, 0)) {
            unlockFailed(rc, true);
            return;
        }
    } else if (!unlockThroughSlot(true)) {
        return;
    }
    if (m_previousCancelState == PTHREAD_CANCEL_ENABLE) {
        switchCancellationOn();
        // While an exception unwinds the stack a cancellation would be a
        // second one, which ends the process.
        if (std::uncaught_exceptions() == 0)
            pthread_testcancel();
    } else if (m_cancelSwitchOwed && std::uncaught_exceptions() == 0) {
        pthread_testcancel();
    }
}

ScopedLock::ScopedLock(Mutex &mutex, long seconds, long nanoseconds) : m_mutex(mutex)
{
    if (!mutex.m_threaded)
        return;
    switchCancellationOff();
    try {
        struct timespec interval;
        interval.tv_sec = seconds;
        interval.tv_nsec = nanoseconds;
        if (seconds == 0 && nanoseconds == 0)
            interval.tv_nsec = 10 * 1000 * 1000;
        while (!m_mutex.trylock()) {
            if (nanosleep(&interval, nullptr) != 0 && errno != EINTR)
                check(errno, __LINE__);
        }
    } catch (...) {
        restoreCancellationQuietly();
        throw;
    }
    m_locked = true;
}

PollingLock::PollingLock(Mutex &mutex, long seconds, long nanoseconds) : m_lock(mutex, seconds, nanoseconds) {}

Mutex &LazyMutex::get()
{
    Mutex *mutex = m_mutex.load(std::memory_order_acquire);
    if (mutex)
        return *mutex;
    Mutex *created = new Mutex;
    if (m_mutex.compare_exchange_strong(mutex, created, std::memory_order_acq_rel))
        return *created;
    delete created;
    return *mutex;
}

void LazyMutex::destroy()
{
    delete m_mutex.exchange(nullptr, std::memory_order_acq_rel);
}

} // namespace hlx
