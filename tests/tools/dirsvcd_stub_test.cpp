#include "client_common/client_msg.h"
#include "client_common/lrpc2_session.h"
#include "client_common/lrpc2_status.h"
#include "client_common/msg_type_table.h"
#include "support/client_handles.h"
#include "support/stub_daemon.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using testsupport::MsgPtr;
using testsupport::SessionPtr;
using testsupport::StubDaemon;
using testsupport::TempDir;
using Clock = std::chrono::steady_clock;

namespace {

SessionPtr Open(const StubDaemon &daemon)
{
    int status = -1;
    SessionPtr session(SessionOpen(daemon.socketPath().c_str(), GetMessageTable(), 5, &status));
    EXPECT_EQ(status, 0) << LRPC2StatusText(status);
    return session;
}

MsgPtr NewMsg(uint32_t type)
{
    int status = -1;
    MsgPtr msg(NewClientMsg(type, GetMessageTable(), LRPC2_HEADER_SIZE, &status));
    EXPECT_EQ(status, 0);
    return msg;
}

// Sends a completed message and returns the reply's type (-1 for none).
int Transact(LRPC2Session *session, ClientMsg *msg, int *status = nullptr)
{
    int result = -1;
    MsgPtr reply(SessionTransact(session, msg, 5, &result));
    if (status)
        *status = result;
    EXPECT_EQ(result, 0) << LRPC2StatusText(result);
    uint16_t type = 0;
    return reply && MsgGetType(reply.get(), &type) == 0 ? type : -1;
}

struct RunResult {
    int exitStatus;
    std::string output;
};

// Runs the stub to its end with both output streams captured together.
RunResult RunStub(const std::string &arguments)
{
    const std::string command = StubDaemon::programPath() + " " + arguments + " 2>&1";
    RunResult result{-1, ""};
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return result;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        result.output.append(chunk, got);
    int status = pclose(pipe);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

TEST(DirsvcdStub, HelpExplainsEveryOption)
{
    RunResult help = RunStub("--help");
    EXPECT_EQ(help.exitStatus, 0);
    for (const char *option : {"SOCKET_PATH", "--json", "--count", "--timeout", "SIGTERM", "--handshake-answer",
                               "--no-handshake-answer", "--hang-up", "--shutdown-read", "--challenge",
                               "--bad-magic", "--malformed-reply", "--delay", "--no-reply", "--trickle", "--help",
                               "Exit status"})
        EXPECT_NE(help.output.find(option), std::string::npos) << option;
}

TEST(DirsvcdStub, RefusesBadCommandLinesWithStatusOne)
{
    TempDir dir;
    const std::string socket = dir.file("s");
    for (const std::string &arguments :
         {std::string(""), "--count 0 " + socket, "--count x " + socket, "--timeout -1 " + socket,
          "--delay 1s " + socket, "--trickle 0 " + socket, "--frobnicate " + socket, "--hang-up --shutdown-read " + socket,
          socket + " " + socket, std::string("--count")}) {
        RunResult run = RunStub(arguments);
        EXPECT_EQ(run.exitStatus, 1) << arguments;
        EXPECT_NE(run.output.find("dirsvcd-stub: "), std::string::npos) << arguments;
    }
    // A path held by something else than a socket is left alone.
    const std::string file = dir.write("plain", "data");
    EXPECT_EQ(RunStub("--timeout 1 " + file).exitStatus, 1);
    EXPECT_EQ(testsupport::ReadFile(file), "data");
}

TEST(DirsvcdStub, PrintsTheTraceLineOfEachMessageOnOneLine)
{
    StubDaemon daemon;
    SessionPtr session = Open(daemon);
    ASSERT_NE(session, nullptr);
    MsgPtr ping = NewMsg(MSG_TYPE_CONTROL_PING);
    ASSERT_EQ(MsgAddString(ping.get(), "two\nlines\tand\x01"), 0);
    ASSERT_EQ(MsgAddPassword(ping.get(), "secret"), 0);
    ASSERT_EQ(MsgAddUInt32(ping.get(), 7), 0);
    ASSERT_EQ(MsgComplete(ping.get()), 0);
    EXPECT_EQ(Transact(session.get(), ping.get()), static_cast<int>(MSG_TYPE_CONTROL_PING));
    EXPECT_EQ(daemon.waitForLines(1),
              std::vector<std::string>{"ControlPing[\"two\\nlines\\tand\\x01\",(password),u7]"});
}

TEST(DirsvcdStub, JsonShowsEveryParameterTypeAndNeverAPassword)
{
    StubDaemon daemon({"--json"});
    SessionPtr session = Open(daemon);
    ASSERT_NE(session, nullptr);
    MsgPtr msg = NewMsg(MSG_TYPE_CONTROL_PING);
    const unsigned char blob[] = {0x01, 0xab, 0xff};
    const MsgKeyValue pairs[] = {{const_cast<char *>("k"), const_cast<char *>("v")},
                                 {const_cast<char *>("k2"), nullptr},
                                 {nullptr, nullptr}};
    ASSERT_EQ(MsgAddBool(msg.get(), 5), 0);
    ASSERT_EQ(MsgAddInt32(msg.get(), -5), 0);
    ASSERT_EQ(MsgAddUInt32(msg.get(), 4000000000u), 0);
    ASSERT_EQ(MsgAddString(msg.get(), "a\"b\\ü"), 0);
    ASSERT_EQ(MsgAddString(msg.get(), nullptr), 0);
    ASSERT_EQ(MsgAddPassword(msg.get(), "secret"), 0);
    ASSERT_EQ(MsgAddBlob(msg.get(), blob, sizeof blob), 0);
    ASSERT_EQ(MsgAddBlob(msg.get(), nullptr, 0), 0);
    ASSERT_EQ(MsgBeginStringArray(msg.get()), 0);
    ASSERT_EQ(MsgAddArrayString(msg.get(), "x"), 0);
    ASSERT_EQ(MsgAddArrayString(msg.get(), nullptr), 0);
    ASSERT_EQ(MsgAddArrayStringLen(msg.get(), nullptr, 0), 0);
    ASSERT_EQ(MsgAddKeyValueArray(msg.get(), pairs), 0);
    ASSERT_EQ(MsgComplete(msg.get()), 0);
    EXPECT_EQ(Transact(session.get(), msg.get()), static_cast<int>(MSG_TYPE_CONTROL_PING));

    auto lines = daemon.waitForLines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "{\"connection\":1,\"type\":100,\"name\":\"ControlPing\",\"parameters\":["
              "{\"type\":\"bool\",\"value\":true},"
              "{\"type\":\"int32\",\"value\":-5},"
              "{\"type\":\"uint32\",\"value\":4000000000},"
              "{\"type\":\"string\",\"value\":\"a\\\"b\\\\ü\"},"
              "{\"type\":\"string\",\"value\":null},"
              "{\"type\":\"password\",\"value\":\"(password)\"},"
              "{\"type\":\"blob\",\"length\":3,\"value\":\"01abff\"},"
              "{\"type\":\"blob\",\"value\":null},"
              "{\"type\":\"string_array\",\"value\":[\"x\",\"\",null]},"
              "{\"type\":\"key_value_array\",\"value\":[[\"k\",\"v\"],[\"k2\",null]]}]}");
    EXPECT_EQ(lines[0].find("secret"), std::string::npos);
}

TEST(DirsvcdStub, JsonDecodesControlLog2Entries)
{
    StubDaemon daemon({"--json"});
    SessionPtr session = Open(daemon);
    ASSERT_NE(session, nullptr);
    for (bool closed : {true, false}) {
        MsgPtr log = NewMsg(MSG_TYPE_CONTROL_LOG2);
        ASSERT_EQ(AddLogEntry(log.get(), 1700000000u, "trailsend", 42, 3, "at_proxy_lrpc2", 120,
                              "SendAuditTrailEvent", "first"), 0);
        ASSERT_EQ(AddLogEntry(log.get(), 1700000001u, "trailsend", 42, 4, "client_context", 7,
                              "OpenLRPC2Session", "second"), 0);
        if (closed) {
            ASSERT_EQ(AddLogEntry(log.get(), 0, nullptr, 0, 0, nullptr, 0, nullptr, nullptr), 0);
        }
        ASSERT_EQ(MsgComplete(log.get()), 0);
        EXPECT_EQ(Transact(session.get(), log.get()), static_cast<int>(MSG_TYPE_CONTROL_LOG2));
    }
    auto lines = daemon.waitForLines(2);
    ASSERT_EQ(lines.size(), 2u);
    const std::string entries =
        "\"entries\":[{\"time\":1700000000,\"process\":\"trailsend\",\"pid\":42,\"level\":3,"
        "\"file\":\"at_proxy_lrpc2\",\"line\":120,\"operation\":\"SendAuditTrailEvent\",\"text\":\"first\"},"
        "{\"time\":1700000001,\"process\":\"trailsend\",\"pid\":42,\"level\":4,"
        "\"file\":\"client_context\",\"line\":7,\"operation\":\"OpenLRPC2Session\",\"text\":\"second\"}]";
    EXPECT_EQ(lines[0].rfind("{\"connection\":1,\"type\":107,\"name\":\"ControlLog2\",\"parameters\":[", 0), 0u);
    EXPECT_NE(lines[0].find(entries + ",\"entriesClosed\":true}"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(entries + ",\"entriesClosed\":false}"), std::string::npos) << lines[1];
}

TEST(DirsvcdStub, ServesSeveralConnectionsAtOnce)
{
    StubDaemon daemon({"--json"});
    SessionPtr first = Open(daemon);
    SessionPtr second = Open(daemon);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    // A third client that stays idle does not hold up the others.
    SessionPtr third = Open(daemon);
    for (LRPC2Session *session : {second.get(), first.get(), second.get()}) {
        MsgPtr ping = NewMsg(MSG_TYPE_CONTROL_PING);
        ASSERT_EQ(MsgComplete(ping.get()), 0);
        EXPECT_EQ(Transact(session, ping.get()), static_cast<int>(MSG_TYPE_CONTROL_PING));
    }
    auto lines = daemon.waitForLines(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("{\"connection\":2,", 0), 0u);
    EXPECT_EQ(lines[1].rfind("{\"connection\":1,", 0), 0u);
    EXPECT_EQ(lines[2].rfind("{\"connection\":2,", 0), 0u);
}

TEST(DirsvcdStub, AnswersTypesMissingFromTheTableWithDisconnect)
{
    StubDaemon daemon;
    SessionPtr session = Open(daemon);
    ASSERT_NE(session, nullptr);
    // Type 106 cannot be built by the codec; write the frame by hand.
    const unsigned char frame[] = {0, 0, 0, 0, 11, 0, 0, 0, 106, 0, 0};
    uint32_t magic = LRPC2_FRAME_MAGIC;
    unsigned char bytes[sizeof frame];
    memcpy(bytes, frame, sizeof frame);
    memcpy(bytes, &magic, 4);
    ASSERT_EQ(SendAll(session->writeFd, bytes, sizeof bytes, 5, 1), 0);
    unsigned char reply[11];
    ASSERT_EQ(RecvAll(session->readFd, reply, sizeof reply, 5, 1), 0);
    EXPECT_EQ(memcmp(reply, &magic, 4), 0);
    EXPECT_EQ(reply[4], 11);
    EXPECT_EQ(reply[8], 0);
    EXPECT_EQ(reply[9], 0);
    EXPECT_EQ(daemon.waitForLines(1), std::vector<std::string>{"106[]"});
}

TEST(DirsvcdStub, ExitsWithTwoOnAMalformedFrame)
{
    const struct {
        const char *what;
        std::vector<unsigned char> frame;
    } cases[] = {
        {"bad magic", {0x00, 0x00, 0x00, 0x00, 11, 0, 0, 0, 100, 0, 0}},
        {"length below the smallest frame", {0, 0, 0, 0, 10, 0, 0, 0, 100, 0}},
        {"wire type 9", {0, 0, 0, 0, 12, 0, 0, 0, 100, 0, 9, 0}},
        {"no end marker", {0, 0, 0, 0, 12, 0, 0, 0, 100, 0, 1, 1}},
    };
    for (auto c : cases) {
        StubDaemon daemon;
        SessionPtr session = Open(daemon);
        ASSERT_NE(session, nullptr);
        if (std::string(c.what) != "bad magic") {
            uint32_t magic = LRPC2_FRAME_MAGIC;
            memcpy(c.frame.data(), &magic, 4);
        }
        ASSERT_EQ(SendAll(session->writeFd, c.frame.data(), c.frame.size(), 5, 1), 0);
        EXPECT_EQ(daemon.waitForExit(), 2) << c.what;
        EXPECT_NE(daemon.errors().find("malformed frame"), std::string::npos) << c.what;
        EXPECT_TRUE(daemon.lines().empty()) << c.what;
    }
}

TEST(DirsvcdStub, StopsAfterCountOnceTheLastReplyIsOut)
{
    StubDaemon daemon({"--count", "2", "--delay", "200"});
    SessionPtr session = Open(daemon);
    ASSERT_NE(session, nullptr);
    for (int i = 0; i < 2; ++i) {
        MsgPtr ping = NewMsg(MSG_TYPE_CONTROL_PING);
        ASSERT_EQ(MsgComplete(ping.get()), 0);
        EXPECT_EQ(Transact(session.get(), ping.get()), static_cast<int>(MSG_TYPE_CONTROL_PING));
    }
    EXPECT_EQ(daemon.waitForExit(), 0);
    EXPECT_EQ(daemon.lines().size(), 2u);
    // The socket goes with the stub.
    struct stat st;
    EXPECT_NE(lstat(daemon.socketPath().c_str(), &st), 0);
}

TEST(DirsvcdStub, StopsAfterTheTimeOut)
{
    {
        StubDaemon daemon({"--timeout", "1"});
        const auto start = Clock::now();
        EXPECT_EQ(daemon.waitForExit(), 0);
        EXPECT_GE(SecondsSince(start), 0.8);
    }
    {
        // Short of --count: the time-out is a failure.
        StubDaemon daemon({"--timeout", "1", "--count", "5"});
        SessionPtr session = Open(daemon);
        ASSERT_NE(session, nullptr);
        MsgPtr ping = NewMsg(MSG_TYPE_CONTROL_PING);
        ASSERT_EQ(MsgComplete(ping.get()), 0);
        Transact(session.get(), ping.get());
        EXPECT_EQ(daemon.waitForExit(), 3);
    }
}

TEST(DirsvcdStub, StopsOnSigintAndSigterm)
{
    for (int signo : {SIGINT, SIGTERM}) {
        StubDaemon daemon;
        SessionPtr session = Open(daemon);
        ASSERT_NE(session, nullptr);
        kill(daemon.pid(), signo);
        EXPECT_EQ(daemon.waitForExit(), 0) << signo;
        struct stat st;
        EXPECT_NE(lstat(daemon.socketPath().c_str(), &st), 0);
    }
}

TEST(DirsvcdStub, ReplacesAStaleSocketAtAGivenPath)
{
    TempDir dir;
    const std::string path = dir.file("daemon2");
    {
        StubDaemon first(path, {});
    }
    StubDaemon second(path, {});
    SessionPtr session = Open(second);
    EXPECT_NE(session, nullptr);
}
