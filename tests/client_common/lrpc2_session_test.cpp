#include "client_common/client_msg.h"
#include "client_common/client_msg_reader.h"
#include "client_common/lrpc2_session.h"
#include "client_common/lrpc2_status.h"
#include "client_common/msg_type_table.h"
#include "support/client_handles.h"
#include "support/stub_daemon.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using testsupport::MsgPtr;
using testsupport::SessionPtr;
using testsupport::StubDaemon;
using testsupport::TempDir;
using Clock = std::chrono::steady_clock;

namespace {

using Bytes = std::vector<unsigned char>;


MsgPtr CompletedMsg(uint32_t type, const MsgTypeTable *table = GetMessageTable())
{
    int status = -1;
    MsgPtr msg(NewClientMsg(type, table, LRPC2_HEADER_SIZE, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(MsgComplete(msg.get()), 0);
    return msg;
}

// Sends a ping over the session; the reply, or null with the reason in *status.
MsgPtr Ping(LRPC2Session *session, int timeout, int *status)
{
    MsgPtr request = CompletedMsg(MSG_TYPE_CONTROL_PING);
    return MsgPtr(SessionTransact(session, request.get(), timeout, status));
}

uint16_t TypeOf(ClientMsg *msg)
{
    uint16_t type = 0xFFFF;
    EXPECT_EQ(MsgGetType(msg, &type), 0);
    return type;
}

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A raw frame as the daemon would send it: header, type, WIRE_END.
Bytes EmptyFrame(uint16_t type, uint32_t magic = LRPC2_FRAME_MAGIC, uint32_t length = 11)
{
    Bytes frame(11);
    memcpy(frame.data(), &magic, 4);
    memcpy(frame.data() + 4, &length, 4);
    memcpy(frame.data() + 8, &type, 2);
    frame[10] = 0;
    return frame;
}

Bytes WordBytes(int32_t word)
{
    Bytes bytes(4);
    memcpy(bytes.data(), &word, 4);
    return bytes;
}

// Blocking helpers for the peer side of a test; they never use the code
// under test.
void WriteBytes(int fd, const Bytes &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

Bytes ReadBytes(int fd, size_t n)
{
    Bytes bytes(n);
    size_t done = 0;
    while (done < n) {
        ssize_t got = recv(fd, bytes.data() + done, n - done, 0);
        if (got <= 0) {
            bytes.resize(done);
            break;
        }
        done += static_cast<size_t>(got);
    }
    return bytes;
}

// Reads one frame by its length field.
Bytes ReadFrame(int fd)
{
    Bytes header = ReadBytes(fd, 8);
    if (header.size() != 8)
        return header;
    uint32_t length = 0;
    memcpy(&length, header.data() + 4, 4);
    Bytes rest = ReadBytes(fd, length - 8);
    header.insert(header.end(), rest.begin(), rest.end());
    return header;
}

// A daemon written in the test for byte-exact exchanges the stub does not
// offer: listens in a temporary folder and runs a script on the first
// connection, after taking the handshake word and accepting it.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::function<void(int fd)> script) : m_path(m_dir.file("peer.sock"))
    {
        m_listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address;
        memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
        if (bind(m_listenFd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
            listen(m_listenFd, 4) != 0)
            ADD_FAILURE() << "cannot listen on " << m_path << ": " << strerror(errno);
        m_thread = std::thread([this, script] {
            int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            m_handshake = ReadBytes(fd, 4);
            WriteBytes(fd, WordBytes(LRPC2_HANDSHAKE_ACCEPT_WORD));
            script(fd);
            close(fd);
        });
    }
    ~ScriptedPeer()
    {
        // Wakes an accept that no client came to.
        shutdown(m_listenFd, SHUT_RDWR);
        join();
        close(m_listenFd);
    }
    const std::string &path() const { return m_path; }
    // Waits for the script to finish.
    void join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    const Bytes &handshake() const { return m_handshake; }

private:
    TempDir m_dir;
    std::string m_path;
    int m_listenFd = -1;
    Bytes m_handshake;
    std::thread m_thread;
};

SessionPtr Open(const std::string &path, int timeout = 5, const MsgTypeTable *table = GetMessageTable())
{
    int status = -1;
    SessionPtr session(SessionOpen(path.c_str(), table, timeout, &status));
    EXPECT_EQ(status, 0) << LRPC2StatusText(status);
    EXPECT_NE(session, nullptr);
    return session;
}

struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
    ~SocketPair()
    {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    void closePeer()
    {
        close(fds[1]);
        fds[1] = -1;
    }
};

bool NonBlocking(int fd)
{
    return fcntl(fd, F_GETFL) & O_NONBLOCK;
}

} // namespace

// ---- opening ------------------------------------------------------------

TEST(SessionOpen, RefusesPathsThatAreNotAbsoluteWith400)
{
    for (const char *path : {static_cast<const char *>(nullptr), "", "daemon2", "./daemon2", "var/quillmesh/daemon2"}) {
        int status = -1;
        EXPECT_EQ(SessionOpen(path, GetMessageTable(), 1, &status), nullptr) << (path ? path : "(null)");
        EXPECT_EQ(status, LRPC2_ERR_NO_SOCKET_PATH) << (path ? path : "(null)");
    }
}

TEST(SessionOpen, FailsWith401WhenNothingListensOrThePathCannotBeASocketAddress)
{
    TempDir dir;
    const std::string tooLong = dir.path() + "/" + std::string(sizeof(sockaddr_un::sun_path), 'x');
    for (const std::string &path : {dir.file("nobody-listens"), tooLong}) {
        int status = -1;
        EXPECT_EQ(SessionOpen(path.c_str(), GetMessageTable(), 1, &status), nullptr);
        EXPECT_EQ(status, LRPC2_ERR_CANNOT_OPEN_SOCKET) << path;
    }
}

TEST(SessionOpen, ReportsEachHandshakeFailure)
{
    const struct {
        std::vector<std::string> options;
        int expected;
    } cases[] = {
        {{"--handshake-answer", "2"}, LRPC2_ERR_CANNOT_OPEN_SOCKET},
        {{"--handshake-answer", "0"}, LRPC2_ERR_CANNOT_OPEN_SOCKET},
        {{"--hang-up"}, LRPC2_ERR_SOCKET_CLOSED},
    };
    for (const auto &c : cases) {
        StubDaemon daemon(c.options);
        int status = -1;
        EXPECT_EQ(SessionOpen(daemon.socketPath().c_str(), GetMessageTable(), 5, &status), nullptr);
        EXPECT_EQ(status, c.expected) << c.options[0];
    }
}

TEST(SessionOpen, GivesUpWith408WhenTheHandshakeIsNeverAnswered)
{
    StubDaemon daemon({"--no-handshake-answer"});
    int status = -1;
    const auto start = Clock::now();
    EXPECT_EQ(SessionOpen(daemon.socketPath().c_str(), GetMessageTable(), 1, &status), nullptr);
    EXPECT_EQ(status, LRPC2_ERR_TIMEOUT);
    EXPECT_GE(SecondsSince(start), 0.8);
    EXPECT_LT(SecondsSince(start), 4.0);
}

TEST(SessionOpen, SendsWordThreeAndLeavesASafeNonBlockingSocketWithCredentials)
{
    ScriptedPeer peer([](int) {});
    SessionPtr session = Open(peer.path());
    ASSERT_NE(session, nullptr);
    peer.join();
    EXPECT_EQ(peer.handshake(), WordBytes(LRPC2_HANDSHAKE_CLIENT_WORD));
    EXPECT_EQ(session->readFd, session->writeFd);
    EXPECT_EQ(session->isSocket, 1);
    EXPECT_EQ(session->table, GetMessageTable());
    EXPECT_TRUE(fcntl(session->readFd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(NonBlocking(session->readFd));
    int passcred = 0;
    socklen_t length = sizeof passcred;
    ASSERT_EQ(getsockopt(session->readFd, SOL_SOCKET, SO_PASSCRED, &passcred, &length), 0);
    EXPECT_EQ(passcred, 1);
}

// ---- transactions -------------------------------------------------------

TEST(SessionTransact, RefusesNullSessionAndMessagesWithoutFrame)
{
    MsgPtr complete = CompletedMsg(MSG_TYPE_CONTROL_PING);
    int status = -1;
    EXPECT_EQ(SessionTransact(nullptr, complete.get(), 1, &status), nullptr);
    EXPECT_EQ(status, LRPC2_ERR_BAD_SESSION);

    StubDaemon daemon;
    SessionPtr session = Open(daemon.socketPath());
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(SessionTransact(session.get(), nullptr, 1, &status), nullptr);
    EXPECT_EQ(status, LRPC2_ERR_INVALID_MESSAGE);
    MsgPtr building(NewClientMsg(MSG_TYPE_CONTROL_PING, GetMessageTable(), LRPC2_HEADER_SIZE, nullptr));
    EXPECT_EQ(SessionTransact(session.get(), building.get(), 1, &status), nullptr);
    EXPECT_EQ(status, LRPC2_ERR_INVALID_MESSAGE);
    // Nothing was sent for either.
    EXPECT_TRUE(daemon.lines().empty());
}

TEST(SessionTransact, WritesHeaderAndReturnsTheReply)
{
    StubDaemon daemon;
    SessionPtr session = Open(daemon.socketPath());
    ASSERT_NE(session, nullptr);
    for (int round = 0; round < 3; ++round) {
        MsgPtr request = CompletedMsg(MSG_TYPE_CONTROL_PING);
        int status = -1;
        MsgPtr reply(SessionTransact(session.get(), request.get(), 5, &status));
        ASSERT_EQ(status, 0) << LRPC2StatusText(status);
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(TypeOf(reply.get()), MSG_TYPE_CONTROL_PING);

        unsigned char *frame = nullptr;
        size_t length = 0;
        ASSERT_EQ(MsgGetFrame(request.get(), &frame, &length), 0);
        EXPECT_EQ(EmptyFrame(MSG_TYPE_CONTROL_PING), Bytes(frame, frame + length));
    }
    EXPECT_EQ(daemon.waitForLines(3), std::vector<std::string>(3, "ControlPing[]"));
}

TEST(FrameHeader, IsWrittenIntoACompletedMessageOnly)
{
    int status = 0;
    MsgPtr message(NewClientMsg(MSG_TYPE_AT_PROXY_SET_AUDIT_TRAIL_EVENT, GetMessageTable(), LRPC2_HEADER_SIZE, &status));
    unsigned char *frame = nullptr;
    size_t length = 0;
    EXPECT_EQ(WriteLRPC2FrameHeader(message.get(), &frame, &length), LRPC2_ERR_INVALID_MESSAGE) << "not complete";
    EXPECT_EQ(WriteLRPC2FrameHeader(nullptr, &frame, &length), LRPC2_ERR_INVALID_MESSAGE);
    ASSERT_EQ(MsgComplete(message.get()), 0);
    ASSERT_EQ(WriteLRPC2FrameHeader(message.get(), &frame, &length), LRPC2_OK);
    ASSERT_EQ(length, 11u); // header, type, end marker
    const unsigned char expected[] = {0x12, 0x80, 0xcd, 0xab, 11, 0, 0, 0, 0xb0, 0x04, 0};
    EXPECT_EQ(std::vector<unsigned char>(frame, frame + length), std::vector<unsigned char>(expected, expected + 11));

    MsgPtr headerless(NewClientMsg(MSG_TYPE_AT_PROXY_SET_AUDIT_TRAIL_EVENT, GetMessageTable(), 0, &status));
    ASSERT_EQ(MsgComplete(headerless.get()), 0);
    EXPECT_EQ(WriteLRPC2FrameHeader(headerless.get(), &frame, &length), LRPC2_ERR_INVALID_MESSAGE);
}

TEST(SessionTransact, OneWayMessageReturnsOnceWrittenWithoutReply)
{
    StubDaemon daemon({"--no-reply"});
    SessionPtr session = Open(daemon.socketPath());
    ASSERT_NE(session, nullptr);
    int status;
    MsgPtr request(NewClientMsg(MSG_TYPE_AT_PROXY_SET_AUDIT_TRAIL_EVENT, GetMessageTable(), LRPC2_HEADER_SIZE, &status));
    ASSERT_EQ(MsgAddString(request.get(), "Norvalex Suite"), 0);
    ASSERT_EQ(MsgComplete(request.get()), 0);
    const auto start = Clock::now();
    status = -1;
    EXPECT_EQ(SessionTransact(session.get(), request.get(), 5, &status), nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_EQ(daemon.waitForLines(1), std::vector<std::string>{"ATProxySetAuditTrailEvent[\"Norvalex Suite\"]"});
}

TEST(SessionTransact, AnswersAChallengeWithAnElevenByteFrameAndReturnsTheNextReply)
{
    Bytes answer;
    ScriptedPeer peer([&](int fd) {
        ReadFrame(fd);
        WriteBytes(fd, EmptyFrame(MSG_TYPE_PROCESS_AUTH_CHALLENGE2));
        answer = ReadFrame(fd);
        WriteBytes(fd, EmptyFrame(MSG_TYPE_CONTROL_LOG2));
    });
    SessionPtr session = Open(peer.path());
    ASSERT_NE(session, nullptr);
    int status = -1;
    MsgPtr reply = Ping(session.get(), 5, &status);
    peer.join();
    EXPECT_EQ(status, 0) << LRPC2StatusText(status);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(TypeOf(reply.get()), MSG_TYPE_CONTROL_LOG2);
    EXPECT_EQ(answer, EmptyFrame(MSG_TYPE_PROCESS_AUTH_CHALLENGE2));
}

// Up to 16 challenges are answered in one transaction; the 17th is a bad
// reply, also from a daemon that would challenge for ever.
TEST(SessionTransact, AnswersAtMostSixteenChallenges)
{
    const struct {
        const char *challenges;
        int status;
        size_t answers;
    } cases[] = {
        {"3", LRPC2_OK, 3},
        {"16", LRPC2_OK, 16},
        {"17", LRPC2_ERR_SOCKET, 16},
        {"1000000", LRPC2_ERR_SOCKET, 16},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.challenges);
        StubDaemon daemon({"--challenge", c.challenges});
        SessionPtr session = Open(daemon.socketPath());
        ASSERT_NE(session, nullptr);
        int status = -1;
        MsgPtr reply = Ping(session.get(), 5, &status);
        EXPECT_EQ(status, c.status) << LRPC2StatusText(status);
        EXPECT_EQ(reply != nullptr, c.status == LRPC2_OK);
        if (reply) {
            EXPECT_EQ(TypeOf(reply.get()), MSG_TYPE_CONTROL_PING);
        }
        std::vector<std::string> expected(c.answers + 1, "_ProcessAuthChallenge2[]");
        expected[0] = "ControlPing[]";
        EXPECT_EQ(daemon.waitForLines(c.answers + 2, std::chrono::milliseconds(300)), expected);
    }
}

TEST(SessionTransact, ReportsAChallengeThatCannotBeAnsweredInsteadOfSuccess)
{
    // A table without type 3 cannot build the answer.
    static const MsgTypeEntry rows[] = {{MSG_TYPE_CONTROL_PING, "ControlPing", 0}};
    static const MsgTypeTable pingOnly = {1, rows};
    StubDaemon daemon({"--challenge", "1"});
    SessionPtr session = Open(daemon.socketPath(), 5, &pingOnly);
    ASSERT_NE(session, nullptr);
    MsgPtr request = CompletedMsg(MSG_TYPE_CONTROL_PING, &pingOnly);
    int status = -1;
    EXPECT_EQ(SessionTransact(session.get(), request.get(), 5, &status), nullptr);
    EXPECT_EQ(status, LRPC2_ERR_NO_MEMORY);
}

TEST(SessionTransact, ReadsRepliesLargerThanTheFirstBlock)
{
    const std::string blob(300000, 'q');
    ScriptedPeer peer([&](int fd) {
        ReadFrame(fd);
        Bytes frame = EmptyFrame(MSG_TYPE_CONTROL_PING);
        frame.pop_back();
        const uint32_t blobLength = static_cast<uint32_t>(blob.size());
        frame.push_back(WIRE_BLOB);
        frame.insert(frame.end(), reinterpret_cast<const unsigned char *>(&blobLength),
                     reinterpret_cast<const unsigned char *>(&blobLength) + 4);
        frame.insert(frame.end(), blob.begin(), blob.end());
        frame.push_back(WIRE_END);
        const uint32_t total = static_cast<uint32_t>(frame.size());
        memcpy(frame.data() + 4, &total, 4);
        WriteBytes(fd, frame);
    });
    SessionPtr session = Open(peer.path());
    ASSERT_NE(session, nullptr);
    int status = -1;
    MsgPtr reply = Ping(session.get(), 5, &status);
    ASSERT_EQ(status, 0) << LRPC2StatusText(status);
    void *data = nullptr;
    size_t length = 0;
    ASSERT_EQ(MsgReadBlob(reply.get(), &data, &length), 0);
    EXPECT_EQ(std::string(static_cast<char *>(data), length), blob);
    MsgFreeBlob(data, length, 0);
}

TEST(SessionTransact, ALengthFieldPromisingMoreThanArrivesEndsWith404)
{
    ScriptedPeer peer([](int fd) {
        ReadFrame(fd);
        Bytes frame = EmptyFrame(MSG_TYPE_CONTROL_PING, LRPC2_FRAME_MAGIC, 0xFFFFFFF0u);
        WriteBytes(fd, frame);
    });
    SessionPtr session = Open(peer.path());
    ASSERT_NE(session, nullptr);
    int status = -1;
    EXPECT_EQ(Ping(session.get(), 5, &status), nullptr);
    EXPECT_EQ(status, LRPC2_ERR_SOCKET_CLOSED);
}

TEST(SessionTransact, RejectsBadRepliesWith405)
{
    const struct {
        const char *what;
        Bytes reply;
    } cases[] = {
        {"magic in the other byte order", EmptyFrame(MSG_TYPE_CONTROL_PING, 0x1280CDABu)},
        {"length 0", EmptyFrame(MSG_TYPE_CONTROL_PING, LRPC2_FRAME_MAGIC, 0)},
        {"length 4", EmptyFrame(MSG_TYPE_CONTROL_PING, LRPC2_FRAME_MAGIC, 4)},
        {"length 7", EmptyFrame(MSG_TYPE_CONTROL_PING, LRPC2_FRAME_MAGIC, 7)},
        {"header only", EmptyFrame(MSG_TYPE_CONTROL_PING, LRPC2_FRAME_MAGIC, 8)},
        {"no end marker", EmptyFrame(MSG_TYPE_CONTROL_PING, LRPC2_FRAME_MAGIC, 10)},
    };
    for (const auto &c : cases) {
        ScriptedPeer peer([&](int fd) {
            ReadFrame(fd);
            WriteBytes(fd, c.reply);
            // Keep the stream open: the verdict must come from the bytes.
            struct pollfd wait = {fd, POLLIN, 0};
            poll(&wait, 1, 5000);
        });
        SessionPtr session = Open(peer.path());
        ASSERT_NE(session, nullptr);
        int status = -1;
        EXPECT_EQ(Ping(session.get(), 5, &status), nullptr) << c.what;
        EXPECT_EQ(status, LRPC2_ERR_SOCKET) << c.what;
        session.reset();
    }
}

TEST(SessionTransact, StandInDaemonFaultsGiveTheirStatus)
{
    const struct {
        std::vector<std::string> options;
        int expected;
    } cases[] = {
        {{"--bad-magic"}, LRPC2_ERR_SOCKET},
        {{"--malformed-reply"}, LRPC2_ERR_SOCKET},
        // The handshake succeeded; the request cannot be written (EPIPE).
        {{"--shutdown-read"}, LRPC2_ERR_SOCKET_CLOSED},
    };
    for (const auto &c : cases) {
        StubDaemon daemon(c.options);
        SessionPtr session = Open(daemon.socketPath());
        ASSERT_NE(session, nullptr);
        int status = -1;
        EXPECT_EQ(Ping(session.get(), 5, &status), nullptr) << c.options[0];
        EXPECT_EQ(status, c.expected) << c.options[0];
    }
}

TEST(SessionTransact, PeerClosingBeforeTheReplyGives404)
{
    ScriptedPeer peer([](int fd) { ReadFrame(fd); });
    SessionPtr session = Open(peer.path());
    ASSERT_NE(session, nullptr);
    int status = -1;
    EXPECT_EQ(Ping(session.get(), 5, &status), nullptr);
    EXPECT_EQ(status, LRPC2_ERR_SOCKET_CLOSED);
}

// The time-out bounds the whole reply: one that trickles in a byte every
// 150 ms (11 bytes, 1.65 s) misses a time-out of 1 s although no single
// wait reaches it.
TEST(SessionTransact, TimesOutWith408WhenNoWholeReplyComesInTime)
{
    for (const std::vector<std::string> &options :
         {std::vector<std::string>{"--no-reply"}, std::vector<std::string>{"--trickle", "150"}}) {
        SCOPED_TRACE(options[0]);
        StubDaemon daemon(options);
        SessionPtr session = Open(daemon.socketPath());
        ASSERT_NE(session, nullptr);
        int status = -1;
        const auto start = Clock::now();
        EXPECT_EQ(Ping(session.get(), 1, &status), nullptr);
        EXPECT_EQ(status, LRPC2_ERR_TIMEOUT);
        EXPECT_GE(SecondsSince(start), 0.8);
        EXPECT_LT(SecondsSince(start), 4.0);
    }
}

TEST(SessionTransact, WaitsForADelayedOrTrickledReplyWithinTheTimeOut)
{
    for (const std::vector<std::string> &options :
         {std::vector<std::string>{"--delay", "300"}, std::vector<std::string>{"--trickle", "20"}}) {
        SCOPED_TRACE(options[0]);
        StubDaemon daemon(options);
        SessionPtr session = Open(daemon.socketPath());
        ASSERT_NE(session, nullptr);
        for (int timeout : {2, 0}) {
            int status = -1;
            MsgPtr reply = Ping(session.get(), timeout, &status);
            EXPECT_EQ(status, 0) << "time-out " << timeout;
            EXPECT_NE(reply, nullptr);
            EXPECT_TRUE(NonBlocking(session->readFd));
        }
    }
}

// ---- send and receive ---------------------------------------------------

TEST(TransferAll, TimeOutZeroBlocksUntilDoneAndRestoresNonBlockingMode)
{
    SocketPair pair;
    const int fd = pair.fds[0];
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);

    // Receiving: the data comes late and in pieces.
    bool blockingDuringCall = false;
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        blockingDuringCall = !NonBlocking(fd);
        for (unsigned char byte : {'a', 'b', 'c', 'd'}) {
            WriteBytes(pair.fds[1], Bytes{byte});
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    unsigned char received[4] = {};
    EXPECT_EQ(RecvAll(fd, received, sizeof received, 0, 1), 0);
    writer.join();
    EXPECT_EQ(memcmp(received, "abcd", 4), 0);
    EXPECT_TRUE(blockingDuringCall);
    EXPECT_TRUE(NonBlocking(fd));

    // Sending more than the socket holds: the reader drains it late.
    const Bytes big(4 << 20, 0x5A);
    Bytes drained;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        drained = ReadBytes(pair.fds[1], big.size());
    });
    EXPECT_EQ(SendAll(fd, big.data(), big.size(), 0, 1), 0);
    reader.join();
    EXPECT_EQ(drained, big);
    EXPECT_TRUE(NonBlocking(fd));
}

TEST(TransferAll, ReportsClosedPeerAndTimeOut)
{
    const Bytes four{1, 2, 3, 4};
    unsigned char buffer[8];
    for (int useMessageCalls : {1, 0}) {
        {
            SCOPED_TRACE("peer gone before receiving");
            SocketPair pair;
            pair.closePeer();
            EXPECT_EQ(RecvAll(pair.fds[0], buffer, 4, 1, useMessageCalls), LRPC2_ERR_SOCKET_CLOSED);
        }
        {
            SCOPED_TRACE("stream ends short of the length");
            SocketPair pair;
            WriteBytes(pair.fds[1], four);
            pair.closePeer();
            EXPECT_EQ(RecvAll(pair.fds[0], buffer, 8, 1, useMessageCalls), LRPC2_ERR_SOCKET_CLOSED);
        }
        {
            SCOPED_TRACE("nothing arrives");
            SocketPair pair;
            fcntl(pair.fds[0], F_SETFL, O_NONBLOCK);
            const auto start = Clock::now();
            EXPECT_EQ(RecvAll(pair.fds[0], buffer, 4, 1, useMessageCalls), LRPC2_ERR_TIMEOUT);
            EXPECT_GE(SecondsSince(start), 0.8);
        }
    }
    // Sending to a closed peer: EPIPE, and no SIGPIPE ends the test program.
    SocketPair pair;
    pair.closePeer();
    EXPECT_EQ(SendAll(pair.fds[0], four.data(), four.size(), 1, 1), LRPC2_ERR_SOCKET_CLOSED);
}

TEST(TransferAll, ReadsTheLastBytesOfAPeerThatClosesWhileWeWait)
{
    SocketPair pair;
    ASSERT_EQ(fcntl(pair.fds[0], F_SETFL, O_NONBLOCK), 0);
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        WriteBytes(pair.fds[1], Bytes{9, 8, 7, 6});
        pair.closePeer();
    });
    unsigned char buffer[4] = {};
    EXPECT_EQ(RecvAll(pair.fds[0], buffer, 4, 5, 1), 0);
    peer.join();
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{9, 8, 7, 6}));
    EXPECT_EQ(errno, 0);
}

TEST(WaitReady, TellsReadyTimedOutAndHangUp)
{
    SocketPair pair;
    EXPECT_EQ(WaitReady(pair.fds[0], 5, POLLOUT), 1);
    const auto start = Clock::now();
    EXPECT_EQ(WaitReady(pair.fds[0], 1, POLLIN), 0);
    EXPECT_GE(SecondsSince(start), 0.8);
    WriteBytes(pair.fds[1], Bytes{1});
    EXPECT_EQ(WaitReady(pair.fds[0], 1, POLLIN), 1);
    pair.closePeer();
    errno = EBADF;
    EXPECT_EQ(WaitReady(pair.fds[0], 1, POLLIN), -1);
    EXPECT_EQ(errno, 0);
}

TEST(SessionClose, AcceptsNull)
{
    SessionClose(nullptr);
}
