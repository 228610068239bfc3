#include "hlx/exceptions.h"
#include "hlx/log_queue.h"
#include "hlx/logger.h"
#include "hlx/properties.h"
#include "hlx/runqueue.h"
#include "support/framework_config.h"
#include "support/syslog_capture.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using hlx::Logger;
using hlx::LoggerPtr;
using hlx::RunQueue;
using testsupport::SyslogCapture;
using testsupport::SyslogRecord;

namespace {

const auto *const gFrameworkConfig = ::testing::AddGlobalTestEnvironment(new testsupport::TestRootFrameworkConfig);

const char DROP_WARNING[] =
    "ERROR log Warning: Norvalex logger dropping messages:(runqueue full 2) Please insure syslog is running "
    "correctly or increase the value of logger.queue.size in quillmesh.conf.";

void setQueueSize(const std::string &value)
{
    std::istringstream in("logger.queue.size: " + value + "\n");
    hlx::Properties::instance()->load(in, true);
}

// The syslog and vsyslog records, without the connection's openlog.
std::vector<SyslogRecord> written(const SyslogCapture &capture)
{
    std::vector<SyslogRecord> out;
    for (const SyslogRecord &record : capture.records())
        if (record.call == "syslog" || record.call == "vsyslog")
            out.push_back(record);
    return out;
}

// Holds the log thread inside one work item until released.
class Blocker : public hlx::QueueAble {
public:
    void run() override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_entered = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_released; });
    }
    void waitUntilEntered()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_entered; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_entered = false;
    bool m_released = false;
};

// Starts the queue and parks its thread in a Blocker.
boost::shared_ptr<Blocker> startBlocked()
{
    Logger::startQueue(LoggerPtr());
    RunQueue *queue = Logger::logQueue();
    EXPECT_NE(queue, nullptr);
    boost::shared_ptr<Blocker> blocker(new Blocker);
    if (queue) {
        queue->add(blocker);
        blocker->waitUntilEntered();
    }
    return blocker;
}

class LogQueue : public ::testing::Test {
protected:
    void SetUp() override
    {
        setQueueSize("");
        m_logger = Logger::getLogger("lq.test");
    }
    void TearDown() override
    {
        Logger::stopQueue(LoggerPtr());
        setQueueSize("");
        Logger::getLogger("log")->setLevel(hlx::LEVEL_INHERIT);
    }

    LoggerPtr m_logger;
};

} // namespace

TEST_F(LogQueue, CapacityIsTheSizeOrFourTimesItWhileLogShowsDebug)
{
    const struct {
        const char *size;
        int logLevel;
        unsigned int capacity;
    } cases[] = {
        {"", hlx::LEVEL_INHERIT, 256}, {"", hlx::LEVEL_DEBUG, 1024}, {"", hlx::LEVEL_TRACE, 1024},
        {"", hlx::LEVEL_WARN, 256},    {"10", hlx::LEVEL_INFO, 10},  {"10", hlx::LEVEL_DEBUG, 40},
        {"7x", hlx::LEVEL_INFO, 7},
    };
    for (const auto &c : cases) {
        setQueueSize(c.size);
        Logger::getLogger("log")->setLevel(c.logLevel);
        Logger::startQueue(LoggerPtr());
        ASSERT_NE(Logger::logQueue(), nullptr) << c.size;
        EXPECT_EQ(Logger::logQueue()->capacity(), c.capacity) << "size '" << c.size << "' level " << c.logLevel;
        EXPECT_TRUE(Logger::logQueue()->quiet());
        Logger::stopQueue(LoggerPtr());
        EXPECT_EQ(Logger::logQueue(), nullptr);
    }
}

TEST_F(LogQueue, SizeBelowOneLeavesTheQueueOffWithOneWarning)
{
    LoggerPtr reporter = Logger::getLogger("lq.reporter");
    for (const char *size : {"0", "-3", "abc"}) {
        setQueueSize(size);
        SyslogCapture capture;
        Logger::startQueue(reporter);
        EXPECT_EQ(Logger::logQueue(), nullptr) << size;
        m_logger->log(hlx::LEVEL_INFO, "direct");
        std::vector<SyslogRecord> records = written(capture);
        ASSERT_EQ(records.size(), 2u) << size;
        EXPECT_EQ(records[0].text, "WARN  lq.reporter LogQueue disabled.  Recommended for debugging only.");
        EXPECT_EQ(records[1].call, "vsyslog");
        EXPECT_EQ(records[1].text, "INFO  lq.test direct");
    }
}

TEST_F(LogQueue, ReportsStartAndStopAtDebug)
{
    LoggerPtr reporter = Logger::getLogger("lq.reporter.debug");
    reporter->setLevel(hlx::LEVEL_DEBUG);
    SyslogCapture capture;
    Logger::startQueue(reporter);
    Logger::startQueue(reporter);
    Logger::stopQueue(reporter);
    std::vector<std::string> lines = capture.lines();
    EXPECT_EQ(lines, (std::vector<std::string>{"DEBUG lq.reporter.debug starting background log thread",
                                               "DEBUG lq.reporter.debug stopped background log thread"}));
}

TEST_F(LogQueue, FullQueueLosesTheLineAndTheNewestQueuedOneToAWarning)
{
    setQueueSize("2");
    SyslogCapture capture;
    boost::shared_ptr<Blocker> blocker = startBlocked();
    m_logger->log(hlx::LEVEL_INFO, "first %d", 1);
    m_logger->log(hlx::LEVEL_INFO, "second %d", 2);
    m_logger->log(hlx::LEVEL_INFO, "third %d", 3);
    EXPECT_EQ(Logger::logQueue()->size(), 2u);
    EXPECT_TRUE(written(capture).empty());
    blocker->release();
    Logger::stopQueue(LoggerPtr());

    std::vector<SyslogRecord> records = written(capture);
    ASSERT_EQ(records.size(), 2u);
    // Both written by the log thread, in queue order.
    EXPECT_EQ(records[0].call, "syslog");
    EXPECT_EQ(records[0].text, "INFO  lq.test first 1");
    EXPECT_EQ(records[0].priority, LOG_AUTH | LOG_INFO);
    EXPECT_EQ(records[1].call, "syslog");
    EXPECT_EQ(records[1].text, DROP_WARNING);
    EXPECT_EQ(records[1].priority, LOG_AUTH | LOG_ERR);
}

TEST_F(LogQueue, FullQueueWithoutTheWarningLosesOnlyTheLineBeingLogged)
{
    setQueueSize("2");
    for (int level : {hlx::LEVEL_FATAL, hlx::LEVEL_DISABLED}) {
        SyslogCapture capture;
        boost::shared_ptr<Blocker> blocker = startBlocked();
        Logger::getLogger("log")->setLevel(level);
        m_logger->log(hlx::LEVEL_INFO, "first");
        m_logger->log(hlx::LEVEL_INFO, "second");
        m_logger->log(hlx::LEVEL_INFO, "third");
        blocker->release();
        Logger::stopQueue(LoggerPtr());
        Logger::getLogger("log")->setLevel(hlx::LEVEL_INHERIT);
        EXPECT_EQ(capture.lines(), (std::vector<std::string>{"INFO  lq.test first", "INFO  lq.test second"}))
            << level;
    }
}

TEST_F(LogQueue, StopWritesEveryQueuedLineAndLaterLinesGoStraightOut)
{
    SyslogCapture capture;
    boost::shared_ptr<Blocker> blocker = startBlocked();
    for (int i = 0; i < 100; ++i)
        m_logger->log(hlx::LEVEL_INFO, "line %d", i);
    // The thread ends at once when released, leaving all hundred queued.
    Logger::logQueue()->interrupt();
    blocker->release();
    Logger::stopQueue(LoggerPtr());
    EXPECT_EQ(Logger::logQueue(), nullptr);
    m_logger->log(hlx::LEVEL_INFO, "after stop");

    std::vector<SyslogRecord> records = written(capture);
    ASSERT_EQ(records.size(), 101u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(records[i].text, "INFO  lq.test line " + std::to_string(i));
    EXPECT_EQ(records[100].call, "vsyslog");
    EXPECT_EQ(records[100].text, "INFO  lq.test after stop");
}

TEST_F(LogQueue, LinesShortAndLongKeepTheirTextWhileBlocksAreReused)
{
    // Short lines go into the blocks of lines already written, long ones
    // into blocks of their own. The others run from 154 to 171 characters,
    // across the room of a reused block (159 and the NUL).
    auto text = [](int i) { return i % 3 == 0 ? std::string(300, 'l') : std::string(138 + i % 16, 's'); };
    SyslogCapture capture;
    Logger::startQueue(LoggerPtr());
    for (int i = 0; i < 200; ++i)
        m_logger->log(hlx::LEVEL_INFO, "%d %s", i, text(i).c_str());
    Logger::stopQueue(LoggerPtr());

    std::vector<SyslogRecord> records = written(capture);
    ASSERT_EQ(records.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(records[i].text, "INFO  lq.test " + std::to_string(i) + " " + text(i));
}

TEST_F(LogQueue, RestartAfterStopQueuesAgainThroughANewThread)
{
    SyslogCapture capture;
    Logger::startQueue(LoggerPtr());
    m_logger->log(hlx::LEVEL_INFO, "one");
    Logger::stopQueue(LoggerPtr());
    Logger::stopQueue(LoggerPtr());
    m_logger->log(hlx::LEVEL_INFO, "two");
    Logger::startQueue(LoggerPtr());
    ASSERT_NE(Logger::logQueue(), nullptr);
    m_logger->log(hlx::LEVEL_INFO, "%s", "three");
    Logger::stopQueue(LoggerPtr());

    std::vector<SyslogRecord> records = written(capture);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].call, "syslog");
    EXPECT_EQ(records[0].text, "INFO  lq.test one");
    EXPECT_EQ(records[1].call, "vsyslog");
    EXPECT_EQ(records[1].text, "INFO  lq.test two");
    EXPECT_EQ(records[2].call, "syslog");
    EXPECT_EQ(records[2].text, "INFO  lq.test three");
}

namespace {

class Throwing : public hlx::QueueAble {
public:
    void run() override { throw std::runtime_error("boom"); }
};

} // namespace

TEST_F(LogQueue, StandardExceptionEndsTheThreadWithAWarningAndStopStillWritesTheRest)
{
    SyslogCapture capture;
    Logger::startQueue(LoggerPtr());
    Logger::logQueue()->add(hlx::QueueAblePtr(new Throwing));
    for (int i = 0; i < 1000 && written(capture).empty(); ++i)
        usleep(10000);
    m_logger->log(hlx::LEVEL_INFO, "later");
    Logger::stopQueue(LoggerPtr());

    std::vector<SyslogRecord> records = written(capture);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].call, "syslog");
    EXPECT_EQ(records[0].priority, LOG_WARNING);
    EXPECT_EQ(records[0].text, "Unexpected runqueue exception boom");
    EXPECT_EQ(records[1].text, "INFO  lq.test later");
}

TEST(QueuedMessage, TextIsSizedToTheLineAndCutAt511Characters)
{
    struct Maker {
        static hlx::QueuedMessagePtr make(int priority, const char *format, ...)
        {
            va_list arguments;
            va_start(arguments, format);
            hlx::QueuedMessagePtr message = hlx::QueuedMessage::create(priority, format, arguments);
            va_end(arguments);
            return message;
        }
    };
    const std::string x510(510, 'x');
    const std::string x511(511, 'x');
    const std::string x600(600, 'x');
    const struct {
        const char *argument;
        const std::string expected;
    } cases[] = {
        {"", "!"},
        {x510.c_str(), x510 + "!"},
        {x511.c_str(), x511},
        {x600.c_str(), x511},
    };
    for (const auto &c : cases) {
        hlx::QueuedMessagePtr message = Maker::make(LOG_AUTH | LOG_ERR, "%s!", c.argument);
        EXPECT_EQ(message->text(), c.expected) << strlen(c.argument);
        EXPECT_EQ(message->priority(), LOG_AUTH | LOG_ERR);
    }
    hlx::QueuedMessagePtr message = Maker::make(LOG_AUTH | LOG_ERR, "plain");
    EXPECT_FALSE(message->replacesDuplicates());
    EXPECT_EQ(&message->key(), &hlx::EMPTY_STRING);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TRAILSEND_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TRAILSEND_SANITIZED 1
#endif
#endif

TEST_F(LogQueue, FailedThreadStartLeavesNoQueueBehind)
{
#ifdef TRAILSEND_SANITIZED
    GTEST_SKIP() << "needs an address-space limit, which the sanitizers' shadow memory rules out";
#else
    SyslogCapture capture;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A 1 GiB stack cannot be mapped under a 256 MiB address-space limit
        // on top of what the process uses.
        std::istringstream in("hlx.clients.threads.stacksize: 1073741824\n");
        hlx::Properties::instance()->load(in, true);
        long pages = 0;
        if (FILE *status = fopen("/proc/self/statm", "r")) {
            if (fscanf(status, "%ld", &pages) != 1)
                pages = 0;
            fclose(status);
        }
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (256L << 20);
        if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(10);
        int result = 11;
        try {
            Logger::startQueue(LoggerPtr());
        } catch (const hlx::SystemException &) {
            result = Logger::logQueue() == nullptr ? 0 : 12;
        }
        Logger::getLogger("lq.test")->log(hlx::LEVEL_INFO, "still written");
        _exit(result);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::vector<SyslogRecord> records = written(capture);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().call, "vsyslog");
    EXPECT_EQ(records.back().text, "INFO  lq.test still written");
#endif
}
