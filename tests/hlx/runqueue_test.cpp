#include "hlx/exceptions.h"
#include "hlx/logger.h"
#include "hlx/runqueue.h"
#include "hlx/thread.h"
#include "support/framework_config.h"
#include "support/syslog_capture.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using hlx::QueueAblePtr;
using hlx::RunQueue;
using testsupport::SyslogCapture;

namespace {

const auto *const gFrameworkConfig = ::testing::AddGlobalTestEnvironment(new testsupport::TestRootFrameworkConfig);

// Thread-safe record of what ran, and how many items were released.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> ran;
    std::atomic<int> released{0};

    void add(const std::string &name)
    {
        std::lock_guard<std::mutex> lock(mutex);
        ran.push_back(name);
    }
    std::vector<std::string> snapshot()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return ran;
    }
};

class Job : public hlx::QueueAble {
public:
    Job(Journal &journal, const std::string &name, const std::string &key = "", bool replaces = false,
        std::function<void()> action = nullptr)
        : m_journal(journal), m_name(name), m_key(key), m_replaces(replaces), m_action(action)
    {
    }
    ~Job() override { ++m_journal.released; }
    void run() override
    {
        m_journal.add(m_name);
        if (m_action)
            m_action();
    }
    bool replacesDuplicates() const override { return m_replaces; }
    const std::string &key() const override { return m_key; }

private:
    Journal &m_journal;
    std::string m_name;
    std::string m_key;
    bool m_replaces;
    std::function<void()> m_action;
};

QueueAblePtr job(Journal &journal, const std::string &name, const std::string &key = "", bool replaces = false,
                 std::function<void()> action = nullptr)
{
    return QueueAblePtr(new Job(journal, name, key, replaces, action));
}

// Runs every waiting item in the calling thread.
void drain(RunQueue &queue)
{
    while (queue.size() > 0)
        queue.run(-1);
}

class DebugOnRunQueueLogger : public ::testing::Test {
protected:
    void SetUp() override { hlx::Logger::getLogger("util.runqueue")->setLevel(hlx::LEVEL_DEBUG); }
    void TearDown() override { hlx::Logger::getLogger("util.runqueue")->setLevel(hlx::LEVEL_INHERIT); }
};

} // namespace

TEST(RunQueue, FullQueueRefusesWithItsCountAndKeepsWhatItHolds)
{
    Journal journal;
    RunQueue queue(3);
    for (int i = 0; i < 3; ++i)
        queue.add(job(journal, "j" + std::to_string(i)));
    QueueAblePtr refused = job(journal, "refused");
    try {
        queue.add(refused);
        FAIL() << "a fourth item was accepted";
    } catch (const hlx::BufferFullException &e) {
        EXPECT_STREQ(e.what(), "runqueue full 3");
        EXPECT_EQ(e.rc(), -1);
        const std::out_of_range &standard = e;
        EXPECT_STREQ(standard.what(), "runqueue full 3");
    }
    EXPECT_THROW(queue.add(refused), std::out_of_range);
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_EQ(refused.use_count(), 1);
    drain(queue);
    EXPECT_EQ(journal.snapshot(), (std::vector<std::string>{"j0", "j1", "j2"}));
}

TEST(RunQueue, UnboundedQueueTakesAnyNumberOfItems)
{
    Journal journal;
    RunQueue queue(0);
    for (int i = 0; i < 5000; ++i)
        queue.add(job(journal, "j"));
    EXPECT_EQ(queue.size(), 5000u);
    queue.clear();
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(journal.released, 5000);
    EXPECT_TRUE(journal.snapshot().empty());
}

TEST_F(DebugOnRunQueueLogger, DuplicateReplacesOnlyTheOldestItemWithTheSameKey)
{
    Journal journal;
    RunQueue queue(0);
    queue.add(job(journal, "first k", "k"));
    queue.add(job(journal, "other", "x"));
    queue.add(job(journal, "second k", "k"));
    queue.add(job(journal, "prefix", "kk"));
    SyslogCapture capture;
    queue.add(job(journal, "new k", "k", true));
    EXPECT_EQ(journal.released, 1);
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"DEBUG util.runqueue removed duplicate request k"});
    // Without the flag an equal key is simply queued.
    queue.add(job(journal, "plain k", "k", false));
    drain(queue);
    EXPECT_EQ(journal.snapshot(),
              (std::vector<std::string>{"other", "second k", "prefix", "new k", "plain k"}));
}

TEST(RunQueue, QuietQueueLogsNothing)
{
    hlx::Logger::getLogger("util.runqueue")->setLevel(hlx::LEVEL_TRACE);
    hlx::Logger::getLogger("util.except")->setLevel(hlx::LEVEL_TRACE);
    Journal journal;
    RunQueue queue(1, true);
    SyslogCapture capture;
    queue.add(job(journal, "a", "k"));
    EXPECT_THROW(queue.add(job(journal, "b", "k", true)), hlx::BufferFullException);
    queue.run(-1);
    queue.add(job(journal, "c", "", false, [] { throw hlx::IOException("test", 1, "disk gone", "IOException", 5, false); }));
    queue.run(-1);
    queue.interrupt();
    EXPECT_THROW(queue.run(-1), hlx::QueueInterrupted);
    EXPECT_TRUE(capture.lines().empty());
    hlx::Logger::getLogger("util.runqueue")->setLevel(hlx::LEVEL_INHERIT);
    hlx::Logger::getLogger("util.except")->setLevel(hlx::LEVEL_INHERIT);
}

TEST(RunQueue, NegativeLimitRunsAtMostOneItemAndNeverBlocks)
{
    Journal journal;
    RunQueue queue(0);
    queue.run(-1);
    EXPECT_TRUE(journal.snapshot().empty());
    queue.add(job(journal, "a"));
    queue.add(job(journal, "b"));
    queue.run(-1);
    EXPECT_EQ(journal.snapshot(), std::vector<std::string>{"a"});
    EXPECT_EQ(queue.size(), 1u);
}

TEST(RunQueue, PositiveLimitReturnsWhenTheSecondsHavePassed)
{
    RunQueue queue(0);
    time_t before = time(nullptr);
    auto started = std::chrono::steady_clock::now();
    queue.run(2);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // The limit counts whole seconds of the clock.
    EXPECT_GE(time(nullptr), before + 2);
    EXPECT_GT(elapsed, 0.9);
    EXPECT_LT(elapsed, 3.5);
}

TEST(RunQueue, InterruptEndsOneOfTwoWaitingWorkersAtATime)
{
    Journal journal;
    RunQueue queue(0);
    std::atomic<int> ended{0};
    auto worker = [&queue, &ended] {
        try {
            queue.run(0);
        } catch (const hlx::QueueInterrupted &e) {
            EXPECT_STREQ(e.what(), "QueueInterrupted");
            EXPECT_EQ(e.rc(), 0);
            ++ended;
        }
    };
    std::thread first(worker);
    std::thread second(worker);
    // Both are at work once each has run an item that waits for the other.
    std::atomic<int> busy{0};
    auto rendezvous = [&busy] {
        ++busy;
        while (busy < 2)
            std::this_thread::yield();
    };
    queue.add(job(journal, "r1", "", false, rendezvous));
    queue.add(job(journal, "r2", "", false, rendezvous));
    while (journal.snapshot().size() < 2)
        std::this_thread::yield();

    queue.interrupt();
    while (ended < 1)
        std::this_thread::yield();
    // The other worker went back to waiting and still takes work.
    queue.add(job(journal, "after"));
    while (journal.snapshot().size() < 3)
        std::this_thread::yield();
    EXPECT_EQ(ended, 1);

    queue.interrupt();
    first.join();
    second.join();
    EXPECT_EQ(ended, 2);
    EXPECT_EQ(journal.snapshot().back(), "after");
}

TEST(RunQueue, GatheringWorkerTakesItemsOnceAQuarterOfTheCapacityWaitsOrItsTimeIsUp)
{
    Journal journal;
    std::atomic<int> ended{0};
    auto worker = [&ended](RunQueue &queue) {
        try {
            queue.run(0);
        } catch (const hlx::QueueInterrupted &) {
            ++ended;
        }
    };
    auto waitForRuns = [&journal](size_t count) {
        for (int i = 0; i < 1000 && journal.snapshot().size() < count; ++i)
            hlx::Thread::sleep(0, 10 * 1000 * 1000);
        return journal.snapshot().size();
    };
    // A minute of gathering, which only two waiting items (a quarter of 8) or
    // an interruption cut short.
    RunQueue queue(8, true, RunQueue::kMaxBatch, 60 * 1000 * 1000);
    std::thread first(worker, std::ref(queue));
    // Two, so that they run whether or not the worker was waiting yet.
    queue.add(job(journal, "warm-up"));
    queue.add(job(journal, "warm-up"));
    ASSERT_EQ(waitForRuns(2), 2u);
    // The worker is waiting on the empty queue again.
    hlx::Thread::sleep(0, 200 * 1000 * 1000);
    queue.add(job(journal, "a"));
    hlx::Thread::sleep(0, 100 * 1000 * 1000);
    EXPECT_EQ(journal.snapshot().size(), 2u);
    queue.add(job(journal, "b"));
    EXPECT_EQ(waitForRuns(4), 4u);
    hlx::Thread::sleep(0, 200 * 1000 * 1000);
    queue.add(job(journal, "c"));
    queue.interrupt();
    first.join();
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(queue.size(), 1u);

    // Unbounded, only the time ends the gathering: a lone item still runs.
    RunQueue unbounded(0, true, RunQueue::kMaxBatch, 20 * 1000);
    std::thread second(worker, std::ref(unbounded));
    hlx::Thread::sleep(0, 100 * 1000 * 1000);
    unbounded.add(job(journal, "lone"));
    EXPECT_EQ(waitForRuns(5), 5u);
    unbounded.interrupt();
    second.join();
    EXPECT_EQ(journal.snapshot(), (std::vector<std::string>{"warm-up", "warm-up", "a", "b", "lone"}));
}

TEST_F(DebugOnRunQueueLogger, FrameworkExceptionsFromItemsAreSwallowedOthersEndTheWorker)
{
    // A batched worker holds all five items when the fourth throws: the one
    // it has not run goes back to the queue, still first.
    for (unsigned int batch : {1u, RunQueue::kMaxBatch}) {
        SCOPED_TRACE(batch);
        Journal journal;
        RunQueue queue(0, false, batch);
        queue.add(job(journal, "io", "", false, [] {
            throw hlx::IOException("test", 7, "read failed", "IOException", 5, false);
        }));
        queue.add(job(journal, "full", "", false, [] {
            throw hlx::BufferFullException("test", 8, "runqueue full 1", "BufferFullException", -1, false);
        }));
        queue.add(job(journal, "ok"));
        queue.add(job(journal, "std", "", false, [] { throw std::runtime_error("not ours"); }));
        queue.add(job(journal, "left"));
        SyslogCapture capture;
        try {
            queue.run(0);
            FAIL() << "run returned";
        } catch (const std::runtime_error &e) {
            EXPECT_STREQ(e.what(), "not ours");
        }
        EXPECT_EQ(journal.snapshot(), (std::vector<std::string>{"io", "full", "ok", "std"}));
        EXPECT_EQ(queue.size(), 1u);
        EXPECT_EQ(journal.released, 4);
        EXPECT_EQ(capture.lines(), (std::vector<std::string>{"DEBUG util.runqueue unhandled exception read failed",
                                                             "DEBUG util.runqueue unhandled exception runqueue full 1"}));
        queue.add(job(journal, "later"));
        drain(queue);
        EXPECT_EQ(journal.snapshot(), (std::vector<std::string>{"io", "full", "ok", "std", "left", "later"}));
    }
}

TEST_F(DebugOnRunQueueLogger, RegistryCreatesOnRequestAndRemovesWithItemsUnrun)
{
    Journal journal;
    SyslogCapture capture;
    EXPECT_EQ(RunQueue::get("test.unknown", false, 5), nullptr);
    EXPECT_TRUE(capture.lines().empty());

    RunQueue *queue = RunQueue::get("test.jobs", true, 5);
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(queue->capacity(), 5u);
    EXPECT_FALSE(queue->quiet());
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"DEBUG util.runqueue Created new RunQueue test.jobs"});
    EXPECT_EQ(RunQueue::get("test.jobs", true, 9), queue);
    EXPECT_EQ(queue->capacity(), 5u);
    {
        RunQueue::QueueMap::Guard queues(RunQueue::gQueues);
        EXPECT_EQ(queues->count("test.jobs"), 1u);
    }

    queue->add(job(journal, "never"));
    RunQueue::remove("test.jobs");
    EXPECT_EQ(journal.released, 1);
    EXPECT_TRUE(journal.snapshot().empty());
    EXPECT_EQ(RunQueue::get("test.jobs", false, 0), nullptr);
    RunQueue::remove("test.jobs");
}

TEST(RunQueue, ItemMayAddToItsOwnQueue)
{
    Journal journal;
    RunQueue queue(0);
    queue.add(job(journal, "parent", "", false, [&] { queue.add(job(journal, "child")); }));
    queue.run(-1);
    queue.run(-1);
    EXPECT_EQ(journal.snapshot(), (std::vector<std::string>{"parent", "child"}));
}

namespace {

long runUntilEnded(long queue)
{
    reinterpret_cast<RunQueue *>(queue)->run(0);
    return 0;
}

} // namespace

TEST(RunQueue, CancelledWorkerEndsOnlyOnceItHasLetGoOfTheQueue)
{
    Journal journal;
    RunQueue queue(0);
    std::atomic<bool> ran{false};
    queue.add(job(journal, "first", "", false, [&ran] { ran = true; }));
    hlx::Thread worker;
    worker.start(nullptr, runUntilEnded, reinterpret_cast<long>(&queue));
    while (!ran)
        std::this_thread::yield();
    // From here on the worker only goes back to waiting, with cancellation
    // off while it holds the queue's lock.
    worker.cancel();
    hlx::Thread::sleep(0, 50 * 1000 * 1000);
    EXPECT_TRUE(worker.isRunning());
    // It takes the next item, lets go of the lock and is cancelled there,
    // before running the item.
    queue.add(job(journal, "second"));
    worker.join();
    EXPECT_FALSE(worker.isRunning());
    EXPECT_EQ(journal.snapshot(), std::vector<std::string>{"first"});
    EXPECT_EQ(journal.released, 2);
    EXPECT_EQ(queue.size(), 0u);

    // Adding and taking leave the caller's cancel state and type as they were.
    int oldType;
    ASSERT_EQ(pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &oldType), 0);
    queue.add(job(journal, "third"));
    queue.run(-1);
    int type;
    int state;
    pthread_setcanceltype(oldType, &type);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
    EXPECT_EQ(type, PTHREAD_CANCEL_ASYNCHRONOUS);
    EXPECT_EQ(state, PTHREAD_CANCEL_ENABLE);
    queue.add(job(journal, "fourth"));
    queue.run(-1);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &type);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
    EXPECT_EQ(type, PTHREAD_CANCEL_DEFERRED);
    EXPECT_EQ(state, PTHREAD_CANCEL_ENABLE);
    EXPECT_EQ(journal.snapshot(), (std::vector<std::string>{"first", "third", "fourth"}));
}
