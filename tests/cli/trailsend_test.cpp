// The trailsend command end to end: its test twin runs as a real child of
// this test process against the stand-in daemon (or a bare listening socket)
// on the socket under the test root, and the request the daemon receives is
// compared byte for byte with one composed here.
#include "client_common/client_msg.h"
#include "client_common/well_known_paths.h"
#include "support/lrpc2_wire.h"
#include "support/program_runner.h"
#include "support/stub_daemon.h"
#include "support/stub_json.h"
#include "support/syslog_capture.h"
#include "support/temp_dir.h"
#include "support/test_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using testsupport::Bytes;
using testsupport::ChildProgram;
using testsupport::ChildResult;
using testsupport::EnvChanges;
using testsupport::StubDaemon;
using testsupport::SyslogCapture;
using testsupport::TestRoot;
using testsupport::Wire;

namespace {

// The client log file of the default destination ("file <path>").
const std::string kClientLog = DEFAULT_CLIENT_LOG_DESTINATION + 5;
const int kAuditTrailEvent = 1200;

std::string UserName()
{
    const passwd *entry = getpwuid(getuid());
    return entry ? entry->pw_name : "";
}

// The request body the command must send: type, the nine fixed fields, the
// UTF8STRING parameters and the end of the list, then the end marker.
Bytes ExpectedBody(uint32_t code, const std::string &user, const char *sessionId, uint64_t processId,
                   const std::vector<std::string> &texts)
{
    Wire wire;
    wire.u16(kAuditTrailEvent);
    wire.u8(WIRE_STRING).item("Norvalex Suite");
    wire.u8(WIRE_STRING).item("Norvalex Commands");
    wire.u8(WIRE_UINT32).u32(code);
    wire.u8(WIRE_BLOB).nullItem();   // event time
    wire.u8(WIRE_STRING).nullItem(); // auxText
    wire.u8(WIRE_STRING).item(user);
    wire.u8(WIRE_BLOB).nullItem(); // user SID
    if (sessionId)
        wire.u8(WIRE_STRING).item(sessionId);
    else
        wire.u8(WIRE_STRING).nullItem();
    wire.u8(WIRE_BLOB).u32(8).u64(processId);
    for (const std::string &text : texts) {
        const uint32_t size = static_cast<uint32_t>(text.size() + 1);
        wire.u8(WIRE_UINT32).u32(8).u8(WIRE_UINT32).u32(size).u8(WIRE_BLOB).u32(size).text(text).u8(0);
    }
    wire.u8(WIRE_UINT32).u32(0);
    wire.u8(WIRE_END);
    return wire.bytes();
}

std::string Hex(const Bytes &bytes)
{
    std::string out;
    char digits[4];
    for (unsigned char b : bytes) {
        snprintf(digits, sizeof digits, "%02x ", b);
        out += digits;
    }
    return out;
}

bool Contains(const std::vector<std::string> &lines, const std::string &text)
{
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

// A socket listening on the daemon's path that never accepts by itself: a
// client's connect lands in its backlog, so the test can tell afterwards
// whether any connection was attempted, or serve one by hand.
class BareListener {
public:
    BareListener()
    {
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, DAEMON_SOCKET_PATH, sizeof address.sun_path - 1);
        unlink(DAEMON_SOCKET_PATH);
        if (bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(m_fd, 8) != 0)
            ADD_FAILURE() << "cannot listen on " << DAEMON_SOCKET_PATH << ": " << strerror(errno);
    }
    ~BareListener()
    {
        close(m_fd);
        unlink(DAEMON_SOCKET_PATH);
    }
    // A connection waiting in the backlog (or arriving within timeoutMs), or -1.
    int accept(int timeoutMs)
    {
        pollfd poller{m_fd, POLLIN, 0};
        if (poll(&poller, 1, timeoutMs) != 1)
            return -1;
        return accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int m_fd = -1;
};

// Watches one file for being opened.
class OpenWatch {
public:
    explicit OpenWatch(const std::string &path)
    {
        m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd < 0 || inotify_add_watch(m_fd, path.c_str(), IN_OPEN) < 0)
            ADD_FAILURE() << "cannot watch " << path << ": " << strerror(errno);
    }
    ~OpenWatch() { close(m_fd); }
    bool opened() const
    {
        alignas(inotify_event) char events[4096];
        return read(m_fd, events, sizeof events) > 0;
    }

private:
    int m_fd = -1;
};

class TrailsendTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(access(testsupport::TwinPath().c_str(), X_OK), 0) << "build the trailsend_twin target";
        ASSERT_FALSE(UserName().empty());
        // A failure's first framework output loads the framework's
        // configuration; an empty one adds no line of its own.
        testsupport::WriteFile(FRAMEWORK_CONFIG_PATH, "");
    }

    // Runs the twin with the arguments after the program name. The session
    // id comes from the test only.
    ChildResult run(const std::vector<std::string> &arguments, EnvChanges env = {})
    {
        std::vector<std::string> argv{testsupport::TwinPath()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        env.emplace("QR_SESSION_ID", testsupport::kUnset);
        return testsupport::RunProgram(argv, env);
    }

    // Runs the twin against the stand-in daemon and returns the requests of
    // type 1200 the daemon received.
    std::vector<testsupport::StubMessage> runAndReceive(const std::vector<std::string> &arguments,
                                                        int expectedExit = 0, EnvChanges env = {},
                                                        std::vector<std::string> stubOptions = {})
    {
        stubOptions.push_back("--json");
        StubDaemon daemon(DAEMON_SOCKET_PATH, stubOptions);
        const ChildResult result = run(arguments, env);
        EXPECT_EQ(result.exitStatus, expectedExit) << result.output;
        EXPECT_EQ(result.output, "") << "the command prints nothing";
        // The request was written before the command ended; give the stub the
        // time to print it before it is stopped (a stop ends it at once).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(expectedExit == 0 && m_expectRequest ? 3000 : 300);
        while (testsupport::StubMessagesOfType(daemon.lines(), kAuditTrailEvent).empty() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        daemon.stop();
        m_stubLines = daemon.lines();
        return testsupport::StubMessagesOfType(m_stubLines, kAuditTrailEvent);
    }

    // Syslog texts of the framework logger's ERROR lines.
    std::vector<std::string> errorLines() const
    {
        std::vector<std::string> lines;
        for (const auto &record : capture.records())
            if ((record.call == "syslog" || record.call == "vsyslog") && (record.priority & 7) == LOG_ERR)
                lines.push_back(record.text);
        return lines;
    }

    TestRoot root;
    SyslogCapture capture;
    std::vector<std::string> m_stubLines;
    bool m_expectRequest = true; // a successful run is expected to deliver a request
};

TEST_F(TrailsendTest, SendsTheLoginEventByteForByte)
{
    // Code 200, text A "x", text B empty: the user and this test process as
    // the parent.
    const auto requests = runAndReceive({"200", "x", ""});
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_TRUE(requests[0].valid);
    const Bytes expected = ExpectedBody(200, UserName(), nullptr, static_cast<uint64_t>(getpid()), {"x", "none"});
    EXPECT_EQ(Hex(requests[0].body), Hex(expected));

    // The tail of the request, as the daemon reads it.
    const Bytes tail = Wire()
                           .u8(WIRE_UINT32).u32(8).u8(WIRE_UINT32).u32(2).u8(WIRE_BLOB).u32(2).text("x").u8(0)
                           .u8(WIRE_UINT32).u32(8).u8(WIRE_UINT32).u32(5).u8(WIRE_BLOB).u32(5).text("none").u8(0)
                           .u8(WIRE_UINT32).u32(0).u8(WIRE_END)
                           .bytes();
    ASSERT_GE(requests[0].body.size(), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), requests[0].body.end() - static_cast<long>(tail.size())));
    EXPECT_TRUE(errorLines().empty());
}

TEST_F(TrailsendTest, MapsTheCodeAndTextsOntoTheEvent)
{
    struct Case {
        std::vector<std::string> arguments;
        uint32_t code;
        std::vector<std::string> texts;
    } cases[] = {
        {{"200", "a", "b"}, 200, {"a", "b"}},
        {{"200", "", ""}, 200, {"", "none"}},
        {{"200", "", "b"}, 200, {"", "b"}},
        {{"17", "a", "b"}, 17, {"b", "a"}},
        {{"17", "a", ""}, 17, {"NSS", "a"}},
        {{"17", "", "b"}, 17, {"b"}},
        {{"17", "", ""}, 17, {"NSS"}},
        // The code goes through atoi: no digits give 0, leading digits count.
        {{"login", "a", ""}, 0, {"NSS", "a"}},
        {{"200abc", "a", ""}, 200, {"a", "none"}},
        {{"-5", "", "sshd"}, static_cast<uint32_t>(-5), {"sshd"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments[0] + " '" + c.arguments[1] + "' '" + c.arguments[2] + "'");
        const auto requests = runAndReceive(c.arguments);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(Hex(requests[0].body),
                  Hex(ExpectedBody(c.code, UserName(), nullptr, static_cast<uint64_t>(getpid()), c.texts)));
    }
}

TEST_F(TrailsendTest, SendsTheParentProcessIdNotItsOwn)
{
    StubDaemon daemon(DAEMON_SOCKET_PATH, {"--json"});
    ChildProgram child({testsupport::TwinPath(), "17", "a", "b"}, {{"QR_SESSION_ID", testsupport::kUnset}});
    const pid_t own = child.pid();
    ASSERT_EQ(child.wait().exitStatus, 0);
    daemon.waitForLines(1);
    daemon.stop();
    const auto requests = testsupport::StubMessagesOfType(daemon.lines(), kAuditTrailEvent);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(Hex(requests[0].body),
              Hex(ExpectedBody(17, UserName(), nullptr, static_cast<uint64_t>(getpid()), {"b", "a"})));
    EXPECT_NE(own, getpid());
}

TEST_F(TrailsendTest, SendsTheSessionIdFromTheEnvironment)
{
    const auto requests = runAndReceive({"200", "x", ""}, 0, {{"QR_SESSION_ID", "tty7:4711"}});
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(Hex(requests[0].body),
              Hex(ExpectedBody(200, UserName(), "tty7:4711", static_cast<uint64_t>(getpid()), {"x", "none"})));
}

TEST_F(TrailsendTest, ResolvesTargetsFromTheConfiguration)
{
    struct Case {
        const char *name;
        const char *config; // null: no configuration file
        bool sent;
        const char *finalLine;
    } cases[] = {
        {"no configuration file", nullptr, true, nullptr},
        {"global default", "log.audittrail: debug\n", true, "The final targets setting of Norvalex Suite/Norvalex Commands is 2."},
        {"global 1, overrides 2, component 2",
         "log.audittrail: debug\naudittrail.targets: 1\n"
         "audittrail.Norvalex_Suite.Norvalex_Commands.overrides: 2\n"
         "audittrail.Norvalex_Suite.Norvalex_Commands.targets: 2\n",
         true, "The final targets setting of Norvalex Suite/Norvalex Commands is 3."},
        {"global 3, overrides 1, component 0",
         "log.audittrail: debug\naudittrail.targets: 3\n"
         "audittrail.Norvalex_Suite.Norvalex_Commands.overrides: 1\n"
         "audittrail.Norvalex_Suite.Norvalex_Commands.targets: 0\n",
         true, "The final targets setting of Norvalex Suite/Norvalex Commands is 2."},
        {"global 2, overrides 2, component 0",
         "log.audittrail: debug\naudittrail.targets: 2\n"
         "audittrail.Norvalex_Suite.Norvalex_Commands.overrides: 2\n"
         "audittrail.Norvalex_Suite.Norvalex_Commands.targets: 0\n",
         false, "The final targets setting of Norvalex Suite/Norvalex Commands is 0."},
        {"overrides without component targets",
         "log.audittrail: debug\naudittrail.targets: 0\n"
         "audittrail.Norvalex_Suite.Norvalex_Commands.overrides: 1\n",
         false, "The final targets setting of Norvalex Suite/Norvalex Commands is 0."},
        {"unreadable global targets count as absent",
         "log.audittrail: debug\naudittrail.targets: file:/nonexistent/targets\n", true,
         "The setting audittrail.targets cannot be read, using its default 2."},
        {"keys spelt with spaces are not the component's",
         "log.audittrail: debug\naudittrail.targets: 0\n"
         "audittrail.Norvalex Suite.Norvalex Commands.overrides: 1\n"
         "audittrail.Norvalex Suite.Norvalex Commands.targets: 1\n",
         false, "The final targets setting of Norvalex Suite/Norvalex Commands is 0."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(CLIENT_CONFIG_PATH);
        if (c.config)
            testsupport::WriteFile(CLIENT_CONFIG_PATH, c.config);
        m_expectRequest = c.sent;
        const auto requests = runAndReceive({"200", "x", ""});
        EXPECT_EQ(requests.size(), c.sent ? 1u : 0u);
        if (c.finalLine) {
            EXPECT_TRUE(Contains(testsupport::ForwardedLogTexts(m_stubLines), c.finalLine));
        }
    }
}

TEST_F(TrailsendTest, InheritsGlobalTargetsWithoutComponentTargets)
{
    testsupport::WriteFile(CLIENT_CONFIG_PATH, "log: debug\naudittrail.Norvalex_Suite.Norvalex_Commands.overrides: 3\n");
    ASSERT_EQ(runAndReceive({"200", "x", ""}).size(), 1u);
    const auto texts = testsupport::ForwardedLogTexts(m_stubLines);
    EXPECT_TRUE(Contains(texts, "The targets setting of Norvalex Suite/Norvalex Commands is -1, don't known what "
                                "value to override, so will inherit global targets setting"));
    EXPECT_TRUE(Contains(texts, "The final targets setting of Norvalex Suite/Norvalex Commands is 2."));
}

TEST_F(TrailsendTest, WithoutTargetsOpensTheSessionAndSendsNothing)
{
    testsupport::WriteFile(CLIENT_CONFIG_PATH, "audittrail.targets: 0\n");
    BareListener listener;
    ChildProgram child({testsupport::TwinPath(), "200", "x", ""});
    const int connection = listener.accept(10000);
    ASSERT_GE(connection, 0) << "the command never connected";
    uint32_t word = 0;
    ASSERT_EQ(read(connection, &word, sizeof word), static_cast<ssize_t>(sizeof word));
    EXPECT_EQ(word, 3u);
    const uint32_t accept = 1;
    ASSERT_EQ(write(connection, &accept, sizeof accept), static_cast<ssize_t>(sizeof accept));
    std::string rest;
    char chunk[256];
    ssize_t got;
    while ((got = read(connection, chunk, sizeof chunk)) > 0)
        rest.append(chunk, static_cast<size_t>(got));
    close(connection);
    EXPECT_EQ(child.wait().exitStatus, 0);
    EXPECT_EQ(rest.size(), 0u) << "nothing is sent after the handshake";
    EXPECT_EQ(listener.accept(0), -1) << "one connection only";
}

TEST_F(TrailsendTest, WrongArgumentCountFailsWithoutConnecting)
{
    const std::vector<std::vector<std::string>> cases = {
        {}, {"200"}, {"200", "x"}, {"200", "x", "", "extra"}};
    for (const auto &arguments : cases) {
        SCOPED_TRACE(std::to_string(arguments.size()) + " arguments");
        capture.clear();
        BareListener listener;
        const ChildResult result = run(arguments);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(listener.accept(0), -1) << "no connection is attempted";
        const auto errors = errorLines();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find("qra.cli.trailsend You send the wrong number of arguments."), std::string::npos)
            << errors[0];
    }
}

TEST_F(TrailsendTest, UserWithoutPasswordEntryFailsBeforeReadingConfiguration)
{
    const char *wrapper = "/usr/lib/x86_64-linux-gnu/libnss_wrapper.so";
    if (access(wrapper, R_OK) != 0)
        GTEST_SKIP() << "libnss-wrapper is not installed";
    // Password and group databases that know nobody but an unused id.
    testsupport::TempDir dir;
    const uid_t unused = getuid() == 54321 ? 54322 : 54321;
    const std::string passwd = dir.write("passwd", "someone:x:" + std::to_string(unused) + ":" +
                                                       std::to_string(unused) + "::/:/bin/false\n");
    const std::string group = dir.write("group", "someone:x:" + std::to_string(unused) + ":\n");
    const char *preload = getenv("LD_PRELOAD");

    testsupport::WriteFile(CLIENT_CONFIG_PATH, "audittrail.targets: 2\n");
    OpenWatch configuration(CLIENT_CONFIG_PATH);
    BareListener listener;
    const ChildResult result = run({"200", "x", ""},
                                   {{"LD_PRELOAD", std::string(wrapper) + (preload ? std::string(":") + preload : "")},
                                    {"NSS_WRAPPER_PASSWD", passwd},
                                    {"NSS_WRAPPER_GROUP", group}});
    EXPECT_EQ(result.exitStatus, 1) << result.output;
    EXPECT_FALSE(configuration.opened()) << "the client configuration was read";
    EXPECT_EQ(listener.accept(0), -1) << "a connection was attempted";
    const auto errors = errorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("qra.cli.trailsend Error: Unable to get the user name"), std::string::npos) << errors[0];
}

TEST_F(TrailsendTest, AbsentDaemonFailsAndLeavesTheClientLogEmptyAtTheDefaultLevel)
{
    struct Case {
        const char *code;
        const char *errorLine;
    } cases[] = {
        {"200", "qra.cli.trailsend Failed to send the audit trail event (The user login to the system successfully)"},
        {"17", "qra.cli.trailsend Failed to send the audit trail event (NSS service)"},
    };
    testsupport::WriteFile(kClientLog, "");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        capture.clear();
        const ChildResult result = run({c.code, "x", "sshd"});
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(testsupport::ReadFile(kClientLog), "");
        const auto errors = errorLines();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find(c.errorLine), std::string::npos) << errors[0];
        EXPECT_EQ(capture.lines().size(), 1u) << "only the command's own line reaches syslog";
    }
}

TEST_F(TrailsendTest, AbsentDaemonAtDebugLevelWritesBothFailuresToTheClientLog)
{
    testsupport::WriteFile(CLIENT_CONFIG_PATH, "log.audittrail: debug\n");
    testsupport::WriteFile(kClientLog, "");
    EXPECT_EQ(run({"200", "x", ""}).exitStatus, 1);
    const std::string log = testsupport::ReadFile(kClientLog);
    const std::string path = DAEMON_SOCKET_PATH;
    const size_t logging = log.find("] DEBUG: Failed to open logging connection to dirsvcd through '" + path +
                                    "': Cannot open socket\n");
    const size_t session = log.find("] DEBUG: Failed to open connection to dirsvcd through '" + path +
                                    "' Cannot open socket (No such file or directory)\n");
    ASSERT_NE(logging, std::string::npos) << log;
    ASSERT_NE(session, std::string::npos) << log;
    EXPECT_LT(logging, session);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
}

// Whoever can write the log folder must not choose what a root run appends
// to, nor hold the command on a FIFO: the file log is refused and its lines
// go to syslog. The full FIFO has a reader that never reads.
TEST_F(TrailsendTest, ClientLogThatIsNoPlainFileFallsBackToSyslog)
{
    testsupport::WriteFile(CLIENT_CONFIG_PATH, "log.audittrail: debug\n");
    testsupport::TempDir dir;
    const std::string passwd = "root:x:0:0::/root:/bin/sh\n";
    const std::string target = dir.write("passwd", passwd);
    enum Planted { SYMBOLIC_LINK, HARD_LINK, FULL_FIFO };
    for (Planted planted : {SYMBOLIC_LINK, HARD_LINK, FULL_FIFO}) {
        SCOPED_TRACE(planted);
        unlink(kClientLog.c_str());
        int reader = -1;
        if (planted == SYMBOLIC_LINK) {
            ASSERT_EQ(symlink(target.c_str(), kClientLog.c_str()), 0);
        } else if (planted == HARD_LINK) {
            ASSERT_EQ(link(target.c_str(), kClientLog.c_str()), 0);
        } else {
            ASSERT_EQ(mkfifo(kClientLog.c_str(), 0600), 0);
            reader = open(kClientLog.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            const int writer = open(kClientLog.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            const std::string chunk(4096, 'f');
            while (write(writer, chunk.data(), chunk.size()) > 0) {
            }
            close(writer);
        }
        capture.clear();
        const ChildResult result = testsupport::RunProgram({testsupport::TwinPath(), "200", "x", ""}, {},
                                                           std::chrono::seconds(10));
        EXPECT_EQ(result.exitStatus, 1) << "-1: still running after 10 s; 141: SIGPIPE";
        EXPECT_EQ(testsupport::ReadFile(target), passwd);
        EXPECT_TRUE(Contains(capture.lines(), "DEBUG: Failed to open file log '" + kClientLog +
                                                  "': Refer to errno for details"));
        if (reader >= 0)
            close(reader);
    }
    unlink(kClientLog.c_str());
}

// A line feed in a text reaches the client log file escaped, inside its own
// line. Forwarding fails here (the daemon shuts its reading side), so the
// lines land in the file.
TEST_F(TrailsendTest, ALineFeedInATextCannotForgeAClientLogLine)
{
    testsupport::WriteFile(CLIENT_CONFIG_PATH, "log.audittrail: debug\n");
    testsupport::WriteFile(kClientLog, "");
    const std::string forged = "Dec 06 17:51:59 trailsend[1] ERROR: forged";
    StubDaemon daemon(DAEMON_SOCKET_PATH, {"--shutdown-read"});
    EXPECT_EQ(run({"200", "x\n" + forged, ""}).exitStatus, 1);
    daemon.stop();
    const std::string log = testsupport::ReadFile(kClientLog);
    EXPECT_NE(log.find("] DEBUG: UTF8STRING: x\\x0a" + forged + "\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("\n" + forged), std::string::npos) << log;
}

// Started with its standard descriptors closed, a command puts /dev/null
// there before it opens anything, so its socket cannot take their place. A
// daemon that never answers the handshake holds it while the test looks; the
// time-out then ends the run.
TEST_F(TrailsendTest, ClosedStandardDescriptorsGetDevNull)
{
    testsupport::WriteFile(CLIENT_CONFIG_PATH, "lrpc.timeout: 2\n");
    const struct {
        std::string program;
        int exitStatus;
    } cases[] = {
        {testsupport::TwinPath(), 1},
        {std::string(TRAILSEND_BUILD_DIR) + "/twin/trailsend-check", 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.program);
        StubDaemon daemon(DAEMON_SOCKET_PATH, {"--no-handshake-answer"});
        ChildProgram child({"/bin/sh", "-c", "exec \"$0\" 200 x '' <&- >&- 2>&-", c.program});
        const std::string descriptors = "/proc/" + std::to_string(child.pid()) + "/fd/";
        auto target = [&](int fd) {
            char link[256];
            const ssize_t length = readlink((descriptors + std::to_string(fd)).c_str(), link, sizeof link);
            return length > 0 ? std::string(link, static_cast<size_t>(length)) : std::string();
        };
        int socketDescriptor = -1;
        for (int round = 0; round < 400 && socketDescriptor < 0; round++) {
            for (int fd = 0; fd < 16 && socketDescriptor < 0; fd++)
                if (target(fd).rfind("socket:", 0) == 0)
                    socketDescriptor = fd;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_GE(socketDescriptor, 0) << "no session was opened";
        EXPECT_GT(socketDescriptor, 2);
        for (int fd = 0; fd <= 2; fd++)
            EXPECT_EQ(target(fd), "/dev/null") << fd;
        EXPECT_EQ(child.wait().exitStatus, c.exitStatus);
    }
}

TEST_F(TrailsendTest, RefusedHandshakeFails)
{
    const auto requests = runAndReceive({"200", "x", ""}, 1, {}, {"--handshake-answer", "2"});
    EXPECT_TRUE(requests.empty());
    const auto errors = errorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Failed to send the audit trail event (The user login to the system successfully)"),
              std::string::npos);
}

TEST_F(TrailsendTest, EventLostAfterTheSessionOpenedFailsTheCommand)
{
    // The daemon takes the handshake after shutting its reading side, so the
    // request's write fails with EPIPE. The forwarding of the WARNING line
    // fails the same way, so it lands in the client log file.
    testsupport::WriteFile(kClientLog, "");
    StubDaemon daemon(DAEMON_SOCKET_PATH, {"--json", "--shutdown-read"});
    const ChildResult result = run({"200", "x", ""});
    daemon.stop();
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(testsupport::StubMessagesOfType(daemon.lines(), kAuditTrailEvent).empty());
    const std::string log = testsupport::ReadFile(kClientLog);
    const size_t forwarding = log.find("] WARNING: Failed to send log message: Socket closed\n");
    const size_t request = log.find("] WARNING: Failed to send message: Socket closed, MsgType: 1200.\n");
    ASSERT_NE(request, std::string::npos) << log;
    ASSERT_NE(forwarding, std::string::npos) << log;
    EXPECT_LT(forwarding, request);
    const auto errors = errorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Failed to send the audit trail event (The user login to the system successfully)"),
              std::string::npos);
}

TEST_F(TrailsendTest, ForwardsClientLogLinesAtTraceLevel)
{
    testsupport::WriteFile(CLIENT_CONFIG_PATH, "log.audittrail: trace\n");
    const auto requests = runAndReceive({"200", "x", ""}, 0, {{"QR_SESSION_ID", "s-1"}});
    ASSERT_EQ(requests.size(), 1u);
    const auto texts = testsupport::ForwardedLogTexts(m_stubLines);
    char pidBytes[64];
    const uint64_t parent = static_cast<uint64_t>(getpid());
    const unsigned char *p = reinterpret_cast<const unsigned char *>(&parent);
    snprintf(pidBytes, sizeof pidBytes, "%02x %02x %02x %02x %02x %02x %02x %02x", p[0], p[1], p[2], p[3], p[4],
             p[5], p[6], p[7]);
    const std::string user = UserName();
    const std::vector<std::string> expected = {
        "-> SendATProxySetAuditTrailEventVAList",
        "The final targets setting of Norvalex Suite/Norvalex Commands is 2.",
        "AuditTrailEvent: Norvalex Suite Norvalex Commands 200 0.0 (null) " + user + " <userSid> s-1 " +
            std::to_string(parent),
        "UTF8STRING: x",
        "UTF8STRING: none",
        "Request: ATProxySetAuditTrailEvent[\"Norvalex Suite\",\"Norvalex Commands\",u200,BLOB:0,STRING:0,\"" + user +
            "\",BLOB:0,\"s-1\",BLOB:[8](" + pidBytes + "),u8,u2,BLOB:[2](78 00),u8,u5,BLOB:[5](6e 6f 6e 65 00),u0]",
        "Reply: Msg=0",
        "<- SendATProxySetAuditTrailEventVAList, result=(1)",
    };
    // In this order, among the property traces.
    auto from = texts.begin();
    for (const std::string &line : expected) {
        auto found = std::find(from, texts.end(), line);
        ASSERT_NE(found, texts.end()) << "missing or out of order: " << line;
        from = found + 1;
    }
}

TEST_F(TrailsendTest, SuccessLeavesTheFrameworkConfigurationUnopened)
{
    testsupport::WriteFile(FRAMEWORK_CONFIG_PATH, "");
    testsupport::WriteFile(CLIENT_CONFIG_PATH, "");
    OpenWatch framework(FRAMEWORK_CONFIG_PATH);
    OpenWatch client(CLIENT_CONFIG_PATH);
    ASSERT_EQ(runAndReceive({"200", "x", ""}).size(), 1u);
    EXPECT_FALSE(framework.opened());
    EXPECT_TRUE(client.opened()) << "the watch sees the client's own configuration read";
}

TEST_F(TrailsendTest, ItsOwnFormatterServesEverySharedObject)
{
    // A preloaded shared object formats a null string with snprintf: the
    // C library writes "(null)", our formatter "(NULL)". In the command the
    // call must reach ours, exported from the program's dynamic symbol table.
    testsupport::TempDir dir;
    const std::string result = dir.file("probe");
    const char *preload = getenv("LD_PRELOAD");
    const EnvChanges env = {{"LD_PRELOAD", std::string(FORMATTER_PROBE) + (preload ? std::string(":") + preload : "")},
                            {"FORMATTER_PROBE_FILE", result}};

    ASSERT_EQ(testsupport::RunProgram({"/bin/true"}, env).exitStatus, 0);
    ASSERT_EQ(testsupport::ReadFile(result), "(null)") << "the probe tells the C library's formatter apart";

    unlink(result.c_str());
    EXPECT_EQ(run({"200", "x"}, env).exitStatus, 1);
    EXPECT_EQ(testsupport::ReadFile(result), "(NULL)");
}

} // namespace
