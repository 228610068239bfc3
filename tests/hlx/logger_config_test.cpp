#include "hlx/logger.h"
#include "hlx/properties.h"
#include "support/framework_config.h"
#include "support/syslog_capture.h"

#include <gtest/gtest.h>
#include <errno.h>
#include <syslog.h>

#include <sstream>
#include <string>
#include <vector>

using hlx::Logger;
using hlx::Properties;
using testsupport::SyslogCapture;

const auto *const gFrameworkConfig = ::testing::AddGlobalTestEnvironment(new testsupport::TestRootFrameworkConfig);

namespace {

const std::string PROGRAM = program_invocation_short_name;

// Configures the logger tree from `text` (through a store's load) and
// returns the warnings it logged. (Under an earlier DEBUG configuration the
// load also logs its unreadable settings; those lines are not wanted here.)
std::vector<std::string> Configure(const std::string &text)
{
    SyslogCapture capture;
    Properties store;
    std::istringstream in(text);
    store.load(in, true);
    std::vector<std::string> warnings;
    for (const std::string &line : capture.lines())
        if (line.find(" com.norvalex.logger ") != std::string::npos)
            warnings.push_back(line);
    return warnings;
}

std::string Warning(const std::string &text)
{
    return "WARN  com.norvalex.logger " + text;
}

class LoggerConfigTest : public ::testing::Test {
protected:
    // The root facility is only ever replaced, never reset, by a
    // configuration: each test starts from the default.
    void SetUp() override
    {
        Properties::instance();
        Logger::getLogger("")->setFacility(32);
    }
    void TearDown() override
    {
        Configure("");
        Logger::getLogger("")->setFacility(32);
    }
};

} // namespace

TEST_F(LoggerConfigTest, SetsRootLevelAndFacility)
{
    const struct {
        std::string config;
        std::vector<std::string> warnings;
        int level;
        int facility;
    } cases[] = {
        {"", {}, hlx::LEVEL_INFO, 32},
        {"log = debug", {}, hlx::LEVEL_DEBUG, 32},
        {"log = DEBUG", {}, hlx::LEVEL_DEBUG, 32},
        {"log = Disabled", {}, hlx::LEVEL_DISABLED, 32},
        {"log =", {}, hlx::LEVEL_INFO, 32},
        {"log = WARNING", {Warning("Illegal value for property 'log': 'WARNING'. Using 'INFO'.")}, hlx::LEVEL_INFO, 32},
        {"log = loud", {Warning("Illegal value for property 'log': 'loud'. Using 'INFO'.")}, hlx::LEVEL_INFO, 32},
        {"logger.facility.* = local3", {}, hlx::LEVEL_INFO, 152},
        {"logger.facility.* = LOCAL3\nlogger.facility." + PROGRAM + " = daemon", {}, hlx::LEVEL_INFO, 24},
        // Without a facility for the root it keeps the one it had.
        {"logger.facility.other_program = mail", {}, hlx::LEVEL_INFO, 24},
        {"logger.facility.* = bogus",
         {Warning("Illegal value facility name: 'bogus' for 'logger.facility.*'. Using 'auth'.")}, hlx::LEVEL_INFO, 32},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Configure(c.config), c.warnings) << c.config;
        hlx::LoggerPtr root = Logger::getLogger("");
        EXPECT_EQ(root->level(), c.level) << c.config;
        EXPECT_EQ(root->facility(), c.facility) << c.config;
    }
}

TEST_F(LoggerConfigTest, WarnsAboutIllegalPerLoggerKeys)
{
    const struct {
        std::string config;
        std::string warning;
    } cases[] = {
        {"log. = DEBUG", "Illegal log name: 'log.'"},
        {"log.a.b = noisy", "Illegal log level. Property: 'log.a.b', value: 'noisy'"},
        {"logger.facility.*. = mail", "Illegal facility name: 'logger.facility.*.'"},
        {"logger.facility.*.a = nope", "Illegal log facility. Property: 'logger.facility.*.a', value: 'nope'"},
        {"logger.facility." + PROGRAM + ".a = nope",
         "Illegal log facility. Property: 'logger.facility." + PROGRAM + ".a', value: 'nope'"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Configure(c.config), std::vector<std::string>{Warning(c.warning)}) << c.config;
    Configure("log.a.b = debug");
    Configure("log.a.b = noisy");
    EXPECT_EQ(Logger::getLogger("a.b")->level(), hlx::LEVEL_INHERIT) << "an illegal level leaves the logger inheriting";
}

TEST_F(LoggerConfigTest, SetsPerLoggerLevelsAndFacilities)
{
    Configure("log.qra.cli.trailsend = error\n"
              "log.x =\n"
              "logger.facility.*.svc = mail\n"
              "logger.facility." + PROGRAM + ".svc = user\n"
              "logger.facility.*.svc2 = mail\n");
    EXPECT_EQ(Logger::getLogger("qra.cli.trailsend")->level(), hlx::LEVEL_ERROR);
    EXPECT_EQ(Logger::getLogger("qra.cli")->level(), hlx::LEVEL_INHERIT);
    EXPECT_EQ(Logger::getLogger("qra")->level(), hlx::LEVEL_INHERIT);
    EXPECT_EQ(Logger::getLogger("x")->level(), hlx::LEVEL_INFO);
    EXPECT_EQ(Logger::getLogger("svc")->facility(), 8);
    EXPECT_EQ(Logger::getLogger("svc2")->facility(), 16);
    EXPECT_EQ(Logger::getLogger("svc2.child")->effectiveFacility(), 16);
}

TEST_F(LoggerConfigTest, ALaterConfigurationMakesLoggersInheritAgain)
{
    Configure("log.a = debug\nlogger.facility.*.a = mail\n");
    hlx::LoggerPtr a = Logger::getLogger("a");
    hlx::LoggerPtr child = Logger::getLogger("a.child");
    EXPECT_EQ(child->effectiveLevel(), hlx::LEVEL_DEBUG);
    Configure("log = error\n");
    EXPECT_EQ(a->level(), hlx::LEVEL_INHERIT);
    EXPECT_EQ(a->facility(), -1);
    EXPECT_EQ(child->effectiveLevel(), hlx::LEVEL_ERROR);
    EXPECT_EQ(a->effectiveFacility(), 32);
}

TEST_F(LoggerConfigTest, WarningsGoToAuthAtWarnWhateverTheConfiguration)
{
    SyslogCapture capture;
    Properties store;
    std::istringstream in("log = FATAL\nlogger.facility.* = local3\nlog = bad\n");
    store.load(in, true);
    std::vector<testsupport::SyslogRecord> records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].priority, LOG_AUTH | LOG_WARNING);
    EXPECT_EQ(records[0].text, Warning("Illegal value for property 'log': 'bad'. Using 'INFO'."));
    EXPECT_EQ(Logger::getLogger("")->facility(), 152);

    // Its own "log" key silences the warnings that come after it is applied.
    EXPECT_EQ(Configure("log.com.norvalex.logger = ERROR\nlogger.facility.* = bogus\n"), std::vector<std::string>{});
}
