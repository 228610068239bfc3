// hlx::Mutex, the framework's only lock: a recursive POSIX mutex with a
// condition variable and owner/recursion bookkeeping; the guards that take
// it; hlx::MaxWaitMutex, which bounds how many threads may queue for it.
//
// Take a mutex through ScopedLock (or PollingLock): the guards switch thread
// cancellation off while the lock is held, so a cancelled thread never ends
// holding a framework lock. When the process has no thread library
// (Thread::m_threadsSupported false) every operation here is a no-op.
//
// Guards are on every work item's and log line's path, so their common case
// is inline (at the end of this header): on a plain Mutex one thread-library
// call to lock and one to unlock, with bookkeeping that only the owner
// writes, and no call through the virtual slots, whose bodies are the same;
// a guard taken inside another guard of the same thread finds cancellation
// already off and leaves it alone.
//
// Failures of the thread library throw hlx::SystemException.
#pragma once

#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <typeinfo>

namespace hlx {

class Mutex {
public:
    Mutex();
    // With `spinWhenContended`, a lock that finds the mutex held by another
    // thread waits a moment on the processor before the thread sleeps: for
    // a mutex whose holders keep it for a few hundred instructions while
    // another core keeps asking for it (a batched queue), where sleeping and
    // waking would cost both threads a system call each time.
    explicit Mutex(bool spinWhenContended);
    virtual ~Mutex();
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    virtual void lock();
    virtual void unlock();
    // false when another thread holds the mutex.
    virtual bool trylock();

    // Waits on the condition variable; the caller holds the mutex. With a
    // deadline (absolute, CLOCK_REALTIME) false means it passed; true means
    // woken. count() and owner() read 0 while waiting.
    bool wait(const struct timespec *deadline = nullptr);
    // wait() until the current time's whole seconds plus `seconds`, with
    // `nanoseconds` as the nanosecond part.
    bool waitFor(long seconds, long nanoseconds);
    // wait() with a deadline on CLOCK_MONOTONIC, which setting the clock
    // does not move.
    bool waitUntilMonotonic(const struct timespec &deadline);
    // Wakes one waiter, but only while Thread objects exist
    // (Thread::m_threadsActive > 0).
    void signal();
    // Wakes all waiters.
    void broadcast();

    // Recursion depth of the owner (0 when free) and the owner (0 when free).
    int count() const { return m_count.load(std::memory_order_relaxed); }
    pthread_t owner() const { return m_owner.load(std::memory_order_relaxed); }

private:
    friend class ScopedLock;

    // The bodies of lock() and unlock() on a threaded mutex, returning the
    // error number instead of throwing it.
    int lockThreaded();
    int unlockThreaded();
    int lockContended();
    bool waitOn(const struct timespec *deadline, clockid_t clock);
    // Whether lock() and unlock() are this class's own, which a guard may
    // then run without the virtual call. The type_info objects are compared
    // by address: should one type have two of them (a copy in each shared
    // object), a plain mutex merely takes the virtual call.
    bool plain() const { return &typeid(*this) == &typeid(Mutex); }

    // Set up by their initialisers, as pthread_mutex_init with a recursive
    // type and pthread_cond_init with no attributes would: no call at
    // construction, and no such function for a program to bind at start.
    pthread_mutex_t m_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    pthread_cond_t m_condition = PTHREAD_COND_INITIALIZER;
    std::atomic<int> m_count{0};
    // Read without the lock by MaxWaitMutex to let the owner bypass its bound.
    std::atomic<pthread_t> m_owner{0};
    // Whether the process has the thread library; it never changes once
    // known, so each mutex keeps the answer beside its lock.
    const bool m_threaded;
    const bool m_spinning = false;
};

// A mutex that refuses to queue more than maxWaiters threads at once (the
// owner's re-locks not counted) with hlx::TryAgainException (rc 11), so that
// a server with a fixed number of workers fails fast. maxWaiters 0: no bound.
class MaxWaitMutex : public Mutex {
public:
    explicit MaxWaitMutex(int maxWaiters);
    void lock() override;
    bool trylock() override;
    int maxWaiters() const { return m_maxWaiters; }
    // Threads inside lock()/trylock() right now.
    int waiting();

private:
    void enter();
    void leave();

    int m_maxWaiters;
    Mutex m_waitingMutex;
    int m_waiting = 0;
};

// Holds a mutex for its scope with cancellation switched off.
class ScopedLock {
public:
    explicit ScopedLock(Mutex &mutex);
    // Releasing restores the cancel state and, if cancellation was on,
    // passes a cancellation point, so it may end the thread (not while an
    // exception unwinds the stack: then it is left to later).
    ~ScopedLock() noexcept(false);
    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;

    // Early release; the destructor then does nothing.
    void release();
    bool wait(const struct timespec *deadline = nullptr) { return m_mutex.wait(deadline); }
    bool waitFor(long seconds, long nanoseconds) { return m_mutex.waitFor(seconds, nanoseconds); }
    bool waitUntilMonotonic(const struct timespec &deadline) { return m_mutex.waitUntilMonotonic(deadline); }

private:
    friend class PollingLock;
    friend class RunQueue;
    friend class Thread;
    // Polls trylock(), sleeping the interval between attempts.
    ScopedLock(Mutex &mutex, long seconds, long nanoseconds);

    // For a region that reaches no cancellation point and runs no code but
    // its own and the standard library's, unless it says so first with
    // beforeCancellationPoint(): the run queue's add and take, on every work
    // item's path. Switching cancellation off and on costs two atomic
    // updates of the thread's state, but under deferred cancellation, which
    // the guard makes sure of, a region without cancellation points cannot
    // be cancelled anyway; so the switch is made only when the region is
    // about to reach one. (The one case the switch would cover besides: a
    // signal handler that reaches a cancellation point while the region
    // runs.) Releasing passes a cancellation point as the ordinary guard
    // does.
    struct CancelSwitchWhenNeeded {};
    ScopedLock(Mutex &mutex, CancelSwitchWhenNeeded);
    void beforeCancellationPoint()
    {
        if (m_cancelSwitchOwed) {
            m_cancelSwitchOwed = false;
            switchCancellationOff();
        }
    }
    void switchCancellationOff();
    void switchCancellationOn();
    // Takes the mutex, cancellation being switched off or owed already.
    void lock(Mutex &mutex);
    // The rare paths, out of line: a mutex of a derived class, failures.
    void lockThroughSlot();
    bool unlockThroughSlot(bool atEnd);
    [[noreturn]] void lockFailed(int rc);
    void unlockFailed(int rc, bool atEnd);
    void restoreCancellationQuietly();
    void releaseAtEnd();
    [[noreturn]] static void cancelStateFailed(int rc);
    // For Thread::enableCancel: cancellation is on again although a guard of
    // this thread switched it off, so the next guard must switch it itself.
    static void cancellationSwitchedOn();

    Mutex &m_mutex;
    int m_previousCancelState = PTHREAD_CANCEL_DISABLE;
    bool m_locked = false;
    // Whether the mutex is a plain Mutex, asked once when taking it.
    bool m_plain = false;
    // Cancellation may be on: beforeCancellationPoint() switches it off.
    bool m_cancelSwitchOwed = false;
};

// Like ScopedLock, but acquires by polling trylock(), sleeping the interval
// between attempts (10 ms when both are 0).
class PollingLock {
public:
    PollingLock(Mutex &mutex, long seconds, long nanoseconds);
    void release() { m_lock.release(); }

private:
    ScopedLock m_lock;
};

// A module mutex that may be needed before static construction has
// finished: constant-initialised, the mutex itself created on first use.
class LazyMutex {
public:
    constexpr LazyMutex() = default;
    LazyMutex(const LazyMutex &) = delete;
    LazyMutex &operator=(const LazyMutex &) = delete;

    // The existing mutex, or a new one.
    Mutex &get();
    // Destroys the mutex; a later get() makes a new one.
    void destroy();

private:
    std::atomic<Mutex *> m_mutex{nullptr};
};

// Inline fast paths of the guards.

namespace mutex_detail {
// Set while a guard of this thread has switched cancellation off and not yet
// back on: a guard taken meanwhile knows it is off without asking the thread
// library, and leaves the switching back to the guard that switched.
// Initial-exec: one access relative to the thread pointer, also when the
// framework is linked into a shared object.
inline thread_local bool tCancellationOffByGuard __attribute__((tls_model("initial-exec"))) = false;

// The calling thread's id, kept after the first ask: owners are compared on
// every lock and unlock.
inline thread_local pthread_t tSelf __attribute__((tls_model("initial-exec"))) = 0;
inline pthread_t self()
{
    pthread_t id = tSelf;
    if (__builtin_expect(id == 0, 0))
        id = tSelf = pthread_self();
    return id;
}
} // namespace mutex_detail

// Only the thread holding the mutex writes count and owner, so plain
// (relaxed) stores do; others merely read them.
inline int Mutex::lockThreaded()
{
    int rc = m_spinning ? pthread_mutex_trylock(&m_mutex) : pthread_mutex_lock(&m_mutex);
    if (__builtin_expect(rc != 0, 0)) {
        if (rc != EBUSY)
            return rc;
        rc = lockContended();
        if (rc != 0)
            return rc;
    }
    int count = m_count.load(std::memory_order_relaxed) + 1;
    m_count.store(count, std::memory_order_relaxed);
    if (count == 1)
        m_owner.store(mutex_detail::self(), std::memory_order_relaxed);
    return 0;
}

inline int Mutex::unlockThreaded()
{
    // Refused for anyone but the owner, as the recursive POSIX mutex itself
    // would, before the bookkeeping is touched.
    if (__builtin_expect(!pthread_equal(m_owner.load(std::memory_order_relaxed), mutex_detail::self()), 0))
        return EPERM;
    int count = m_count.load(std::memory_order_relaxed) - 1;
    m_count.store(count, std::memory_order_relaxed);
    if (count == 0)
        m_owner.store(0, std::memory_order_relaxed);
    return pthread_mutex_unlock(&m_mutex);
}

inline void ScopedLock::switchCancellationOff()
{
    if (mutex_detail::tCancellationOffByGuard)
        return;
    int rc = pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_previousCancelState);
    if (__builtin_expect(rc != 0, 0))
        cancelStateFailed(rc);
    if (m_previousCancelState == PTHREAD_CANCEL_ENABLE)
        mutex_detail::tCancellationOffByGuard = true;
}

// Called only by the guard that switched cancellation off.
inline void ScopedLock::switchCancellationOn()
{
    mutex_detail::tCancellationOffByGuard = false;
    // Cannot fail: the state is a valid one.
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
}

inline void ScopedLock::lock(Mutex &mutex)
{
    m_plain = mutex.plain();
    if (m_plain) {
        int rc = mutex.lockThreaded();
        if (__builtin_expect(rc != 0, 0))
            lockFailed(rc);
    } else {
        lockThroughSlot();
    }
    m_locked = true;
}

inline ScopedLock::ScopedLock(Mutex &mutex) : m_mutex(mutex)
{
    if (!mutex.m_threaded)
        return;
    switchCancellationOff();
    lock(mutex);
}

inline ScopedLock::ScopedLock(Mutex &mutex, CancelSwitchWhenNeeded) : m_mutex(mutex)
{
    if (!mutex.m_threaded)
        return;
    if (!mutex_detail::tCancellationOffByGuard) {
        // Asynchronous cancellation could strike anywhere: then the switch
        // is made at once, and the type put back with cancellation off.
        int type;
        pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &type);
        if (__builtin_expect(type == PTHREAD_CANCEL_DEFERRED, 1)) {
            m_cancelSwitchOwed = true;
        } else {
            switchCancellationOff();
            pthread_setcanceltype(type, nullptr);
        }
    }
    lock(mutex);
}

inline void ScopedLock::release()
{
    if (!m_locked)
        return;
    m_locked = false;
    if (m_plain) {
        int rc = m_mutex.unlockThreaded();
        if (__builtin_expect(rc != 0, 0))
            unlockFailed(rc, false);
    } else {
        unlockThroughSlot(false);
    }
    if (m_previousCancelState == PTHREAD_CANCEL_ENABLE) {
        switchCancellationOn();
        pthread_testcancel();
    } else if (m_cancelSwitchOwed) {
        // A no-op when cancellation is off.
        pthread_testcancel();
    }
}

// Hot paths release() explicitly; the destructor's release, which must ask
// whether an exception unwinds the stack, stays out of line.
inline ScopedLock::~ScopedLock() noexcept(false)
{
    if (m_locked)
        releaseAtEnd();
}

} // namespace hlx
