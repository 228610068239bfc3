#include "hlx/exceptions.h"
#include "hlx/mutex.h"
#include "hlx/thread.h"

#include <gtest/gtest.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <atomic>

namespace {

template <typename Condition>
void waitUntil(Condition condition)
{
    while (!condition())
        sched_yield();
}

std::atomic<hlx::Thread *> gSeenCurrent{nullptr};
std::atomic<bool> gEntered{false};

long recordCurrent(long argument)
{
    gSeenCurrent = hlx::Thread::current();
    return argument;
}

long quickReturn(long argument)
{
    return argument;
}

long sleepUntilCancelled(long)
{
    gEntered = true;
    for (;;)
        hlx::Thread::sleep(0, 1000 * 1000);
    return 0;
}

// Takes and drops a framework lock in a tight loop, as a worker would.
hlx::Mutex *gWorkMutex;
long lockInLoop(long)
{
    gEntered = true;
    for (;;) {
        hlx::ScopedLock guard(*gWorkMutex);
        hlx::Thread::yield();
    }
    return 0;
}

class CancelHook : public hlx::Thread {
public:
    std::atomic<int> cancelled{0};

protected:
    void onCancel() override { ++cancelled; }
};

void ignoreSignal(int) {}

} // namespace

TEST(Thread, CurrentIsNullInMainAndTheObjectInsideAStartedThread)
{
    EXPECT_EQ(hlx::Thread::current(), nullptr);
    hlx::Thread thread;
    thread.start("worker", recordCurrent, 5);
    thread.join();
    EXPECT_EQ(gSeenCurrent.load(), &thread);
    EXPECT_EQ(thread.name(), "worker");
    EXPECT_FALSE(thread.isRunning());
}

TEST(Thread, JoinTwiceAndJoinAfterDetachReturnAtOnce)
{
    hlx::Thread joined;
    joined.start(nullptr, quickReturn, 1);
    joined.join();
    joined.join();
    EXPECT_TRUE(joined.name().empty());

    hlx::Thread detached;
    detached.start(nullptr, quickReturn, 2);
    detached.detach();
    detached.join();
    detached.detach();
    waitUntil([&] { return !detached.isRunning(); });
}

TEST(Thread, JoinDetachAndStopOfANeverStartedThreadDoNothing)
{
    hlx::Thread thread;
    thread.join();
    thread.detach();
    thread.stop();
    EXPECT_FALSE(thread.cancelRequested());
}

TEST(Thread, CancelOfAFinishedThreadDoesNothing)
{
    CancelHook thread;
    thread.start(nullptr, quickReturn, 0);
    waitUntil([&] { return !thread.isRunning(); });
    thread.cancel();
    EXPECT_FALSE(thread.cancelRequested());
    thread.join();
    EXPECT_EQ(thread.cancelled, 0);
}

TEST(Thread, StopCancelsARunningThreadAndCallsOnCancel)
{
    gEntered = false;
    CancelHook thread;
    thread.start("sleeper", sleepUntilCancelled, 0);
    waitUntil([] { return gEntered.load(); });
    thread.stop();
    EXPECT_TRUE(thread.cancelRequested());
    EXPECT_EQ(thread.cancelled, 1);
    EXPECT_FALSE(thread.isRunning());
}

TEST(Thread, StopRightAfterStartIsNotLost)
{
    CancelHook thread;
    thread.start(nullptr, sleepUntilCancelled, 0);
    thread.stop();
    EXPECT_FALSE(thread.isRunning());
}

TEST(Thread, CancelledThreadNeverLeavesAFrameworkLockHeld)
{
    hlx::Mutex mutex;
    gWorkMutex = &mutex;
    gEntered = false;
    hlx::Thread thread;
    thread.start(nullptr, lockInLoop, 0);
    waitUntil([] { return gEntered.load(); });
    hlx::Thread::sleep(0, 20 * 1000 * 1000);
    thread.stop();
    EXPECT_TRUE(mutex.trylock());
    EXPECT_EQ(mutex.count(), 1);
    mutex.unlock();
}

TEST(Thread, ObjectsAreCountedWhileAlive)
{
    int before = hlx::Thread::m_threadsActive;
    hlx::Thread *first = new hlx::Thread;
    hlx::Thread second;
    EXPECT_EQ(hlx::Thread::m_threadsActive, before + 2);
    delete first;
    EXPECT_EQ(hlx::Thread::m_threadsActive, before + 1);
}

TEST(Thread, SetActiveAddsOneOrResetsToZero)
{
    int before = hlx::Thread::m_threadsActive;
    hlx::Thread::setActive(true);
    EXPECT_EQ(hlx::Thread::m_threadsActive, before + 1);
    hlx::Thread::setActive(false);
    EXPECT_EQ(hlx::Thread::m_threadsActive, 0);
    for (int i = 0; i < before; ++i)
        hlx::Thread::setActive(true);
}

TEST(Thread, SleepReportsWholeTimeOrInterruption)
{
    EXPECT_TRUE(hlx::Thread::sleep(0, 0));
    EXPECT_TRUE(hlx::Thread::sleep(0, 1, 1, 1));

    struct sigaction action = {};
    struct sigaction previous;
    action.sa_handler = ignoreSignal;
    sigaction(SIGUSR1, &action, &previous);
    std::atomic<int> result{-1};
    std::atomic<bool> sleeping{false};
    pthread_t sleeper;
    struct Args {
        std::atomic<int> *result;
        std::atomic<bool> *sleeping;
    } args{&result, &sleeping};
    pthread_create(
        &sleeper, nullptr,
        [](void *p) -> void * {
            Args *a = static_cast<Args *>(p);
            *a->sleeping = true;
            *a->result = hlx::Thread::sleep(30, 0) ? 1 : 0;
            return nullptr;
        },
        &args);
    waitUntil([&] { return sleeping.load(); });
    while (result == -1) {
        pthread_kill(sleeper, SIGUSR1);
        hlx::Thread::sleep(0, 1000 * 1000);
    }
    pthread_join(sleeper, nullptr);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(result, 0);
}

TEST(Thread, SleepCarriesMillisecondsIntoSeconds)
{
    // 1000 ms is a whole second; nanosleep alone would refuse it.
    EXPECT_TRUE(hlx::Thread::sleep(0, 999, 999, 1000));
    try {
        hlx::Thread::sleep(0, 1000000000L);
        FAIL() << "no exception";
    } catch (const hlx::SystemException &e) {
        EXPECT_EQ(e.rc(), EINVAL);
    }
}

TEST(Thread, EntryAndCleanupAreExportedToTheProcess)
{
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "_ZN3hlx11ThreadStartEPv"), reinterpret_cast<void *>(&hlx::ThreadStart));
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "_ZN3hlx19ThreadCancelCleanupEPv"),
              reinterpret_cast<void *>(&hlx::ThreadCancelCleanup));
}
