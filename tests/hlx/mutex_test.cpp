#include "hlx/exceptions.h"
#include "hlx/mutex.h"
#include "hlx/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Waits (without a time limit: ctest's own time-out ends a hang) until a condition holds.
template <typename Condition>
void waitUntil(Condition condition)
{
    while (!condition())
        sched_yield();
}

int cancelState()
{
    int state;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
    pthread_setcancelstate(state, nullptr);
    return state;
}

// A waiter that reports once it sits in Mutex::wait on `mutex`.
struct Waiter {
    hlx::Mutex &mutex;
    bool ready = false;  // guarded by mutex
    std::atomic<int> result{-1};

    void run(const struct timespec *deadline)
    {
        hlx::ScopedLock guard(mutex);
        ready = true;
        result = guard.wait(deadline) ? 1 : 0;
    }
    // Signals once the waiter has released the mutex inside wait().
    void signalWhenWaiting()
    {
        for (;;) {
            hlx::ScopedLock guard(mutex);
            if (ready) {
                mutex.signal();
                return;
            }
        }
    }
};

struct timespec deadlineIn(int milliseconds)
{
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    deadline.tv_sec += milliseconds / 1000 + deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    return deadline;
}

} // namespace

TEST(Mutex, RecursionCountsEachLockAndFreesAfterAsManyUnlocks)
{
    hlx::Mutex mutex;
    for (int i = 1; i <= 3; ++i) {
        mutex.lock();
        EXPECT_EQ(mutex.count(), i);
    }
    EXPECT_TRUE(pthread_equal(mutex.owner(), pthread_self()));
    for (int i = 0; i < 3; ++i)
        mutex.unlock();
    EXPECT_EQ(mutex.count(), 0);
    EXPECT_EQ(mutex.owner(), pthread_t(0));
    bool acquired = false;
    std::thread other([&] {
        acquired = mutex.trylock();
        if (acquired)
            mutex.unlock();
    });
    other.join();
    EXPECT_TRUE(acquired);
}

TEST(Mutex, TrylockFromSecondThreadFailsWithoutBlocking)
{
    hlx::Mutex mutex;
    hlx::ScopedLock guard(mutex);
    bool acquired = true;
    std::thread other([&] { acquired = mutex.trylock(); });
    other.join();
    EXPECT_FALSE(acquired);
    EXPECT_TRUE(mutex.trylock());  // the owner may always re-lock
    EXPECT_EQ(mutex.count(), 2);
    mutex.unlock();
}

TEST(Mutex, UnlockByNonOwnerIsRefusedAndKeepsTheBookkeeping)
{
    hlx::Mutex mutex;
    hlx::ScopedLock guard(mutex);
    int rc = 0;
    std::thread other([&] {
        try {
            mutex.unlock();
        } catch (const hlx::SystemException &e) {
            rc = e.rc();
        }
    });
    other.join();
    EXPECT_EQ(rc, EPERM);
    EXPECT_EQ(mutex.count(), 1);
    EXPECT_TRUE(pthread_equal(mutex.owner(), pthread_self()));
}

TEST(Mutex, ExpiredWaitForReturnsFalseAndRestoresCountAndOwner)
{
    hlx::Mutex mutex;
    hlx::ScopedLock guard(mutex);
    mutex.lock();
    EXPECT_FALSE(guard.waitFor(-1, 0));
    EXPECT_EQ(mutex.count(), 2);
    EXPECT_TRUE(pthread_equal(mutex.owner(), pthread_self()));
    mutex.unlock();
}

TEST(Mutex, WaitWithInvalidDeadlineThrowsSystemException)
{
    hlx::Mutex mutex;
    hlx::ScopedLock guard(mutex);
    try {
        guard.waitFor(0, 2000000000L);  // the nanosecond part is not normalised
        FAIL() << "no exception";
    } catch (const hlx::SystemException &e) {
        EXPECT_EQ(e.rc(), EINVAL);
    }
    EXPECT_EQ(mutex.count(), 1);
}

TEST(Mutex, SignalWakesOnlyWhileThreadObjectsExist)
{
    ASSERT_EQ(hlx::Thread::m_threadsActive.load(), 0);
    hlx::Mutex mutex;
    {
        Waiter waiter{mutex};
        struct timespec deadline = deadlineIn(300);
        std::thread thread([&] { waiter.run(&deadline); });
        waiter.signalWhenWaiting();
        thread.join();
        EXPECT_EQ(waiter.result, 0) << "woken although no Thread object exists";
    }
    {
        hlx::Thread object;
        Waiter waiter{mutex};
        std::thread thread([&] { waiter.run(nullptr); });
        waiter.signalWhenWaiting();
        thread.join();
        EXPECT_EQ(waiter.result, 1);
    }
}

TEST(Mutex, BroadcastWakesEveryWaiter)
{
    hlx::Mutex mutex;
    int ready = 0;  // guarded by mutex
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            hlx::ScopedLock guard(mutex);
            ++ready;
            if (guard.wait())
                ++woken;
        });
    for (;;) {
        hlx::ScopedLock guard(mutex);
        if (ready == 3) {
            mutex.broadcast();
            break;
        }
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(woken, 3);
}

TEST(Mutex, GuardsSwitchCancellationOffWhileHeld)
{
    hlx::Mutex mutex;
    ASSERT_EQ(cancelState(), PTHREAD_CANCEL_ENABLE);
    {
        hlx::ScopedLock guard(mutex);
        EXPECT_EQ(cancelState(), PTHREAD_CANCEL_DISABLE);
        {
            hlx::PollingLock nested(mutex, 0, 0);
            EXPECT_EQ(mutex.count(), 2);
        }
        EXPECT_EQ(cancelState(), PTHREAD_CANCEL_DISABLE);
        guard.release();
        EXPECT_EQ(cancelState(), PTHREAD_CANCEL_ENABLE);
        EXPECT_EQ(mutex.count(), 0);
    }
    EXPECT_EQ(cancelState(), PTHREAD_CANCEL_ENABLE);

    // Only the guard that switched cancellation off switches it on again,
    // whatever the order of release; a guard taken after that, or after
    // Thread::enableCancel, switches it off itself.
    hlx::Mutex second;
    hlx::Mutex third;
    {
        hlx::ScopedLock outer(mutex);
        hlx::ScopedLock inner(second);
        outer.release();
        EXPECT_EQ(cancelState(), PTHREAD_CANCEL_ENABLE);
        hlx::ScopedLock later(third);
        EXPECT_EQ(cancelState(), PTHREAD_CANCEL_DISABLE);
    }
    EXPECT_EQ(cancelState(), PTHREAD_CANCEL_ENABLE);
    {
        hlx::ScopedLock outer(mutex);
        hlx::Thread::enableCancel();
        {
            hlx::ScopedLock inner(second);
            EXPECT_EQ(cancelState(), PTHREAD_CANCEL_DISABLE);
        }
        EXPECT_EQ(cancelState(), PTHREAD_CANCEL_ENABLE);
    }
    EXPECT_EQ(cancelState(), PTHREAD_CANCEL_ENABLE);
}

TEST(Mutex, PollingLockAcquiresOnceTheHolderReleases)
{
    hlx::Mutex mutex;
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        hlx::ScopedLock guard(mutex);
        held = true;
        waitUntil([&] { return release.load(); });
    });
    waitUntil([&] { return held.load(); });
    std::thread releaser([&] {
        hlx::Thread::sleep(0, 30 * 1000 * 1000);
        release = true;
    });
    {
        hlx::PollingLock guard(mutex, 0, 1000 * 1000);
        EXPECT_TRUE(release.load());
        EXPECT_TRUE(pthread_equal(mutex.owner(), pthread_self()));
    }
    holder.join();
    releaser.join();
    EXPECT_EQ(mutex.count(), 0);
}

TEST(MaxWaitMutex, RefusesTheThreadBeyondTheBoundButNotTheOwner)
{
    hlx::MaxWaitMutex mutex(2);
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::atomic<bool> ownerRelocked{false};
    std::thread owner([&] {
        hlx::ScopedLock guard(mutex);
        held = true;
        waitUntil([&] { return release.load(); });
        hlx::ScopedLock again(mutex);  // re-locking bypasses the bound
        ownerRelocked = mutex.count() == 2;
    });
    waitUntil([&] { return held.load(); });
    std::atomic<int> acquired{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            hlx::ScopedLock guard(mutex);
            ++acquired;
        });
    waitUntil([&] { return mutex.waiting() == 2; });

    int rc = 0;
    int stateAfter = -1;
    std::thread fourth([&] {
        try {
            hlx::ScopedLock guard(mutex);
        } catch (const hlx::TryAgainException &e) {
            rc = e.rc();
            stateAfter = cancelState();
        }
    });
    fourth.join();
    EXPECT_EQ(rc, 11);
    EXPECT_EQ(stateAfter, PTHREAD_CANCEL_ENABLE);
    EXPECT_EQ(mutex.waiting(), 2);
    EXPECT_THROW(mutex.trylock(), hlx::TryAgainException);

    release = true;
    owner.join();
    for (auto &t : waiters)
        t.join();
    EXPECT_TRUE(ownerRelocked);
    EXPECT_EQ(acquired, 2);
    EXPECT_EQ(mutex.waiting(), 0);
    EXPECT_EQ(mutex.count(), 0);
}

TEST(MaxWaitMutex, ZeroMeansAnyNumberMayWait)
{
    hlx::MaxWaitMutex mutex(0);
    std::atomic<int> acquired{0};
    std::vector<std::thread> threads;
    {
        hlx::ScopedLock guard(mutex);
        for (int i = 0; i < 6; ++i)
            threads.emplace_back([&] {
                hlx::ScopedLock inner(mutex);
                ++acquired;
            });
        EXPECT_EQ(acquired, 0);
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(acquired, 6);
}

TEST(LazyMutex, AllThreadsGetTheSameMutex)
{
    hlx::LazyMutex lazy;
    std::vector<hlx::Mutex *> seen(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { seen[i] = &lazy.get(); });
    for (auto &t : threads)
        t.join();
    for (hlx::Mutex *m : seen)
        EXPECT_EQ(m, seen[0]);
    lazy.destroy();
}
