#include "hlx/logger.h"
#include "support/framework_config.h"
#include "support/syslog_capture.h"

#include <gtest/gtest.h>
#include <dlfcn.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

using hlx::Logger;
using hlx::LoggerPtr;
using testsupport::SyslogCapture;
using testsupport::SyslogRecord;

const auto *const gFrameworkConfig = ::testing::AddGlobalTestEnvironment(new testsupport::TestRootFrameworkConfig);

namespace {

std::vector<SyslogRecord> written(const SyslogCapture &capture)
{
    std::vector<SyslogRecord> out;
    for (const SyslogRecord &r : capture.records())
        if (r.call == "vsyslog" || r.call == "syslog")
            out.push_back(r);
    return out;
}

} // namespace

TEST(Logger, GetLoggerCreatesAncestorsAndReturnsTheSameObject)
{
    LoggerPtr abc = Logger::getLogger("tree.b.c");
    ASSERT_TRUE(abc);
    EXPECT_EQ(abc->name(), "tree.b.c");
    ASSERT_TRUE(abc->parent());
    EXPECT_EQ(abc->parent()->name(), "tree.b");
    EXPECT_EQ(abc->parent()->parent()->name(), "tree");
    EXPECT_EQ(abc->parent()->parent()->parent(), Logger::getLogger(""));
    EXPECT_FALSE(Logger::getLogger("")->parent());
    EXPECT_EQ(Logger::getLogger("tree.b.c"), abc);
    EXPECT_EQ(Logger::getLogger("tree.b"), abc->parent());

    // Names are not normalised: "x..y" hangs below "x." below "x".
    LoggerPtr odd = Logger::getLogger("x..y");
    EXPECT_EQ(odd->parent()->name(), "x.");
    EXPECT_EQ(odd->parent()->parent()->name(), "x");
}

TEST(Logger, FreshLoggerInheritsInfoFromTheRoot)
{
    LoggerPtr logger = Logger::getLogger("fresh.one");
    EXPECT_EQ(logger->level(), hlx::LEVEL_INHERIT);
    EXPECT_EQ(logger->effectiveLevel(), hlx::LEVEL_INFO);
    EXPECT_FALSE(logger->isEnabled(hlx::LEVEL_DEBUG));
    EXPECT_TRUE(logger->isEnabled(hlx::LEVEL_ERROR));
    EXPECT_EQ(logger->effectiveFacility(), 32);
    EXPECT_EQ(logger->facility(), -1);
}

TEST(Logger, EffectiveLevelStaysCachedUntilTheLoggerInheritsAgain)
{
    LoggerPtr parent = Logger::getLogger("cache");
    LoggerPtr child = Logger::getLogger("cache.child");
    parent->setLevel(hlx::LEVEL_WARN);
    EXPECT_EQ(child->effectiveLevel(), hlx::LEVEL_WARN);
    parent->setLevel(hlx::LEVEL_DEBUG);
    EXPECT_EQ(child->effectiveLevel(), hlx::LEVEL_WARN);
    child->setLevel(hlx::LEVEL_INHERIT);
    EXPECT_EQ(child->effectiveLevel(), hlx::LEVEL_DEBUG);
    parent->setLevel(hlx::LEVEL_INHERIT);
}

namespace {

// Lowers a leaf's own level and an ancestor's in turn and logs below the
// old level. Returns 0 when both lines were written, 2 when the lowest
// level was not INFO to begin with.
int LogAfterLoweringLevels()
{
    if (hlx::logger_detail::gLowestLevel.load() != hlx::LEVEL_INFO)
        return 2;
    SyslogCapture capture;
    LoggerPtr leaf = Logger::getLogger("lowered.leaf");
    LoggerPtr child = Logger::getLogger("lowered.parent.child");
    leaf->log(hlx::LEVEL_DEBUG, "refused");
    child->log(hlx::LEVEL_TRACE, "refused");
    leaf->setLevel(hlx::LEVEL_DEBUG);
    leaf->log(hlx::LEVEL_DEBUG, "own level");
    Logger::getLogger("lowered.parent")->setLevel(hlx::LEVEL_TRACE);
    child->setLevel(hlx::LEVEL_INHERIT);
    child->log(hlx::LEVEL_TRACE, "inherited level");
    std::vector<std::string> texts;
    for (const SyslogRecord &record : written(capture))
        texts.push_back(record.text);
    const std::vector<std::string> expected = {"DEBUG lowered.leaf own level",
                                               "TRACE lowered.parent.child inherited level"};
    return texts == expected ? 0 : 1;
}

} // namespace

TEST(Logger, LoweredLevelsLetTheirLinesThroughInAFreshProcess)
{
    // A call below the lowest level any logger was given is refused before
    // its logger's own level is read, so every way of lowering a level must
    // lower that bound. Run in a new process, where it is still INFO: in
    // this one the tests before have lowered it already.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(_exit(LogAfterLoweringLevels()), ::testing::ExitedWithCode(0), "");
}

TEST(Logger, LineStartsWithAFiveColumnLevelFieldAndUsesTheLevelSeverity)
{
    LoggerPtr logger = Logger::getLogger("fmt.test");
    logger->setLevel(hlx::LEVEL_TRACE);
    const struct {
        int level;
        const char *line;
        int severity;
    } cases[] = {
        {0, "TRACE fmt.test m 1", LOG_DEBUG},   {1, "DEBUG fmt.test m 1", LOG_DEBUG},
        {2, "INFO  fmt.test m 1", LOG_INFO},    {3, "WARN  fmt.test m 1", LOG_WARNING},
        {4, "ERROR fmt.test m 1", LOG_ERR},     {5, "FATAL fmt.test m 1", LOG_EMERG},
        {6, "DISAB fmt.test m 1", LOG_EMERG},   {7, "      fmt.test m 1", LOG_EMERG},
    };
    for (const auto &c : cases) {
        SyslogCapture capture;
        logger->log(c.level, "m %d", 1);
        std::vector<SyslogRecord> out = written(capture);
        ASSERT_EQ(out.size(), 1u) << c.level;
        EXPECT_EQ(out[0].text, c.line);
        EXPECT_EQ(out[0].priority, LOG_AUTH | c.severity) << c.level;
    }
}

TEST(Logger, ClientLoggerOmitsItsNameAndRootAddsASingleSpace)
{
    SyslogCapture capture;
    Logger::getLogger("client")->log(hlx::LEVEL_ERROR, "lost %s", "session");
    Logger::getLogger("client.sub")->log(hlx::LEVEL_ERROR, "x");
    Logger::getLogger("")->log(hlx::LEVEL_INFO, "root");
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "ERROR lost session");
    EXPECT_EQ(lines[1], "ERROR client.sub x");
    EXPECT_EQ(lines[2], "INFO   root");
}

TEST(Logger, CommandErrorLineReachesSyslogAsDocumented)
{
    SyslogCapture capture;
    Logger::getLogger("qra.cli.trailsend")
        ->log(hlx::LEVEL_ERROR, "You send the wrong number of arguments.");
    std::vector<SyslogRecord> out = written(capture);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].text, "ERROR qra.cli.trailsend You send the wrong number of arguments.");
    EXPECT_EQ(out[0].priority, 32 | 3);
}

TEST(Logger, DisabledLevelWritesNothing)
{
    SyslogCapture capture;
    LoggerPtr logger = Logger::getLogger("quiet.one");
    ASSERT_EQ(logger->level(), hlx::LEVEL_INHERIT);
    // The first call resolves the inherited level and caches it, as any
    // query of the effective level does.
    logger->log(hlx::LEVEL_DEBUG, "not shown %s", "x");
    EXPECT_EQ(logger->level(), hlx::LEVEL_INFO);
    logger->dump(hlx::LEVEL_DEBUG, "header", "abc", 3);
    logger->logErrno(hlx::LEVEL_TRACE, 2, "no");
    // Arguments are evaluated once, as for any call, and never read.
    int evaluated = 0;
    const char *unreadable = reinterpret_cast<const char *>(1);
    logger->log(hlx::LEVEL_DEBUG, "%d %s", ++evaluated, unreadable);
    logger->logErrno(hlx::LEVEL_DEBUG, 2, "%d %s", ++evaluated, unreadable);
    EXPECT_EQ(evaluated, 2);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(Logger, ComposedFormatIsCutAt511Characters)
{
    SyslogCapture capture;
    LoggerPtr logger = Logger::getLogger("cut");
    logger->log(hlx::LEVEL_INFO, "%s", std::string(600, 'x').c_str());  // arguments are not cut
    std::string longFormat(600, 'y');
    logger->log(hlx::LEVEL_INFO, "%s", "");
    logger->log(hlx::LEVEL_INFO, longFormat.c_str(), 0);
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].size(), strlen("INFO  cut ") + 600);
    EXPECT_EQ(lines[2].size(), 511u);
    EXPECT_EQ(lines[2], "INFO  cut " + std::string(501, 'y'));
}

TEST(Logger, CutNeverLeavesAHalfConversion)
{
    SyslogCapture capture;
    LoggerPtr logger = Logger::getLogger("cut");
    const std::string prefix = "INFO  cut ";
    // Places a conversion across the 511th column in several ways.
    const char *tails[] = {"%d", "%ld", "%%", "%5.2f"};
    for (const char *tail : tails) {
        std::string format = std::string(510 - prefix.size(), 'z') + tail;
        logger->log(hlx::LEVEL_INFO, format.c_str(), 7L);
    }
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string &line : lines) {
        EXPECT_EQ(line, prefix + std::string(510 - prefix.size(), 'z'));
    }
}

TEST(Logger, PercentInNameOrTagIsPrintedNotExpanded)
{
    SyslogCapture capture;
    Logger::setThreadContext("t%s%n");
    Logger::getLogger("pct%s.x%n")->log(hlx::LEVEL_WARN, "v=%d", 3);
    Logger::setThreadContext(nullptr);
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "WARN  <t%s%n> pct%s.x%n v=3");
}

TEST(Logger, ThreadContextTagBelongsToItsThread)
{
    SyslogCapture capture;
    LoggerPtr logger = Logger::getLogger("ctx");
    Logger::setThreadContext("first");
    Logger::setThreadContext("main");
    EXPECT_STREQ(Logger::threadContext(), "main");
    std::thread other([&] {
        EXPECT_EQ(Logger::threadContext(), nullptr);
        Logger::setThreadContext("other");
        logger->log(hlx::LEVEL_INFO, "from other");
    });
    other.join();
    logger->log(hlx::LEVEL_INFO, "from main");
    Logger::setThreadContext(nullptr);
    EXPECT_EQ(Logger::threadContext(), nullptr);
    logger->log(hlx::LEVEL_INFO, "untagged");
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "INFO  <other> ctx from other");
    EXPECT_EQ(lines[1], "INFO  <main> ctx from main");
    EXPECT_EQ(lines[2], "INFO  ctx untagged");
}

TEST(Logger, LogErrnoAppendsTheSystemText)
{
    SyslogCapture capture;
    Logger::getLogger("errno")->logErrno(hlx::LEVEL_ERROR, ENOENT, "open %s", "/x");
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string("ERROR errno open /x: ") + strerror(ENOENT));
}

TEST(Logger, FacilityIsInheritedFromTheNearestAncestor)
{
    SyslogCapture capture;
    LoggerPtr parent = Logger::getLogger("fac");
    parent->setFacility(hlx::facilityCode("local3"));
    LoggerPtr child = Logger::getLogger("fac.child");
    EXPECT_EQ(child->effectiveFacility(), 152);
    child->log(hlx::LEVEL_WARN, "w");
    parent->setFacility(-1);
    child->log(hlx::LEVEL_WARN, "w");
    std::vector<SyslogRecord> out = written(capture);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].priority, 152 | LOG_WARNING);
    EXPECT_EQ(out[1].priority, 32 | LOG_WARNING);
}

TEST(Logger, DumpWritesHeaderAndHexRows)
{
    SyslogCapture capture;
    const char bytes[] = "Hello, world!\x01\x02\xff"
                         "tail";
    Logger::getLogger("dump")->dump(hlx::LEVEL_INFO, "20 bytes 100%s", bytes, 20);
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "INFO  dump 20 bytes 100%s");
    EXPECT_EQ(lines[1], "INFO  dump 48 65 6c 6c 6f 2c 20 77 6f 72 6c 64 21 01 02 ff   "
                        "Hello, world!... ");
    EXPECT_EQ(lines[2], "INFO  dump 74 61 69 6c " + std::string(38, ' ') + "tail ");
    const std::string prefix = "INFO  dump ";
    EXPECT_EQ(lines[2].find("tail"), prefix.size() + 50);
}

TEST(Logger, LevelAndFacilityNames)
{
    const char *names[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL", "DISABLED"};
    for (int level = 0; level <= 6; ++level) {
        EXPECT_EQ(hlx::levelName(level), names[level]);
        EXPECT_EQ(hlx::parseLevel(names[level]), level);
    }
    EXPECT_EQ(hlx::levelName(7), "");
    EXPECT_EQ(hlx::levelName(-1), "");
    EXPECT_EQ(hlx::parseLevel("debug"), 1);
    EXPECT_EQ(hlx::parseLevel(""), 2);
    EXPECT_EQ(hlx::parseLevel("WARNING"), -1);
    EXPECT_EQ(hlx::facilityCode("LOCAL3"), 152);
    EXPECT_EQ(hlx::facilityCode("Auth"), 32);
    EXPECT_EQ(hlx::facilityCode("kern"), 0);
    EXPECT_EQ(hlx::facilityCode("local7"), 184);
    EXPECT_EQ(hlx::facilityCode("local8"), -1);
    EXPECT_EQ(hlx::facilityCode(""), -1);
}

TEST(Logger, LevelNamesTableIsExportedToTheProcess)
{
    const char *expected[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};
    for (int i = 0; i < 6; ++i)
        EXPECT_STREQ(LEVEL_NAMES[i], expected[i]);
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "LEVEL_NAMES"), static_cast<const void *>(LEVEL_NAMES));
}

TEST(Logger, LinesFromManyThreadsStayWhole)
{
    SyslogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            LoggerPtr logger = Logger::getLogger("many.t" + std::to_string(t));
            for (int i = 0; i < 100; ++i) {
                if (logger->isEnabled(hlx::LEVEL_INFO))
                    logger->log(hlx::LEVEL_INFO, "line %d of %d", i, t);
            }
        });
    // A reconfiguration racing the writers may at worst let a line through once.
    Logger::getLogger("many")->setLevel(hlx::LEVEL_INFO);
    for (auto &t : threads)
        t.join();
    std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 400u);
    for (const std::string &line : lines)
        EXPECT_EQ(line.rfind("INFO  many.t", 0), 0u) << line;
    Logger::getLogger("many")->setLevel(hlx::LEVEL_INHERIT);
}

// Runs last in this program: afterwards the registry starts afresh.
TEST(Logger, ShutdownClosesSyslogAndDropsTheRegistry)
{
    LoggerPtr kept = Logger::getLogger("shut.kept");
    Logger::getLogger("")->setLevel(hlx::LEVEL_ERROR);
    SyslogCapture capture;
    Logger::shutdown();
    std::vector<SyslogRecord> records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].call, "closelog");
    EXPECT_EQ(kept->name(), "shut.kept");  // still a valid object
    LoggerPtr root = Logger::getLogger("");
    EXPECT_EQ(root->level(), hlx::LEVEL_INFO);
    EXPECT_NE(Logger::getLogger("shut.kept"), kept);
}
