// The command's failure path end to end: the trailsend twin runs as a child
// process with a framework configuration under the test root and a wrong
// argument count. Its first framework output, the ERROR line, loads that
// configuration; what reaches syslog is read back from the preloaded shim,
// which the child inherits together with SYSLOG_CAPTURE_FILE.
#include "client_common/well_known_paths.h"
#include "support/syslog_capture.h"
#include "support/temp_dir.h"
#include "support/test_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

extern char **environ;

using testsupport::SyslogCapture;
using testsupport::SyslogRecord;
using testsupport::TempDir;
using testsupport::TestRoot;

namespace {

const std::string TWIN = TRAILSEND_BUILD_DIR "/twin/trailsend";
const std::string WRONG_COUNT_LINE = "ERROR qra.cli.trailsend You send the wrong number of arguments.";
const int AUTH = LOG_AUTH;  // 32, the facility of a logger tree nobody configured

struct TwinRun {
    int exitStatus = -1;             // -1 when the twin did not exit normally
    std::string output;              // what it wrote on stdout and stderr
    std::vector<SyslogRecord> records;
};

// Waits for the child, killing it if it hangs: a hung twin fails its test
// instead of holding the test root lock until the suite times out.
int WaitForExit(pid_t child)
{
    const time_t deadline = time(nullptr) + 30;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0 || time(nullptr) > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "the twin did not finish";
            return -1;
        }
        usleep(10000);
    }
}

// Runs the twin as a parent program would: its path as argv[0], so its
// program name is "trailsend", and the given arguments; through `launcher`
// (a program and its first arguments, which must exec the twin) when given.
TwinRun RunTwin(const std::vector<std::string> &arguments, const std::vector<std::string> &launcher = {})
{
    TwinRun run;
    if (access(TWIN.c_str(), X_OK) != 0) {
        ADD_FAILURE() << "the twin " << TWIN << " is not built";
        return run;
    }
    TempDir temp;
    const std::string outputFile = temp.file("output");
    SyslogCapture capture;

    std::vector<char *> argv;
    for (const std::string &argument : launcher)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(const_cast<char *>(TWIN.c_str()));
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t child = -1;
    int error = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        ADD_FAILURE() << "cannot start the twin: " << strerror(error);
        return run;
    }
    run.exitStatus = WaitForExit(child);
    run.output = testsupport::ReadFile(outputFile);
    run.records = capture.records();
    return run;
}

std::vector<SyslogRecord> Lines(const TwinRun &run)
{
    std::vector<SyslogRecord> lines;
    for (const SyslogRecord &record : run.records)
        if (record.call == "syslog" || record.call == "vsyslog")
            lines.push_back(record);
    return lines;
}

std::vector<std::string> Texts(const std::vector<SyslogRecord> &lines)
{
    std::vector<std::string> texts;
    for (const SyslogRecord &line : lines)
        texts.push_back(line.text);
    return texts;
}

size_t CountCalls(const TwinRun &run, const std::string &call)
{
    size_t count = 0;
    for (const SyslogRecord &record : run.records)
        count += record.call == call;
    return count;
}

class TrailsendFailurePath : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SyslogCapture::shimLoaded()) << "run through ctest, which preloads the syslog shim";
    }

    void Configure(const std::string &text) { testsupport::WriteFile(FRAMEWORK_CONFIG_PATH, text); }

    // The command's own line must be there, once, last, at ERROR with
    // facility auth, and the run must have failed quietly.
    static void ExpectFailedWithCommandLine(const TwinRun &run)
    {
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.output, "");
        std::vector<SyslogRecord> lines = Lines(run);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().text, WRONG_COUNT_LINE);
        EXPECT_EQ(lines.back().priority, AUTH | LOG_ERR);
    }

    TestRoot m_root;
};

TEST_F(TrailsendFailurePath, WrongArgumentCountLogsOnlyItsErrorLineUnderAnEmptyConfiguration)
{
    const std::vector<std::vector<std::string>> argumentLists = {
        {}, {"17", "a"}, {"17", "a", "b", "c"}};
    for (const std::vector<std::string> &arguments : argumentLists) {
        SCOPED_TRACE(arguments.size());
        Configure("");
        TwinRun run = RunTwin(arguments);
        ExpectFailedWithCommandLine(run);
        EXPECT_EQ(Texts(Lines(run)), std::vector<std::string>{WRONG_COUNT_LINE});
    }
}

TEST_F(TrailsendFailurePath, UnreadableConfigurationIsReportedBeforeTheErrorLine)
{
    const std::string configuration = FRAMEWORK_CONFIG_PATH;
    const std::string unreadable = "ERROR util.properties Unable to open config file: " + configuration;
    // Runs the twin with too little memory to load a configuration of 15 MiB
    // in short lines, each a name of its own; sanitizers need more address
    // space than any such limit.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const bool limitsMemory = false;
#elif defined(__has_feature)
    const bool limitsMemory = !__has_feature(address_sanitizer) && !__has_feature(thread_sanitizer);
#else
    const bool limitsMemory = true;
#endif
    const std::vector<std::string> lowMemory = {"/bin/sh", "-c", "ulimit -v 49152 && exec \"$0\" \"$@\""};
    const struct {
        const char *what;
        std::function<void()> prepare;
        std::vector<std::string> lines;
        std::vector<std::string> launcher;
    } cases[] = {
        {"missing", [] {}, {unreadable, WRONG_COUNT_LINE}, {}},
        // Neither may hang the command or abort it for want of memory.
        {"FIFO", [&] { mkfifo(configuration.c_str(), 0644); }, {unreadable, WRONG_COUNT_LINE}, {}},
        {"link to /dev/zero", [&] { ASSERT_EQ(0, symlink("/dev/zero", configuration.c_str())); },
         {unreadable, WRONG_COUNT_LINE}, {}},
        // The settings read for the configuration's macros are a FIFO.
        {"settings FIFO",
         [&] {
             testsupport::WriteFile(configuration, "");
             mkfifo(TestRoot::at("/var/quillmesh/kset.host").c_str(), 0644);
         },
         {WRONG_COUNT_LINE}, {}},
        // Memory runs out during the load: the line is lost, the status is not.
        {"out of memory",
         [&] {
             std::string names;
             for (int i = 0; names.size() < (15u << 20); ++i)
                 names += "k" + std::to_string(i) + "\n";
             testsupport::WriteFile(configuration, names);
         },
         {}, lowMemory},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.launcher.empty() && !limitsMemory) {
            std::cout << "[ SKIPPED  ] " << c.what << ": no memory limit under a sanitizer\n";
            continue;
        }
        TestRoot root;
        c.prepare();
        TwinRun run = RunTwin({}, c.launcher);
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(Texts(Lines(run)), c.lines);
        for (const SyslogRecord &line : Lines(run))
            EXPECT_EQ(line.priority, AUTH | LOG_ERR) << line.text;
    }
}

TEST_F(TrailsendFailurePath, ConfigurationWarningsGoThroughTheConfigurationLoggerAtWarnWithAuth)
{
    // Every facility setting here would move the warnings elsewhere if the
    // configuration logger inherited its facility: the root (by both
    // selectors) and its ancestors "com" and "com.norvalex". The last
    // illegal entry is reported after those ancestors were configured.
    Configure("log = WARNING\n"
              "log. = x\n"
              "log.a.b = bogus\n"
              "logger.facility.* = nonsense\n"
              "logger.facility.*.x = zz\n"
              "logger.facility.trailsend = daemon\n"
              "logger.facility.trailsend. = auth\n"
              "logger.facility.trailsend.com = local1\n"
              "logger.facility.trailsend.com.norvalex = local2\n"
              "logger.facility.trailsend.zz = nowhere\n");
    TwinRun run = RunTwin({});
    ExpectFailedWithCommandLine(run);

    const std::string prefix = "WARN  com.norvalex.logger ";
    const std::vector<std::string> expected = {
        prefix + "Illegal value for property 'log': 'WARNING'. Using 'INFO'.",
        prefix + "Illegal log name: 'log.'",
        prefix + "Illegal log level. Property: 'log.a.b', value: 'bogus'",
        prefix + "Illegal value facility name: 'nonsense' for 'logger.facility.*'. Using 'auth'.",
        prefix + "Illegal log facility. Property: 'logger.facility.*.x', value: 'zz'",
        prefix + "Illegal facility name: 'logger.facility.trailsend.'",
        prefix + "Illegal log facility. Property: 'logger.facility.trailsend.zz', value: 'nowhere'",
        WRONG_COUNT_LINE,
    };
    std::vector<SyslogRecord> lines = Lines(run);
    EXPECT_EQ(Texts(lines), expected);
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        EXPECT_EQ(lines[i].priority, AUTH | LOG_WARNING) << lines[i].text;
}

TEST_F(TrailsendFailurePath, CommandErrorLineKeepsTheLevelsAndFacilityInForceBeforeTheLoad)
{
    // Each configuration would hold the line back or send it to another
    // facility, had it been tested and composed after the load.
    const std::vector<std::string> configurations = {
        "log = DISABLED\nlogger.facility.* = local3\n",
        "log.qra.cli.trailsend = FATAL\nlogger.facility.trailsend = daemon\n",
        "log.qra = DISABLED\nlogger.facility.*.qra.cli = local7\n",
        "logger.facility.trailsend.qra.cli.trailsend = user\n",
    };
    for (const std::string &configuration : configurations) {
        SCOPED_TRACE(configuration);
        Configure(configuration);
        TwinRun run = RunTwin({"only one"});
        ExpectFailedWithCommandLine(run);
        EXPECT_EQ(Texts(Lines(run)), std::vector<std::string>{WRONG_COUNT_LINE});
    }
}

TEST_F(TrailsendFailurePath, PropertiesDumpFollowsTheConfiguredLevelsAndFacilities)
{
    struct Case {
        const char *configuration;
        int dumpFacility;  // -1: no dump
    };
    const Case cases[] = {
        // The root at TRACE with the facility for every program.
        {"log = TRACE\nlogger.facility.* = local3\n", LOG_LOCAL3},
        // Only the "util" subtree at TRACE; its facility for this program.
        {"log = INFO\nlog.util = TRACE\nlogger.facility.trailsend.util.properties = local5\n", LOG_LOCAL5},
        // The program's selector is applied after *, so it wins.
        {"log = TRACE\nlogger.facility.*.util = local1\nlogger.facility.trailsend.util = local4\n", LOG_LOCAL4},
        // Another program's selector does not apply: the root keeps auth.
        {"log = TRACE\nlogger.facility.other = local6\n", LOG_AUTH},
        // The dump is at TRACE: DEBUG on "util.properties" shows none of it.
        {"log = TRACE\nlog.util.properties = DEBUG\nlogger.facility.* = local3\n", -1},
        {"log = DEBUG\n", -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.configuration);
        Configure(c.configuration);
        TwinRun run = RunTwin({});
        ExpectFailedWithCommandLine(run);

        // One "property: name=value" line per property, in name order;
        // the text values above never need quoting.
        std::map<std::string, std::string> properties;
        std::string text = c.configuration;
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = text.substr(start, end - start);
            size_t separator = line.find(" = ");
            properties[line.substr(0, separator)] = line.substr(separator + 3);
        }

        std::vector<std::string> expected;
        if (c.dumpFacility != -1)
            for (const auto &property : properties)
                expected.push_back("TRACE util.properties property: " + property.first + "=" + property.second);
        expected.push_back(WRONG_COUNT_LINE);
        std::vector<SyslogRecord> lines = Lines(run);
        EXPECT_EQ(Texts(lines), expected);
        for (size_t i = 0; i + 1 < lines.size(); ++i)
            EXPECT_EQ(lines[i].priority, c.dumpFacility | LOG_DEBUG) << lines[i].text;
    }
}

TEST_F(TrailsendFailurePath, OpenlogSwitchOfTheProgramDecidesTheExplicitOpenlog)
{
    struct Case {
        const char *configuration;
        bool opens;
    };
    const Case cases[] = {
        {"logger.openlog.trailsend = no\n", false},
        {"logger.openlog.trailsend = No\n", false},
        {"logger.openlog.trailsend = FALSE\n", false},
        {"logger.openlog.trailsend = 0\n", false},
        {"logger.openlog.trailsend = yes\n", true},
        {"logger.openlog.trailsend = off\n", true},
        {"logger.openlog.trailsend =\n", true},
        {"logger.openlog.other = no\n", true},
        {"", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.configuration);
        Configure(c.configuration);
        TwinRun run = RunTwin({});
        ExpectFailedWithCommandLine(run);
        EXPECT_EQ(CountCalls(run, "closelog"), 0u);
        if (!c.opens) {
            EXPECT_EQ(CountCalls(run, "openlog"), 0u);
            continue;
        }
        ASSERT_EQ(CountCalls(run, "openlog"), 1u);
        ASSERT_GE(run.records.size(), 2u);
        // The connection is opened before the line it serves.
        const SyslogRecord &open = run.records[run.records.size() - 2];
        EXPECT_EQ(open.call, "openlog");
        EXPECT_EQ(open.ident, "trailsend");
        EXPECT_EQ(open.option, LOG_PID);
        EXPECT_EQ(open.facility, AUTH);
    }
}

} // namespace
