#include "hlx/thread.h"

#include "hlx/common.h"
#include "hlx/exceptions.h"
#include "hlx/logger.h"
#include "hlx/mutex.h"
#include "hlx/property_lookup.h"

#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <time.h>


// A weak reference: its address is null in a program linked without the
// thread library, which then runs single-threaded.
extern "C" int pthread_mutexattr_init(pthread_mutexattr_t *) __attribute__((weak));

namespace hlx {

std::atomic<bool> Thread::m_threadSupportKnown{false};
std::atomic<bool> Thread::m_threadsSupported{false};
std::atomic<int> Thread::m_threadsActive{0};

namespace {

const char kUnit[] = "thread";

void check(int rc, int line)
{
    if (rc != 0)
        throw SystemException::fromError(kUnit, line, rc);
}

// Guards changes of Thread::m_threadsActive. Constant-initialised, so that a
// program that never builds a Thread makes no mutex at start-up, while the
// first Thread, even one built by another unit's static initialiser, finds
// it; never destroyed, because threads may outlive the static destructors.
LazyMutex gThreadCountMutex;

Mutex &threadCountMutex()
{
    return gThreadCountMutex.get();
}

pthread_once_t gCurrentThreadKeyOnce = PTHREAD_ONCE_INIT;
pthread_key_t gCurrentThreadKey;
bool gCurrentThreadKeyCreated = false;

void createCurrentThreadKey()
{
    gCurrentThreadKeyCreated = pthread_key_create(&gCurrentThreadKey, ThreadCancelCleanup) == 0;
}

bool currentThreadKey(pthread_key_t *key)
{
    pthread_once(&gCurrentThreadKeyOnce, createCurrentThreadKey);
    *key = gCurrentThreadKey;
    return gCurrentThreadKeyCreated;
}

} // namespace

bool Thread::threadsSupported()
{
    if (!m_threadSupportKnown.load(std::memory_order_acquire)) {
        m_threadsSupported.store(&pthread_mutexattr_init != nullptr, std::memory_order_relaxed);
        m_threadSupportKnown.store(true, std::memory_order_release);
    }
    return m_threadsSupported.load(std::memory_order_relaxed);
}

Thread::Thread()
{
    ScopedLock guard(threadCountMutex());
    m_threadsActive.fetch_add(1, std::memory_order_relaxed);
}

Thread::~Thread()
{
    try {
        ScopedLock guard(threadCountMutex());
        m_threadsActive.fetch_sub(1, std::memory_order_relaxed);
    } catch (...) {
        // A destructor must not throw; the count is only advisory.
    }
}

void Thread::onCancel() {}

void Thread::start(const char *name, Function function, long argument)
{
    LoggerPtr logger = Logger::getLogger("util.thread");
    m_function = function;
    m_argument = argument;
    if (name)
        m_name = name;

    pthread_attr_t attributes;
    check(pthread_attr_init(&attributes), __LINE__);

    int stackSize = atoi(lookupProperty("hlx.clients.threads.stacksize").c_str());
    if (stackSize > 0) {
        if (pthread_attr_setstacksize(&attributes, static_cast<size_t>(stackSize)) != 0) {
            if (logger->isEnabled(LEVEL_DEBUG))
                logger->log(LEVEL_DEBUG, "Failed to set the thread stack size, using system default");
        } else if (logger->isEnabled(LEVEL_DEBUG)) {
            logger->log(LEVEL_DEBUG, "Set the pthread stack size to %d", stackSize);
        }
    }

    std::string priority = lowerCase(lookupProperty("hlx.clients.threads.priority"));
    if (priority == "true" || priority == "yes" || priority == "1") {
        // Only a request: without PTHREAD_EXPLICIT_SCHED the thread still
        // inherits the creator's policy, as it always has.
        pthread_attr_setschedpolicy(&attributes, SCHED_FIFO);
    }

    // Running from here on, so that a cancel() that follows start() at once
    // is not lost before the function is entered (stop() would then wait for
    // a thread nobody asked to end).
    m_running.store(true, std::memory_order_relaxed);
    pthread_t id;
    int rc = pthread_create(&id, &attributes, ThreadStart, this);
    pthread_attr_destroy(&attributes);
    if (rc != 0)
        m_running.store(false, std::memory_order_release);
    check(rc, __LINE__);
    m_joined = false;
    m_id.store(id, std::memory_order_release);
}

void Thread::join()
{
    pthread_t thread = id();
    if (m_joined || thread == 0)
        return;
    check(pthread_join(thread, nullptr), __LINE__);
    m_joined = true;
}

void Thread::detach()
{
    pthread_t thread = id();
    if (m_joined || thread == 0)
        return;
    check(pthread_detach(thread), __LINE__);
    m_joined = true;
}

void Thread::cancel()
{
    if (!isRunning())
        return;
    m_cancelRequested.store(1, std::memory_order_relaxed);
    check(pthread_cancel(id()), __LINE__);
}

void Thread::stop()
{
    cancel();
    join();
}

Thread *Thread::current()
{
    pthread_key_t key;
    if (!currentThreadKey(&key))
        return nullptr;
    return static_cast<Thread *>(pthread_getspecific(key));
}

bool Thread::sleep(long seconds, long nanoseconds)
{
    struct timespec duration;
    duration.tv_sec = seconds;
    duration.tv_nsec = nanoseconds;
    pthread_testcancel();
    int rc = nanosleep(&duration, nullptr);
    int error = errno;
    pthread_testcancel();
    if (rc == 0)
        return true;
    if (error == EINTR)
        return false;
    throw SystemException::fromError(kUnit, __LINE__, error);
}

bool Thread::sleep(long seconds, long milliseconds, long microseconds, long nanoseconds)
{
    // nanosleep refuses a nanosecond part of a second or more, so the sum is
    // carried into whole seconds.
    long long total = static_cast<long long>(milliseconds) * 1000000LL +
                      static_cast<long long>(microseconds) * 1000LL + nanoseconds;
    long long carry = total / 1000000000LL;
    total %= 1000000000LL;
    if (total < 0) {
        total += 1000000000LL;
        --carry;
    }
    return sleep(static_cast<long>(seconds + carry), static_cast<long>(total));
}

void Thread::yield()
{
    pthread_testcancel();
    if (sched_yield() != 0)
        throw SystemException::fromError(kUnit, __LINE__, errno);
}

void Thread::enableCancel()
{
    check(pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr), __LINE__);
    ScopedLock::cancellationSwitchedOn();
    pthread_testcancel();
}

void Thread::disableCancel()
{
    check(pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr), __LINE__);
}

void Thread::setActive(bool active)
{
    ScopedLock guard(threadCountMutex());
    if (active)
        m_threadsActive.fetch_add(1, std::memory_order_relaxed);
    else
        m_threadsActive.store(0, std::memory_order_relaxed);
}

void *ThreadStart(void *argument)
{
    Thread *thread = static_cast<Thread *>(argument);
    // The key goes first: from here on a cancellation reaches
    // ThreadCancelCleanup, which clears running.
    pthread_key_t key;
    bool haveKey = currentThreadKey(&key);
    if (haveKey)
        pthread_setspecific(key, thread);
    LoggerPtr logger = Logger::getLogger("util.thread");
    // The creator stores the id after pthread_create returns; the function
    // may not run before that store is visible.
    while (thread->id() == 0)
        Thread::yield();
    long result = thread->m_function(thread->m_argument);
    if (haveKey)
        pthread_setspecific(key, nullptr);
    thread->m_running.store(false, std::memory_order_release);
    logger.reset();
    return reinterpret_cast<void *>(result);
}

void ThreadCancelCleanup(void *argument)
{
    Thread *thread = static_cast<Thread *>(argument);
    thread->onCancel();
    thread->m_running.store(false, std::memory_order_release);
}

} // namespace hlx
