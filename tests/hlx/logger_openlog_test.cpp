// The syslog connection is opened once per process, by the first output, so
// this program checks it before anything else has logged.
#include "hlx/logger.h"
#include "support/framework_config.h"
#include "support/syslog_capture.h"

#include <gtest/gtest.h>
#include <errno.h>
#include <syslog.h>

using testsupport::SyslogCapture;
using testsupport::SyslogRecord;

const auto *const gFrameworkConfig = ::testing::AddGlobalTestEnvironment(new testsupport::TestRootFrameworkConfig);

TEST(LoggerOpenlog, FirstOutputOpensSyslogOnceWithPidAndAuth)
{
    SyslogCapture capture;
    hlx::LoggerPtr logger = hlx::Logger::getLogger("open.test");
    logger->log(hlx::LEVEL_DEBUG, "disabled lines open nothing");
    EXPECT_TRUE(capture.records().empty());
    logger->log(hlx::LEVEL_INFO, "first");
    logger->log(hlx::LEVEL_ERROR, "second");
    std::vector<SyslogRecord> records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].call, "openlog");
    EXPECT_EQ(records[0].ident, program_invocation_short_name);
    EXPECT_EQ(records[0].ident, "logger_openlog_test");
    EXPECT_EQ(records[0].option, LOG_PID);
    EXPECT_EQ(records[0].facility, 32);
    EXPECT_EQ(records[1].text, "INFO  open.test first");
    EXPECT_EQ(records[2].text, "ERROR open.test second");
}
