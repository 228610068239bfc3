#include "client_common/log_buffer.h"
#include "client_common/msg_type_table.h"
#include "support/syslog_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

using testsupport::ReadFile;
using testsupport::SyslogCapture;
using testsupport::SyslogRecord;
using testsupport::TempDir;

namespace {

struct LogDeleter {
    void operator()(ClientLog *log) const { ClientLogClose(log); }
};
using LogPtr = std::unique_ptr<ClientLog, LogDeleter>;

LogPtr MakeLog(const char *destination, uint32_t threshold, const std::string &socket = "/nonexistent/daemon2")
{
    return LogPtr(ClientLogCreate("trailsend", destination, threshold, socket.c_str(), 5,
                                  GetMessageTable()));
}

std::vector<SyslogRecord> Calls(const SyslogCapture &capture, const std::string &call)
{
    std::vector<SyslogRecord> out;
    for (const SyslogRecord &r : capture.records())
        if (r.call == call)
            out.push_back(r);
    return out;
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    return out;
}

// The text after "<date> <ident>[<pid>] " of a file line.
std::string FileLineText(const std::string &line)
{
    size_t end = line.find("] ");
    return end == std::string::npos ? line : line.substr(end + 2);
}

} // namespace

class ClientLogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SyslogCapture::shimLoaded()) << "run through ctest"; }

    // An existing, empty log file in the temporary folder.
    std::string LogFile()
    {
        return dir.write("client.log", "");
    }

    TempDir dir;
    SyslogCapture capture;
};

TEST_F(ClientLogTest, FileLineCarriesDateIdentPidLevelAndText)
{
    const std::string path = LogFile();
    LogPtr log = MakeLog(("file " + path).c_str(), CLIENT_LOG_TRACE);
    ASSERT_EQ(ConfigureEmergencyLog(log.get()), 0);
    EXPECT_EQ(ClientLogPrint(log.get(), CLIENT_LOG_WARNING, "unit", 1, "Op", "text %d", 7), 0);
    EXPECT_EQ(ClientLogPrint(log.get(), 9, "unit", 2, "Op", "odd level"), 0);
    log.reset();

    const std::string pid = std::to_string(getpid());
    std::vector<std::string> lines = Lines(ReadFile(path));
    ASSERT_EQ(lines.size(), 2u) << ReadFile(path);
    const std::regex date("^[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ");
    EXPECT_TRUE(std::regex_search(lines[0], date)) << lines[0];
    EXPECT_EQ(lines[0].substr(16), "trailsend[" + pid + "] WARNING: text 7");
    EXPECT_EQ(lines[1].substr(16), "trailsend[" + pid + "] INFO: odd level");
    EXPECT_TRUE(Calls(capture, "syslog").empty());
}

TEST_F(ClientLogTest, FileLineWithoutIdentSaysUnkown)
{
    const std::string path = LogFile();
    LogPtr log(ClientLogCreate(NULL, ("file " + path).c_str(), CLIENT_LOG_INFO, "/x", 1,
                               GetMessageTable()));
    ASSERT_EQ(ConfigureEmergencyLog(log.get()), 0);
    ClientLogPrint(log.get(), CLIENT_LOG_ERROR, NULL, 0, NULL, "x");
    log.reset();
    EXPECT_NE(ReadFile(path).find(" unkown[" + std::to_string(getpid()) + "] ERROR: x\n"),
              std::string::npos);
}

TEST_F(ClientLogTest, UnusableDestinationsFallBackToPlainSyslogWithTheirFailureLine)
{
    const std::string missing = dir.file("missing.log");
    const struct {
        std::string destination;
        int priority;
        std::string failureLine; // as it reaches syslog
    } cases[] = {
        {"file var/log/x.log", LOG_DEBUG,
         "DEBUG: Failed to open file log 'var/log/x.log': An absolute pathname was not given"},
        {"file /no/such/dir/x.log", LOG_DEBUG,
         "DEBUG: Failed to open file log '/no/such/dir/x.log': Refer to errno for details"},
        {"file " + missing, LOG_DEBUG,
         "DEBUG: Failed to open file log '" + missing + "': Refer to errno for details"},
        {"file  /tmp/x", LOG_DEBUG,
         "DEBUG: Failed to open file log ' /tmp/x': An absolute pathname was not given"},
        {"FILE /tmp/x", LOG_ERR,
         "ERROR: Illegal value for log destination 'FILE /tmp/x': Illegal syslog facility name"},
        {"Syslog", LOG_ERR,
         "ERROR: Illegal value for log destination 'Syslog': Illegal syslog facility name"},
        {"", LOG_ERR, "ERROR: Illegal value for log destination '': Illegal syslog facility name"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.destination);
        capture.clear();
        LogPtr log = MakeLog(c.destination.c_str(), CLIENT_LOG_TRACE);
        ASSERT_EQ(ConfigureEmergencyLog(log.get()), 0);
        ASSERT_NE(log->emergency, nullptr);
        EXPECT_EQ(log->emergency->kind, EMERGENCY_LOG_SYSLOG);
        EXPECT_EQ(log->emergency->ident, nullptr);
        EXPECT_EQ(log->emergency->descriptor, 0);
        ClientLogPrint(log.get(), CLIENT_LOG_INFO, "unit", 1, "Op", "after");
        log.reset();

        std::vector<SyslogRecord> lines = Calls(capture, "syslog");
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].priority, c.priority);
        EXPECT_EQ(lines[0].text, c.failureLine);
        EXPECT_EQ(lines[1].priority, LOG_INFO);
        EXPECT_EQ(lines[1].text, "INFO: after");
        EXPECT_TRUE(Calls(capture, "openlog").empty());
        EXPECT_TRUE(Calls(capture, "closelog").empty());
    }
    struct stat st;
    EXPECT_NE(stat(missing.c_str(), &st), 0) << "the log must never create its file";
}

TEST_F(ClientLogTest, FileFailureLineIsDebugAndHiddenAtInfo)
{
    LogPtr log = MakeLog("file relative.log", CLIENT_LOG_INFO);
    ASSERT_EQ(ConfigureEmergencyLog(log.get()), 0);
    log.reset();
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(ClientLogTest, SyslogAndNullDestinationsAreQuietPlainSyslog)
{
    for (const char *destination : {"syslog", (const char *)nullptr}) {
        capture.clear();
        LogPtr log = MakeLog(destination, CLIENT_LOG_TRACE);
        ASSERT_EQ(ConfigureEmergencyLog(log.get()), 0);
        ClientLogPrint(log.get(), CLIENT_LOG_ERROR, "unit", 1, "Op", "x");
        log.reset();
        std::vector<SyslogRecord> records = capture.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].call, "syslog");
        EXPECT_EQ(records[0].text, "ERROR: x");
    }
}

TEST_F(ClientLogTest, FacilityNamesOpenSyslogUnderTheirFacility)
{
    const struct {
        const char *name;
        int facility;
    } cases[] = {
        {"auth", LOG_AUTH},       {"cron", LOG_CRON},     {"daemon", LOG_DAEMON},
        {"kern", LOG_KERN},       {"lpr", LOG_LPR},       {"mail", LOG_MAIL},
        {"news", LOG_NEWS},       {"security", LOG_AUTH}, {"user", LOG_USER},
        {"uucp", LOG_UUCP},       {"local0", LOG_LOCAL0}, {"local1", LOG_LOCAL1},
        {"local2", LOG_LOCAL2},   {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4},
        {"local5", LOG_LOCAL5},   {"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7},
        {"authpriv", LOG_AUTHPRIV}, {"ftp", LOG_FTP},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture.clear();
        LogPtr log = MakeLog(c.name, CLIENT_LOG_INFO);
        ASSERT_EQ(ConfigureEmergencyLog(log.get()), 0);
        EXPECT_EQ(log->emergency->descriptor, 1);
        ClientLogPrint(log.get(), CLIENT_LOG_WARNING, "unit", 1, "Op", "x");
        log.reset();
        std::vector<SyslogRecord> records = capture.records();
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(records[0].call, "openlog");
        EXPECT_EQ(records[0].ident, "trailsend");
        EXPECT_EQ(records[0].option, LOG_PID | LOG_CONS);
        EXPECT_EQ(records[0].facility, c.facility);
        EXPECT_EQ(records[1].text, "WARNING: x");
        EXPECT_EQ(records[1].priority, LOG_WARNING);
        EXPECT_EQ(records[2].call, "closelog");
    }
}

TEST_F(ClientLogTest, LevelsReachSyslogWithTheirNameAndPriority)
{
    const struct {
        uint32_t level;
        int priority;
        const char *text;
    } cases[] = {
        {0, LOG_DEBUG, "TRACE: m"},  {1, LOG_DEBUG, "DEBUG: m"}, {2, LOG_INFO, "INFO: m"},
        {3, LOG_WARNING, "WARNING: m"}, {4, LOG_ERR, "ERROR: m"}, {5, LOG_EMERG, "FATAL: m"},
        {6, LOG_INFO, "INFO: m"},    {0xFFFFFFFFu, LOG_INFO, "INFO: m"},
    };
    LogPtr log = MakeLog("syslog", CLIENT_LOG_TRACE);
    ASSERT_EQ(ConfigureEmergencyLog(log.get()), 0);
    for (const auto &c : cases)
        EXPECT_EQ(ClientLogPrint(log.get(), c.level, "unit", 1, "Op", "m"), 0);
    std::vector<SyslogRecord> lines = Calls(capture, "syslog");
    ASSERT_EQ(lines.size(), sizeof cases / sizeof cases[0]);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].priority, cases[i].priority) << i;
        EXPECT_EQ(lines[i].text, cases[i].text) << i;
    }
}

TEST_F(ClientLogTest, LongTextIsCutTo509InAFileLineAnd510ForSyslog)
{
    const std::string long_text(700, 'x');
    const std::string path = LogFile();
    LogPtr file = MakeLog(("file " + path).c_str(), CLIENT_LOG_TRACE);
    ASSERT_EQ(ConfigureEmergencyLog(file.get()), 0);
    ClientLogPrint(file.get(), CLIENT_LOG_INFO, "unit", 1, "Op", "%s", long_text.c_str());
    file.reset();
    std::vector<std::string> lines = Lines(ReadFile(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(FileLineText(lines[0]), "INFO: " + std::string(509, 'x'));

    LogPtr sys = MakeLog("syslog", CLIENT_LOG_TRACE);
    ASSERT_EQ(ConfigureEmergencyLog(sys.get()), 0);
    ClientLogPrint(sys.get(), CLIENT_LOG_INFO, "unit", 1, "Op", "%s", long_text.c_str());
    EXPECT_EQ(capture.lines().at(0), "INFO: " + std::string(504, 'x'));
}

TEST_F(ClientLogTest, CutFileLineStillEndsWithALineFeed)
{
    const std::string path = LogFile();
    const std::string ident(900, 'i');
    LogPtr log(ClientLogCreate(ident.c_str(), ("file " + path).c_str(), CLIENT_LOG_INFO, "/x", 1,
                               GetMessageTable()));
    ASSERT_EQ(ConfigureEmergencyLog(log.get()), 0);
    ClientLogPrint(log.get(), CLIENT_LOG_INFO, NULL, 0, NULL, "%s", std::string(500, 'x').c_str());
    ClientLogPrint(log.get(), CLIENT_LOG_INFO, NULL, 0, NULL, "next");
    log.reset();
    std::vector<std::string> lines = Lines(ReadFile(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 1019u);
    EXPECT_EQ(FileLineText(lines[1]), "INFO: next");
}

TEST_F(ClientLogTest, DisabledLevelIsNeitherFormattedNorEvaluated)
{
    LogPtr log = MakeLog("syslog", CLIENT_LOG_ERROR);
    // "%n" stores how much was formatted: an untouched target proves that no
    // formatting happened.
    int formatted = -1;
    EXPECT_EQ(ClientLogPrint(log.get(), CLIENT_LOG_WARNING, "unit", 1, "Op", "abc%n", &formatted), 0);
    EXPECT_EQ(formatted, -1);
    EXPECT_EQ(log->pending, nullptr);

    int evaluations = 0;
    auto costly = [&evaluations] { return ++evaluations; };
    EXPECT_EQ(CLIENT_LOG(log.get(), CLIENT_LOG_TRACE, "unit", "Op", "%d", costly()), 0);
    EXPECT_EQ(evaluations, 0);

    EXPECT_EQ(ClientLogPrint(log.get(), CLIENT_LOG_ERROR, "unit", 1, "Op", "abc%n", &formatted), 0);
    EXPECT_EQ(formatted, 3);
    EXPECT_NE(log->pending, nullptr);
}

TEST_F(ClientLogTest, FailedFileWriteReportsErrno)
{
    LogPtr log = MakeLog("file /dev/full", CLIENT_LOG_TRACE);
    ASSERT_EQ(ConfigureEmergencyLog(log.get()), 0);
    ASSERT_EQ(log->emergency->kind, EMERGENCY_LOG_FILE);
    EXPECT_EQ(ClientLogPrint(log.get(), CLIENT_LOG_ERROR, "unit", 1, "Op", "lost"), ELOG_ERRNO);
}

TEST_F(ClientLogTest, EmergencyThresholdFollowsTheLogAndFiltersLines)
{
    const std::string path = LogFile();
    LogPtr log = MakeLog(("file " + path).c_str(), CLIENT_LOG_WARNING);
    ASSERT_EQ(ConfigureEmergencyLog(log.get()), 0);
    EXPECT_EQ(log->emergency->threshold, (uint32_t)CLIENT_LOG_WARNING);
    EXPECT_EQ(EmergencyLogWrite(log->emergency, CLIENT_LOG_INFO, "below"), 0);
    EXPECT_EQ(EmergencyLogWrite(log->emergency, CLIENT_LOG_WARNING, "at %s", "threshold"), 0);
    log.reset();
    std::vector<std::string> lines = Lines(ReadFile(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(FileLineText(lines[0]), "WARNING: at threshold");
}

TEST(EmergencyLog, SetLevelReturnsThePreviousThresholdAndIgnoresLevelsAboveFatal)
{
    EmergencyLog emergency{nullptr, EMERGENCY_LOG_SYSLOG, CLIENT_LOG_INFO, 0};
    EXPECT_EQ(EmergencyLogSetLevel(&emergency, CLIENT_LOG_FATAL), (uint32_t)CLIENT_LOG_INFO);
    EXPECT_EQ(EmergencyLogSetLevel(&emergency, 6), (uint32_t)CLIENT_LOG_FATAL);
    EXPECT_EQ(emergency.threshold, (uint32_t)CLIENT_LOG_FATAL);
    EXPECT_EQ(EmergencyLogSetLevel(nullptr, CLIENT_LOG_TRACE), (uint32_t)CLIENT_LOG_INFO);
    EXPECT_EQ(EmergencyLogWrite(nullptr, CLIENT_LOG_FATAL, "x"), 0);
}

TEST(EmergencyLog, StatusTexts)
{
    EXPECT_STREQ(EmergencyLogStatusText(100), "An absolute pathname was not given");
    EXPECT_STREQ(EmergencyLogStatusText(101), "Out of memory");
    EXPECT_STREQ(EmergencyLogStatusText(102), "Refer to errno for details");
    for (int code : {0, 99, 103, 200, -1})
        EXPECT_EQ(EmergencyLogStatusText(code), nullptr) << code;
}

TEST(ClientLogLevel, ConfiguredNamesIgnoreCaseAndDefaultToInfo)
{
    const struct {
        const char *name;
        uint32_t level;
    } cases[] = {
        {"TRACE", 0}, {"trace", 0}, {"Debug", 1}, {"info", 2}, {"WARN", 3}, {"warning", 3},
        {"ERROR", 4}, {"FATAL", 2}, {"", 2},      {"err", 2},  {nullptr, 2},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ClientLogLevelFromName(c.name), c.level) << (c.name ? c.name : "(null)");
}

TEST(ClientLog, NullLogIsHarmless)
{
    EXPECT_FALSE(ClientLogEnabled(nullptr, CLIENT_LOG_FATAL));
    EXPECT_EQ(ClientLogPrint(nullptr, CLIENT_LOG_FATAL, "u", 1, "Op", "x"), 0);
    EXPECT_EQ(ClientLogFlush(nullptr), 0);
    EXPECT_EQ(ConnectAndSend(nullptr), 0);
    EXPECT_EQ(ConfigureEmergencyLog(nullptr), 0);
    EXPECT_EQ(ClientLogClose(nullptr), 0);
}
