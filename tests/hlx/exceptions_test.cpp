#include "hlx/exceptions.h"
#include "hlx/logger.h"
#include "support/framework_config.h"
#include "support/syslog_capture.h"

#include <gtest/gtest.h>
#include <string.h>
#include <syslog.h>

#include <functional>
#include <string>
#include <vector>

using testsupport::SyslogCapture;

const auto *const gFrameworkConfig = ::testing::AddGlobalTestEnvironment(new testsupport::TestRootFrameworkConfig);

namespace {

// Sets "util.except" to a level for the life of the object.
class ExceptLoggerLevel {
public:
    explicit ExceptLoggerLevel(int level) : m_logger(hlx::Logger::getLogger("util.except"))
    {
        m_logger->setLevel(level);
    }
    ~ExceptLoggerLevel() { m_logger->setLevel(hlx::LEVEL_INHERIT); }

private:
    hlx::LoggerPtr m_logger;
};

} // namespace

TEST(Exceptions, SystemExceptionCarriesTheSystemTextAndErrorNumber)
{
    hlx::SystemException e = hlx::SystemException::fromError("thread", 10, 22);
    EXPECT_EQ(std::string(e.what()), std::string("OS call failed: ") + strerror(22));
    EXPECT_EQ(e.rc(), 22);
}

TEST(Exceptions, ConstructionLogsOneDebugLineOnlyWhenDebugIsEnabled)
{
    SyslogCapture capture;
    {
        ExceptLoggerLevel info(hlx::LEVEL_INFO);
        hlx::IOException("file_util", 7, "cannot read", "IOException", 5, true);
        EXPECT_TRUE(capture.lines().empty());
    }
    {
        ExceptLoggerLevel debug(hlx::LEVEL_DEBUG);
        hlx::SystemException::fromError("mutex", 42, 22);
        hlx::IOException("file_util", 7, "quiet", "IOException", 5, false);
    }
    std::vector<testsupport::SyslogRecord> lines;
    for (const auto &r : capture.records())
        if (r.call == "vsyslog")
            lines.push_back(r);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, std::string("DEBUG util.except hlx::SystemException OS call failed: ") +
                                 strerror(22) + " (reference mutex:42 rc: 22)");
    EXPECT_EQ(lines[0].priority, LOG_AUTH | LOG_DEBUG);
}

TEST(Exceptions, EndOfFileIsNeverLogged)
{
    SyslogCapture capture;
    ExceptLoggerLevel trace(hlx::LEVEL_TRACE);
    hlx::IOException("file_util", 3, "end of file", "EndOfFileException", 0, true);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(Exceptions, MessageIsLoggedAsTextNotAsFormat)
{
    SyslogCapture capture;
    ExceptLoggerLevel debug(hlx::LEVEL_DEBUG);
    hlx::BadDataException("setting", 9, "value 100%s%n", "BadDataException", -1, true);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0],
              "DEBUG util.except BadDataException value 100%s%n (reference setting:9 rc: -1)");
}

TEST(Exceptions, BufferFullGivesTheSameTextThroughBothBases)
{
    try {
        throw hlx::BufferFullException("runqueue", 1, "runqueue full 5", "BufferFullException", -1,
                                       false);
    } catch (const std::out_of_range &e) {
        EXPECT_STREQ(e.what(), "runqueue full 5");
        const hlx::Base_Exception *base = dynamic_cast<const hlx::Base_Exception *>(&e);
        ASSERT_NE(base, nullptr);
        EXPECT_STREQ(base->what(), "runqueue full 5");
        EXPECT_EQ(base->rc(), -1);
    }
}

TEST(Exceptions, EveryFrameworkExceptionIsCaughtByItsBases)
{
    const std::vector<std::function<void()>> raisers = {
        [] { throw hlx::SystemException("osport", 1, "m", "hlx::SystemException", 1, false); },
        [] { throw hlx::TryAgainException("mutex", 1, "m", "hlx::TryAgainException", 11, false); },
        [] { throw hlx::QueueInterrupted("runqueue", 1, "m", "QueueInterrupted", 0, false); },
        [] { throw hlx::IOException("file_util", 1, "m", "IOException", 5, false); },
        [] { throw hlx::NotFoundException("path", 1, "m", "NotFoundException", 2, false); },
        [] { throw hlx::AlreadyException("setting", 1, "m", "AlreadyException", 17, false); },
        [] { throw hlx::BadDataException("setting", 1, "m", "BadDataException", -1, false); },
        [] { throw hlx::BufferFullException("runqueue", 1, "m", "BufferFullException", -1, false); },
    };
    for (size_t i = 0; i < raisers.size(); ++i) {
        bool caught = false;
        try {
            raisers[i]();
        } catch (const hlx::Base_Exception &e) {
            caught = std::string(e.what()) == "m";
        }
        EXPECT_TRUE(caught) << "as Base_Exception, case " << i;
        caught = false;
        try {
            raisers[i]();
        } catch (const HLXException &) {
            caught = true;
        }
        EXPECT_TRUE(caught) << "as HLXException, case " << i;
        caught = false;
        try {
            try {
                raisers[i]();
            } catch (const std::exception &e) {
                caught = std::string(e.what()) == "m";
            }
        } catch (const std::logic_error &e) {
            // BufferFullException holds std::exception twice (ambiguous), so
            // its standard catch is std::out_of_range / std::logic_error.
            caught = i == raisers.size() - 1 && std::string(e.what()) == "m";
        }
        EXPECT_TRUE(caught) << "as a standard exception, case " << i;
    }
}
