#include "client_common/log_buffer.h"
#include "client_common/client_msg.h"
#include "client_common/msg_type_table.h"
#include "support/client_log_entries.h"
#include "support/stub_daemon.h"
#include "support/syslog_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using testsupport::ReadFile;
using testsupport::StubDaemon;
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

// One ControlLog2 message as the stand-in daemon prints it with --json.
struct Forwarded {
    long connection = -1;
    bool closed = false; // the closing entry was there
    struct Entry {
        long time, pid, level, line;
        std::string process, file, operation, text; // "<null>" for a null string
    };
    std::vector<Entry> entries;
};

std::string JsonText(const std::string &token)
{
    if (token == "null")
        return "<null>";
    std::string out;
    for (size_t i = 1; i + 1 < token.size(); ++i)
        out += token[i] == '\\' ? token[++i] : token[i];
    return out;
}

std::vector<Forwarded> Messages(const std::vector<std::string> &lines)
{
    const std::string text = "(\"(?:[^\"\\\\]|\\\\.)*\"|null)";
    const std::regex entry("\\{\"time\":(\\d+),\"process\":" + text + ",\"pid\":(-?\\d+),\"level\":(-?\\d+),\"file\":" +
                           text + ",\"line\":(-?\\d+),\"operation\":" + text + ",\"text\":" + text + "\\}");
    const std::regex connection("^\\{\"connection\":(\\d+),\"type\":107,");
    std::vector<Forwarded> out;
    for (const std::string &line : lines) {
        Forwarded message;
        std::smatch m;
        if (std::regex_search(line, m, connection))
            message.connection = std::stol(m[1]);
        message.closed = line.find("\"entriesClosed\":true") != std::string::npos;
        for (std::sregex_iterator it(line.begin(), line.end(), entry), end; it != end; ++it) {
            const std::smatch &e = *it;
            message.entries.push_back({std::stol(e[1]), std::stol(e[3]), std::stol(e[4]), std::stol(e[6]),
                                       JsonText(e[2]), JsonText(e[5]), JsonText(e[7]), JsonText(e[8])});
        }
        out.push_back(message);
    }
    return out;
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

    // A log without ident names itself as the existing log files know it.
    const std::string other = dir.write("other.log", "");
    log.reset(ClientLogCreate(NULL, ("file " + other).c_str(), CLIENT_LOG_INFO, "/x", 1, GetMessageTable()));
    ASSERT_EQ(ConfigureEmergencyLog(log.get()), 0);
    ClientLogPrint(log.get(), CLIENT_LOG_ERROR, NULL, 0, NULL, "x");
    log.reset();
    EXPECT_EQ(ReadFile(other).substr(16), "unkown[" + pid + "] ERROR: x\n");
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
        // Only a regular file is written (links and FIFOs: trailsend_test).
        {"file /dev/null", LOG_DEBUG, "DEBUG: Failed to open file log '/dev/null': Refer to errno for details"},
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
    // A few names of the table: its first and last, the alias "security",
    // and the ends of the local range.
    const struct {
        const char *name;
        int facility;
    } cases[] = {
        {"auth", LOG_AUTH},     {"security", LOG_AUTH}, {"daemon", LOG_DAEMON},
        {"local0", LOG_LOCAL0}, {"local7", LOG_LOCAL7}, {"ftp", LOG_FTP},
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

// In a file line every byte below 0x20 and 0x7f is written as \xNN, so a
// text cannot end its line and forge the next; the cut never splits an
// escape. Lines for syslog and the daemon keep the text as it is.
TEST_F(ClientLogTest, ControlBytesAreEscapedInFileLinesOnly)
{
    const struct {
        std::string text;
        std::string fileText;
    } cases[] = {
        {"a\nb\t\r\x01\x1f\x7f \x20~", "a\\x0ab\\x09\\x0d\\x01\\x1f\\x7f  ~"},
        {"t\xc3\xa9 \x80\xff", "t\xc3\xa9 \x80\xff"},
        // 509 line feeds escape to 2036 bytes: the line stops at the last
        // whole escape that fits in 1020 bytes with its line feed.
        {std::string(600, '\n'), ""},
    };
    for (const auto &c : cases) {
        const std::string path = dir.write("escaped.log", "");
        capture.clear();
        LogPtr file = MakeLog(("file " + path).c_str(), CLIENT_LOG_TRACE);
        LogPtr sys = MakeLog("syslog", CLIENT_LOG_TRACE);
        LogPtr batching = MakeLog("syslog", CLIENT_LOG_TRACE);
        ASSERT_EQ(ConfigureEmergencyLog(file.get()), 0);
        ASSERT_EQ(ConfigureEmergencyLog(sys.get()), 0);
        for (ClientLog *log : {file.get(), sys.get(), batching.get()})
            ClientLogPrint(log, CLIENT_LOG_INFO, "unit", 1, "Op", "%s", c.text.c_str());
        file.reset();
        const std::string content = ReadFile(path);
        const std::vector<std::string> lines = Lines(content);
        ASSERT_EQ(lines.size(), 1u) << content;
        EXPECT_EQ(content.back(), '\n');
        if (!c.fileText.empty()) {
            EXPECT_EQ(FileLineText(lines[0]), "INFO: " + c.fileText);
        } else {
            const std::string text = FileLineText(lines[0]).substr(6);
            EXPECT_LE(lines[0].size() + 1, 1020u);
            EXPECT_GT(lines[0].size() + 1 + 4, 1020u) << "no room left for one more escape";
            EXPECT_EQ(text.size() % 4, 0u);
            for (size_t at = 0; at < text.size(); at += 4)
                ASSERT_EQ(text.substr(at, 4), "\\x0a") << at;
        }
        EXPECT_EQ(capture.lines().at(0), "INFO: " + c.text.substr(0, 504));
        EXPECT_EQ(testsupport::TakeClientLogTexts(batching.get()), std::vector<std::string>{c.text.substr(0, 510)});
    }
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
    LogPtr log = MakeLog(("file " + LogFile()).c_str(), CLIENT_LOG_TRACE);
    ASSERT_EQ(ConfigureEmergencyLog(log.get()), 0);
    ASSERT_EQ(log->emergency->kind, EMERGENCY_LOG_FILE);
    // The log's descriptor now reads a file: every write fails.
    const int readOnly = open(dir.write("read-only", "").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(dup3(readOnly, log->emergency->descriptor, O_CLOEXEC), 0);
    close(readOnly);
    errno = 0;
    EXPECT_EQ(ClientLogPrint(log.get(), CLIENT_LOG_ERROR, "unit", 1, "Op", "lost"), ELOG_ERRNO);
    EXPECT_EQ(errno, EBADF);
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

// ---- forwarding to the stand-in daemon ------------------------------------

TEST_F(ClientLogTest, BatchedEntriesTravelInOneMessageAtFlush)
{
    StubDaemon daemon({"--json"});
    const std::string path = LogFile();
    LogPtr log = MakeLog(("file " + path).c_str(), CLIENT_LOG_TRACE, daemon.socketPath());
    const long before = (long)time(NULL);
    EXPECT_EQ(ClientLogPrint(log.get(), CLIENT_LOG_INFO, "unit_a", 11, "OpA", "first %d", 1), 0);
    EXPECT_EQ(ClientLogPrint(log.get(), CLIENT_LOG_ERROR, "unit_b", 22, "OpB", "second"), 0);
    EXPECT_EQ(ClientLogPrintNoSource(log.get(), CLIENT_LOG_TRACE, "third"), 0);
    EXPECT_EQ(log->session, nullptr) << "batching must not connect";

    EXPECT_EQ(ClientLogFlush(log.get()), 0);
    EXPECT_NE(log->session, nullptr);
    EXPECT_EQ(log->pending, nullptr);
    std::vector<Forwarded> messages = Messages(daemon.waitForLines(1));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].closed);
    ASSERT_EQ(messages[0].entries.size(), 3u);
    const long pid = getpid();
    const struct {
        long level, line;
        const char *file, *operation, *text;
    } expected[] = {
        {CLIENT_LOG_INFO, 11, "unit_a", "OpA", "first 1"},
        {CLIENT_LOG_ERROR, 22, "unit_b", "OpB", "second"},
        {CLIENT_LOG_TRACE, 0, "<null>", "<null>", "third"},
    };
    for (size_t i = 0; i < 3; ++i) {
        const Forwarded::Entry &e = messages[0].entries[i];
        EXPECT_GE(e.time, before);
        EXPECT_LE(e.time, (long)time(NULL));
        EXPECT_EQ(e.process, "trailsend");
        EXPECT_EQ(e.pid, pid);
        EXPECT_EQ(e.level, expected[i].level);
        EXPECT_EQ(e.file, expected[i].file);
        EXPECT_EQ(e.line, expected[i].line);
        EXPECT_EQ(e.operation, expected[i].operation);
        EXPECT_EQ(e.text, expected[i].text);
    }
    log.reset();
    EXPECT_EQ(ReadFile(path), "");
}

TEST_F(ClientLogTest, ForwardingSendsEachLineInItsOwnMessageOnOneSession)
{
    StubDaemon daemon({"--json"});
    LogPtr log = MakeLog("syslog", CLIENT_LOG_ERROR, daemon.socketPath());
    EXPECT_EQ(ClientLogFlush(log.get()), 0);
    EXPECT_EQ(log->session, nullptr) << "nothing was pending";

    EXPECT_EQ(ClientLogPrint(log.get(), CLIENT_LOG_ERROR, "unit", 1, "Op", "one"), 0);
    EXPECT_EQ(ClientLogPrint(log.get(), CLIENT_LOG_TRACE, "unit", 2, "Op", "hidden"), 0);
    EXPECT_EQ(ClientLogPrint(log.get(), CLIENT_LOG_FATAL, "unit", 3, "Op", "%s", std::string(700, 'y').c_str()),
              0);
    std::vector<Forwarded> messages = Messages(daemon.waitForLines(2));
    ASSERT_EQ(messages.size(), 2u);
    for (const Forwarded &m : messages) {
        EXPECT_TRUE(m.closed);
        ASSERT_EQ(m.entries.size(), 1u);
        EXPECT_EQ(m.connection, messages[0].connection) << "one kept session";
    }
    EXPECT_EQ(messages[0].entries[0].text, "one");
    EXPECT_EQ(messages[1].entries[0].text, std::string(510, 'y'));
    EXPECT_EQ(log->pending, nullptr);
    log.reset();
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(ClientLogTest, FailedSendClosesTheSessionWarnsAndReplaysTheMessage)
{
    const struct {
        std::vector<std::string> options;
        int status;
        const char *text;
    } cases[] = {
        {{"--malformed-reply"}, 405, "Socket error"},
        {{"--bad-magic"}, 405, "Socket error"},
        {{"--shutdown-read"}, 404, "Socket closed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options[0]);
        StubDaemon daemon(c.options);
        const std::string path = LogFile();
        LogPtr log = MakeLog(("file " + path).c_str(), CLIENT_LOG_INFO, daemon.socketPath());
        ASSERT_EQ(ClientLogFlush(log.get()), 0);
        EXPECT_EQ(ClientLogPrint(log.get(), CLIENT_LOG_ERROR, "unit", 1, "Op", "lost %s", "line"), c.status);
        EXPECT_EQ(log->session, nullptr);
        EXPECT_EQ(log->pending, nullptr);
        // From now on the lines stay local.
        EXPECT_EQ(ClientLogPrint(log.get(), CLIENT_LOG_INFO, "unit", 2, "Op", "later"), 0);
        log.reset();

        std::vector<std::string> lines = Lines(ReadFile(path));
        ASSERT_EQ(lines.size(), 3u) << ReadFile(path);
        EXPECT_EQ(FileLineText(lines[0]), std::string("WARNING: Failed to send log message: ") + c.text);
        EXPECT_EQ(FileLineText(lines[1]), "ERROR: lost line");
        EXPECT_EQ(FileLineText(lines[2]), "INFO: later");
    }
}

TEST_F(ClientLogTest, UnreachableDaemonAtFlushReplaysTheBatchAfterADebugLine)
{
    StubDaemon refusing({"--handshake-answer", "2"});
    const std::string missing = dir.file("no-daemon.sock");
    const struct {
        std::string socket;
        int status;
        const char *text;
    } cases[] = {
        {missing, 401, "Cannot open socket"},
        {"var/quillmesh/daemon2", 400, "Socket path does not exist"},
        {refusing.socketPath(), 401, "Cannot open socket"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.socket);
        const std::string path = LogFile();
        LogPtr log = MakeLog(("file " + path).c_str(), CLIENT_LOG_DEBUG, c.socket);
        ClientLogPrint(log.get(), CLIENT_LOG_INFO, "unit", 1, "Op", "gathered");
        ClientLogPrint(log.get(), CLIENT_LOG_WARNING, "unit", 2, "Op", "also gathered");
        EXPECT_EQ(ClientLogFlush(log.get()), c.status);
        EXPECT_EQ(log->pending, nullptr);
        log.reset();

        std::vector<std::string> lines = Lines(ReadFile(path));
        ASSERT_EQ(lines.size(), 3u) << ReadFile(path);
        EXPECT_EQ(FileLineText(lines[0]), "DEBUG: Failed to open logging connection to dirsvcd through '" +
                                               c.socket + "': " + c.text);
        EXPECT_EQ(FileLineText(lines[1]), "INFO: gathered");
        EXPECT_EQ(FileLineText(lines[2]), "WARNING: also gathered");
    }
}

TEST_F(ClientLogTest, ClosingWithPendingEntriesWritesThemLocallyAndNeverForwards)
{
    StubDaemon daemon({"--json"});
    const std::string path = LogFile();
    LogPtr log = MakeLog(("file " + path).c_str(), CLIENT_LOG_INFO, daemon.socketPath());
    ClientLogPrint(log.get(), CLIENT_LOG_INFO, "unit", 1, "Op", "kept %d", 1);
    ClientLogPrint(log.get(), CLIENT_LOG_DEBUG, "unit", 2, "Op", "below the threshold");
    ClientLogPrint(log.get(), CLIENT_LOG_ERROR, "unit", 3, "Op", "%s", std::string(700, 'z').c_str());
    EXPECT_EQ(ClientLogClose(log.release()), 0);

    std::vector<std::string> lines = Lines(ReadFile(path));
    ASSERT_EQ(lines.size(), 2u) << ReadFile(path);
    EXPECT_EQ(FileLineText(lines[0]), "INFO: kept 1");
    // Forwarded text keeps 510 characters; its file line keeps 509.
    EXPECT_EQ(FileLineText(lines[1]), "ERROR: " + std::string(509, 'z'));
    daemon.stop();
    EXPECT_TRUE(daemon.lines().empty());
}

TEST_F(ClientLogTest, DiscardingWritesPendingEntriesNowhere)
{
    StubDaemon daemon({"--json"});
    const std::string path = LogFile();
    LogPtr log = MakeLog(("file " + path).c_str(), CLIENT_LOG_TRACE, daemon.socketPath());
    ClientLogPrint(log.get(), CLIENT_LOG_ERROR, "unit", 1, "Op", "dropped");
    ClientLogDiscard(log.release());
    ClientLogDiscard(nullptr);
    daemon.stop();
    EXPECT_EQ(ReadFile(path), "");
    EXPECT_TRUE(daemon.lines().empty());
    EXPECT_TRUE(capture.records().empty());
}

TEST_F(ClientLogTest, ReplayStopsAtTheFirstEntryThatIsNoLogEntry)
{
    LogPtr log = MakeLog("syslog", CLIENT_LOG_TRACE);
    int status = 0;
    std::unique_ptr<ClientMsg, decltype(&MsgFree)> msg(
        NewClientMsg(MSG_TYPE_CONTROL_LOG2, GetMessageTable(), LRPC2_HEADER_SIZE, &status), &MsgFree);
    ASSERT_EQ(AddLogEntry(msg.get(), 1, "p", 2, CLIENT_LOG_ERROR, "f", 3, "o", "replayed"), 0);
    ASSERT_EQ(MsgAddString(msg.get(), "not a time"), 0);
    ASSERT_EQ(MsgComplete(msg.get()), 0);
    EXPECT_EQ(ReplayToEmergencyLog(log.get(), msg.get()), MSG_ERR_WRONG_TYPE);
    EXPECT_EQ(ReplayToEmergencyLog(log.get(), nullptr), MSG_ERR_INVALID);
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"ERROR: replayed"});
}
