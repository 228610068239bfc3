// The client context over the configuration file under the test root: log
// level fall-back, time-out, socket path, process name, the session to a
// real listening socket, cleanup lists and tear-down.
#include "client_common/client_context.h"
#include "client_common/client_props.h"
#include "client_common/client_props_access.h"
#include "client_common/log_buffer.h"
#include "client_common/well_known_paths.h"
#include "support/client_log_entries.h"
#include "support/stub_daemon.h"
#include "support/test_root.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using testsupport::StubDaemon;
using testsupport::TakeClientLogEntries;
using testsupport::TakeClientLogTexts;
using testsupport::TestRoot;

namespace {

const char kConfig[] = "/etc/quillmesh/quillmesh.conf";
const char *const kSenderPrefixes[] = {"audittrail.", "dirsvcd.clients.socket2", "log", "lrpc.timeout", nullptr};

class ClientContextTest : public ::testing::Test {
protected:
    ~ClientContextTest() override { ReleaseClientContext(&context); }

    // Sets the context up as the audit-trail sender does.
    void init(ClientPropertyTable *preloaded = nullptr)
    {
        InitClientContext(&context, preloaded, kSenderPrefixes, "audittrail.logdest", DEFAULT_CLIENT_LOG_DESTINATION,
                          "log.audittrail", "info");
        ASSERT_NE(context.log, nullptr);
    }

    TestRoot root;
    ClientContext context{};
};

// Accepts one connection on a Unix socket and answers the LRPC2 handshake.
class HandshakePeer {
public:
    explicit HandshakePeer(const std::string &path)
    {
        m_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        unlink(path.c_str());
        if (bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(m_listener, 1) != 0)
            ADD_FAILURE() << "cannot listen on " << path;
        m_thread = std::thread([this] {
            int connection = accept(m_listener, nullptr, nullptr);
            if (connection < 0)
                return;
            uint32_t word = 0;
            if (read(connection, &word, sizeof word) == sizeof word && word == 3) {
                uint32_t accept = 1;
                (void)!write(connection, &accept, sizeof accept);
            }
            char byte;
            while (read(connection, &byte, 1) > 0) {
            }
            close(connection);
        });
    }
    ~HandshakePeer()
    {
        shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        close(m_listener);
    }

private:
    int m_listener = -1;
    std::thread m_thread;
};

} // namespace

TEST_F(ClientContextTest, LevelFallsBackToShorterKeys)
{
    const struct {
        const char *content;
        uint32_t level;
        const char *name;
        const char *key; // the key that held the name; empty for the default
    } cases[] = {
        {"log = debug\n", CLIENT_LOG_DEBUG, "debug", "log"},
        {"other = 1\n", CLIENT_LOG_INFO, "info", ""},
        {"log.audittrail = verbose\nlog = trace\n", CLIENT_LOG_INFO, "verbose", "log.audittrail"},
        {"log.audittrail = Warn\nlog = error\n", CLIENT_LOG_WARNING, "Warn", "log.audittrail"},
        {"log = ERROR\n", CLIENT_LOG_ERROR, "ERROR", "log"},
        {"log.audittrail.x = trace\n", CLIENT_LOG_INFO, "info", ""},
    };
    for (const auto &c : cases) {
        TestRoot::write(kConfig, c.content);
        init();
        EXPECT_EQ(context.log->threshold, c.level) << c.content;
        size_t keyLength = 99;
        EXPECT_STREQ(GetClientLogLevelName(&context, "log.audittrail", "info", &keyLength), c.name) << c.content;
        EXPECT_EQ(std::string("log.audittrail", keyLength), c.key) << c.content;
        ReleaseClientContext(&context);
    }
}

TEST_F(ClientContextTest, DestinationAndSocketPathFromConfiguration)
{
    TestRoot::write(kConfig, "audittrail.logdest = syslog\ndirsvcd.clients.socket2 = /run/x.sock\n");
    init();
    EXPECT_EQ(context.configurationStatus, 0);
    EXPECT_STREQ(context.log->destination, "syslog");
    EXPECT_STREQ(context.log->socketPath, "/run/x.sock");
}

TEST_F(ClientContextTest, UnreadableConfigurationRunsOnDefaults)
{
    init();
    EXPECT_EQ(context.configuration, nullptr);
    EXPECT_EQ(context.configurationStatus, PROP_NOT_FOUND);
    EXPECT_STREQ(context.log->destination, DEFAULT_CLIENT_LOG_DESTINATION);
    EXPECT_STREQ(context.log->socketPath, DAEMON_SOCKET_PATH);
    EXPECT_EQ(context.log->threshold, static_cast<uint32_t>(CLIENT_LOG_INFO));
    EXPECT_EQ(context.timeout, 300);
}

TEST_F(ClientContextTest, TimeoutFromConfiguration)
{
    const std::string illegal = "Illegal value for property lrpc.timeout: ";
    const struct {
        const char *content;
        int timeout;
        std::string lastLine; // the last line at DEBUG; empty: none
    } cases[] = {
        {"other = 1\n", 300, ""},
        {"lrpc.timeout = 0\n", 0, ""},
        {"lrpc.timeout = 2m\n", 120, ""},
        {"lrpc.timeout = -4\n", 300, ""},
        {"lrpc.timeout = 45\n", 45, ""},
        // A value that cannot be evaluated is no licence to wait for ever.
        {"lrpc.timeout = file:/nonexistent/timeout\n", 300, illegal + "0 -- value must be non-negative. Using 300"},
    };
    for (const auto &c : cases) {
        TestRoot::write(kConfig, std::string(c.content) + "log = debug\n");
        init();
        EXPECT_EQ(context.timeout, c.timeout) << c.content;
        EXPECT_EQ(context.log->timeout, c.timeout) << c.content;
        const std::vector<std::string> lines = TakeClientLogTexts(context.log);
        EXPECT_EQ(lines.empty() ? "" : lines.back(), c.lastLine) << c.content;
        ReleaseClientContext(&context);
    }
}

TEST_F(ClientContextTest, NegativeCachedTimeoutIsReplacedAndLogged)
{
    TestRoot::write(kConfig, "lrpc.timeout = -5\nlog = debug\n");
    int status = -1;
    ClientPropertyTable *table = ParseClientConfigFile(CLIENT_CONFIG_PATH, nullptr, &status);
    ASSERT_EQ(status, 0);
    // The integer read caches -5, which the time read then returns as is.
    ClientContext reader{};
    reader.configuration = table;
    ASSERT_EQ(ClientGetPropertyInt(&reader, "lrpc.timeout", 0), -5);

    init(table);
    EXPECT_EQ(context.configuration, table);
    EXPECT_EQ(context.timeout, 300);
    EXPECT_EQ(TakeClientLogTexts(context.log),
              std::vector<std::string>{"Illegal value for property lrpc.timeout: -5 -- value must be non-negative. Using 300"});
}

TEST_F(ClientContextTest, ProcessNameIsCutAtTheFirstParenthesis)
{
    char original[17] = {};
    prctl(PR_GET_NAME, original);
    prctl(PR_SET_NAME, "ab)cd e");
    init();
    EXPECT_STREQ(GetClientProcessName(&context), "ab");
    EXPECT_STREQ(context.log->ident, "ab");
    prctl(PR_SET_NAME, original);
    // Cached: the context keeps the name it read.
    EXPECT_STREQ(GetClientProcessName(&context), "ab");
    EXPECT_EQ(GetClientProcessName(nullptr), nullptr);
}

TEST_F(ClientContextTest, ProcessNameOfThisProgram)
{
    init();
    std::string expected = std::string("client_context_test").substr(0, 15);
    EXPECT_EQ(GetClientProcessName(&context), expected);
}

TEST_F(ClientContextTest, RelativeSocketPathFailsTheSession)
{
    TestRoot::write(kConfig, "dirsvcd.clients.socket2 = relative/sock\nlog = debug\n");
    init();
    TakeClientLogEntries(context.log);
    EXPECT_EQ(OpenLRPC2Session(&context), 0);
    EXPECT_EQ(context.session, nullptr);
    std::vector<std::string> lines = TakeClientLogTexts(context.log);
    ASSERT_EQ(lines.size(), 1u);
    const std::string start = "Failed to open connection to dirsvcd through 'relative/sock' Socket path does not exist (";
    EXPECT_EQ(lines[0].rfind(start, 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].back(), ')');
}

TEST_F(ClientContextTest, SessionHandshakeIsBoundedByTheTimeOut)
{
    StubDaemon daemon(DAEMON_SOCKET_PATH, {"--no-handshake-answer"});
    TestRoot::write(kConfig, "lrpc.timeout = 1\nlog = debug\n");
    init();
    TakeClientLogEntries(context.log);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenLRPC2Session(&context), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    const std::vector<std::string> lines = TakeClientLogTexts(context.log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Failed to open connection to dirsvcd through '" + std::string(DAEMON_SOCKET_PATH) +
                                 "' Timeout during operation (",
                             0),
              0u)
        << lines[0];
}

TEST_F(ClientContextTest, SessionOpensOnTheDaemonSocket)
{
    HandshakePeer peer(DAEMON_SOCKET_PATH);
    init();
    EXPECT_EQ(OpenLRPC2Session(&context), 1);
    EXPECT_NE(context.session, nullptr);
    ReleaseClientContext(&context);
    EXPECT_EQ(context.session, nullptr);
}

TEST_F(ClientContextTest, ReleaseWithoutSessionFreesEverything)
{
    TestRoot::write(kConfig, "log = trace\n");
    init();
    EXPECT_EQ(OpenLRPC2Session(&context), 0);
    AddCallCleanup(&context, free, malloc(16));
    ReleaseClientContext(&context);
    EXPECT_EQ(context.configuration, nullptr);
    EXPECT_EQ(context.log, nullptr);
    EXPECT_EQ(context.callCleanup, nullptr);
    EXPECT_EQ(context.contextCleanup, nullptr);
    ReleaseClientContext(&context);
    ReleaseClientContext(nullptr);
}

TEST_F(ClientContextTest, OverrideModeOnlyForExactlyOne)
{
    TestRoot::write(kConfig, "log = trace\n");
    init();
    const struct {
        const char *value; // null: unset
        int expected;
    } cases[] = {{"1", 1}, {"11", 0}, {"0", 0}, {"", 0}, {nullptr, 0}};
    for (const auto &c : cases) {
        if (c.value)
            setenv("QMC_OVERRIDE_MODE", c.value, 1);
        else
            unsetenv("QMC_OVERRIDE_MODE");
        TakeClientLogEntries(context.log);
        EXPECT_EQ(IsOverrideEnabled(&context), c.expected) << (c.value ? c.value : "(unset)");
        std::vector<std::string> expectedLines;
        if (c.expected)
            expectedLines.push_back("QMC_OVERRIDE_MODE=1, assuming override mode");
        EXPECT_EQ(TakeClientLogTexts(context.log), expectedLines);
    }
    unsetenv("QMC_OVERRIDE_MODE");
}

// ---------------------------------------------------------------------------
// Cleanup lists.

namespace {

std::vector<int> gReleased;

void RecordRelease(void *object) { gReleased.push_back(static_cast<int>(reinterpret_cast<intptr_t>(object))); }

} // namespace

TEST(CleanupList, RunsLastRegisteredFirstAcrossChunks)
{
    gReleased.clear();
    CleanupList *list = CleanupListNew();
    ASSERT_NE(list, nullptr);
    const int count = 2 * CLEANUP_CHUNK_PAIRS + 3;
    for (int i = 0; i < count; i++)
        CleanupListAdd(list, RecordRelease, reinterpret_cast<void *>(static_cast<intptr_t>(i)));
    int chunks = 0;
    for (CleanupChunk *chunk = list->last; chunk != nullptr; chunk = chunk->previous)
        chunks++;
    EXPECT_EQ(chunks, 3);
    CleanupListRun(list);
    ASSERT_EQ(gReleased.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; i++)
        EXPECT_EQ(gReleased[static_cast<size_t>(i)], count - 1 - i);
}

TEST(CleanupList, MissingListDropsThePair)
{
    gReleased.clear();
    CleanupListAdd(nullptr, RecordRelease, nullptr);
    CleanupListRun(nullptr);
    EXPECT_TRUE(gReleased.empty());
}

TEST_F(ClientContextTest, CallMessagesAreReleasedAndForgotten)
{
    init();
    gReleased.clear();
    for (intptr_t i = 1; i <= 3; i++)
        AddCallCleanup(&context, RecordRelease, reinterpret_cast<void *>(i));
    ReleaseCallMessages(&context);
    EXPECT_EQ(gReleased, (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(context.callCleanup, nullptr);
    AddCallCleanup(&context, RecordRelease, reinterpret_cast<void *>(intptr_t{4}));
    ReleaseClientContext(&context);
    EXPECT_EQ(gReleased, (std::vector<int>{3, 2, 1, 4}));
}
