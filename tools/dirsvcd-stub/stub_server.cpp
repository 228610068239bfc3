#include "stub_server.h"

#include "message_json.h"

#include "client_common/client_msg.h"
#include "client_common/client_msg_reader.h"
#include "client_common/lrpc2_session.h"
#include "client_common/msg_trace.h"
#include "client_common/msg_type_table.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace dirsvcdstub {

namespace {

// Bounds that keep a misbehaving client from growing the stub without limit.
constexpr size_t MAX_FRAME_LENGTH = 16u << 20;
constexpr size_t MAX_CONNECTIONS = 256;
// Header, type and end marker: the smallest frame there is.
constexpr size_t MIN_FRAME_LENGTH = LRPC2_HEADER_SIZE + 2 + 1;
constexpr size_t READ_CHUNK = 64 * 1024;
// A wire type byte no frame may carry: what --malformed-reply ends replies with.
constexpr unsigned char INVALID_WIRE_TYPE = 9;
constexpr uint16_t DISCONNECT_TYPE = 0;

volatile sig_atomic_t gStopSignal = 0;

void OnStopSignal(int signo)
{
    gStopSignal = signo;
}

int64_t NowMilliseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void Note(const std::string &text)
{
    std::fprintf(stderr, "dirsvcd-stub: %s\n", text.c_str());
    std::fflush(stderr);
}

enum class Phase {
    AwaitHandshake,  // the client's 4-byte word has not arrived yet
    Open,            // frames flow
    Silent,          // input is read and dropped (handshake never answered, or refused)
    WriteOnly        // the reading side is shut down
};

struct PendingReply {
    int64_t due;
    uint16_t type;
};

struct Connection {
    int fd = -1;
    unsigned id = 0;
    Phase phase = Phase::AwaitHandshake;
    std::vector<unsigned char> in;
    std::vector<unsigned char> out;
    size_t outAtOnce = 0;      // leading bytes of `out` that --trickle leaves whole (handshake words)
    int64_t nextByteDue = 0;   // --trickle: when the next byte may go
    std::deque<PendingReply> replies;
    bool challenged = false;  // a challenge is out and its answer awaited
    long challengesLeft = 0;
    uint16_t challengedType = 0;
    bool closeWhenWritten = false;
    bool dead = false;
};

class Server {
public:
    explicit Server(const StubOptions &options) : m_options(options) {}
    ~Server();
    int run();

private:
    bool startListening();
    void acceptConnections();
    void readFrom(Connection &connection);
    void handleInput(Connection &connection);
    void handleHandshake(Connection &connection);
    void handleFrame(Connection &connection, const unsigned char *frame, size_t length);
    void writeTo(Connection &connection);
    void queueWord(Connection &connection, int32_t word);
    void queueFrame(Connection &connection, uint16_t type, bool realReply);
    void queueDueReplies(int64_t now);
    bool trickling(const Connection &connection) const;
    bool workPending() const;
    void malformed(const Connection &connection, const std::string &why);
    void emit(const std::string &line);

    const StubOptions &m_options;
    int m_listenFd = -1;
    bool m_ownSocket = false;
    ino_t m_socketInode = 0;
    std::vector<std::unique_ptr<Connection>> m_connections;
    unsigned m_nextId = 1;
    long m_received = 0;
    bool m_draining = false;  // --count reached: answer what is due, read nothing more
    int m_exit = -1;
};

Server::~Server()
{
    for (auto &connection : m_connections)
        close(connection->fd);
    if (m_listenFd >= 0)
        close(m_listenFd);
    // Remove the socket only while it is still the one we created.
    struct stat st;
    if (m_ownSocket && stat(m_options.socketPath.c_str(), &st) == 0 && st.st_ino == m_socketInode)
        unlink(m_options.socketPath.c_str());
}

bool Server::startListening()
{
    const std::string &path = m_options.socketPath;
    struct sockaddr_un address;
    // The socket is bound under a temporary name and renamed into place once
    // it listens, so whoever waits for the path never meets a socket that
    // refuses connections.
    const std::string temporary = path + ".stub-" + std::to_string(getpid());
    if (temporary.size() >= sizeof address.sun_path) {
        Note("socket path too long: " + path);
        return false;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
        Note(path + " exists and is not a socket");
        return false;
    }

    m_listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0) {
        Note(std::string("socket: ") + strerror(errno));
        return false;
    }
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, temporary.c_str(), temporary.size() + 1);
    unlink(temporary.c_str());
    if (bind(m_listenFd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
        listen(m_listenFd, 64) != 0 || stat(temporary.c_str(), &st) != 0 ||
        rename(temporary.c_str(), path.c_str()) != 0) {
        Note("cannot listen on " + path + ": " + strerror(errno));
        unlink(temporary.c_str());
        return false;
    }
    m_ownSocket = true;
    m_socketInode = st.st_ino;
    Note("listening on " + path);
    return true;
}

void Server::acceptConnections()
{
    while (m_connections.size() < MAX_CONNECTIONS) {
        int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;  // EAGAIN: all taken; anything else: try again on the next round
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->id = m_nextId++;
        m_connections.push_back(std::move(connection));
    }
}

void Server::readFrom(Connection &connection)
{
    unsigned char chunk[READ_CHUNK];
    ssize_t got = recv(connection.fd, chunk, sizeof chunk, 0);
    if (got < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            connection.dead = true;
        return;
    }
    if (got == 0) {
        if (connection.phase == Phase::Open && !connection.in.empty())
            Note("connection " + std::to_string(connection.id) + ": closed in the middle of a frame (" +
                 std::to_string(connection.in.size()) + " bytes)");
        connection.dead = true;
        return;
    }
    connection.in.insert(connection.in.end(), chunk, chunk + got);
    handleInput(connection);
}

void Server::handleHandshake(Connection &connection)
{
    int32_t word = 0;
    memcpy(&word, connection.in.data(), sizeof word);
    connection.in.erase(connection.in.begin(), connection.in.begin() + sizeof word);
    const std::string who = "connection " + std::to_string(connection.id);

    if (m_options.hangUp) {
        Note(who + ": handshake word taken, hanging up");
        connection.dead = true;
        return;
    }
    if (word != LRPC2_HANDSHAKE_CLIENT_WORD) {
        Note(who + ": handshake word " + std::to_string(word) + ", refused");
        queueWord(connection, 0);
        connection.closeWhenWritten = true;
        connection.phase = Phase::Silent;
        return;
    }
    if (m_options.handshakeSilent) {
        connection.phase = Phase::Silent;
        return;
    }
    if (m_options.shutdownRead) {
        // The client's next write then fails with EPIPE.
        shutdown(connection.fd, SHUT_RD);
        connection.in.clear();
        connection.phase = Phase::WriteOnly;
        queueWord(connection, LRPC2_HANDSHAKE_ACCEPT_WORD);
        return;
    }
    queueWord(connection, m_options.handshakeAnswer);
    if (m_options.handshakeAnswer != LRPC2_HANDSHAKE_ACCEPT_WORD) {
        connection.closeWhenWritten = true;
        connection.phase = Phase::Silent;
        return;
    }
    connection.phase = Phase::Open;
}

void Server::handleInput(Connection &connection)
{
    if (connection.phase == Phase::AwaitHandshake) {
        if (connection.in.size() < sizeof(int32_t))
            return;
        handleHandshake(connection);
    }
    if (connection.phase != Phase::Open) {
        connection.in.clear();
        return;
    }
    size_t used = 0;
    while (!connection.dead && !m_draining && m_exit < 0 && connection.in.size() - used >= LRPC2_HEADER_SIZE) {
        const unsigned char *frame = connection.in.data() + used;
        uint32_t magic = 0;
        uint32_t length = 0;
        memcpy(&magic, frame, sizeof magic);
        memcpy(&length, frame + 4, sizeof length);
        if (magic != LRPC2_FRAME_MAGIC) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08x", magic);
            malformed(connection, std::string("bad magic ") + hex);
            break;
        }
        if (length < MIN_FRAME_LENGTH || length > MAX_FRAME_LENGTH) {
            malformed(connection, "frame length " + std::to_string(length));
            break;
        }
        if (connection.in.size() - used < length)
            break;
        handleFrame(connection, frame, length);
        used += length;
    }
    connection.in.erase(connection.in.begin(), connection.in.begin() + static_cast<std::ptrdiff_t>(used));
}

void Server::handleFrame(Connection &connection, const unsigned char *frame, size_t length)
{
    int status = MSG_OK;
    ClientMsg *msg = MsgFromFrame(const_cast<unsigned char *>(frame), length, 1, GetMessageTable(),
                                  LRPC2_HEADER_SIZE, &status);
    if (!msg) {
        const char *text = MsgStatusText(status);
        malformed(connection, std::string("frame rejected: ") + (text ? text : std::to_string(status).c_str()));
        return;
    }
    if (m_options.json) {
        emit(MessageToJson(connection.id, msg));
    } else {
        char *text = MsgToString(msg);
        emit(text ? text : "(null)");
        free(text);
    }
    uint16_t type = 0;
    int oneWay = 0;
    MsgGetType(msg, &type);
    MsgIsOneWay(msg, &oneWay);
    MsgFree(msg);

    if (connection.challenged && type == MSG_TYPE_PROCESS_AUTH_CHALLENGE2) {
        if (connection.challengesLeft > 0) {
            --connection.challengesLeft;
            queueFrame(connection, MSG_TYPE_PROCESS_AUTH_CHALLENGE2, false);
        } else {
            connection.challenged = false;
            connection.replies.push_back({NowMilliseconds() + m_options.delayMilliseconds, connection.challengedType});
        }
    } else if (oneWay || m_options.noReply) {
        // Nothing goes back.
    } else if (m_options.challenges > 0) {
        connection.challenged = true;
        connection.challengedType = type;
        connection.challengesLeft = m_options.challenges - 1;
        queueFrame(connection, MSG_TYPE_PROCESS_AUTH_CHALLENGE2, false);
    } else {
        connection.replies.push_back({NowMilliseconds() + m_options.delayMilliseconds, type});
    }

    if (m_options.count > 0 && ++m_received >= m_options.count)
        m_draining = true;
}

void Server::queueWord(Connection &connection, int32_t word)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&word);
    // Words are queued only ahead of any frame: they go first, and whole.
    connection.out.insert(connection.out.end(), bytes, bytes + sizeof word);
    connection.outAtOnce += sizeof word;
}

bool Server::trickling(const Connection &connection) const
{
    return m_options.trickleMilliseconds > 0 && connection.outAtOnce == 0 && !connection.out.empty();
}

void Server::queueFrame(Connection &connection, uint16_t type, bool realReply)
{
    const MsgTypeTable *table = GetMessageTable();
    ClientMsg *msg = NewClientMsg(type, table, LRPC2_HEADER_SIZE, nullptr);
    // The codec builds only types it knows; a request of any other type is
    // answered with an empty DISCONNECT.
    if (!msg)
        msg = NewClientMsg(DISCONNECT_TYPE, table, LRPC2_HEADER_SIZE, nullptr);
    unsigned char *frame = nullptr;
    size_t length = 0;
    if (!msg || MsgComplete(msg) != MSG_OK || MsgGetFrame(msg, &frame, &length) != MSG_OK) {
        Note("connection " + std::to_string(connection.id) + ": cannot build a reply");
        MsgFree(msg);
        connection.dead = true;
        return;
    }
    std::vector<unsigned char> bytes(frame, frame + length);
    MsgFree(msg);

    uint32_t magic = LRPC2_FRAME_MAGIC;
    if (realReply && m_options.badMagic)
        magic = __builtin_bswap32(magic);
    uint32_t total = static_cast<uint32_t>(length);
    memcpy(bytes.data(), &magic, sizeof magic);
    memcpy(bytes.data() + 4, &total, sizeof total);
    if (realReply && m_options.malformedReply)
        bytes.back() = INVALID_WIRE_TYPE;
    connection.out.insert(connection.out.end(), bytes.begin(), bytes.end());
}

void Server::queueDueReplies(int64_t now)
{
    for (auto &connection : m_connections) {
        while (!connection->replies.empty() && connection->replies.front().due <= now) {
            queueFrame(*connection, connection->replies.front().type, true);
            connection->replies.pop_front();
        }
    }
}

void Server::writeTo(Connection &connection)
{
    while (!connection.out.empty()) {
        // --trickle: one byte of a frame per round, when it is due.
        const bool oneByte = trickling(connection);
        if (oneByte && NowMilliseconds() < connection.nextByteDue)
            return;
        const size_t length = oneByte ? 1 : m_options.trickleMilliseconds > 0 ? connection.outAtOnce
                                                                              : connection.out.size();
        ssize_t sent = send(connection.fd, connection.out.data(), length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                connection.dead = true;  // the client left; what it missed is its loss
            return;
        }
        connection.out.erase(connection.out.begin(), connection.out.begin() + sent);
        connection.outAtOnce -= std::min(connection.outAtOnce, static_cast<size_t>(sent));
        if (oneByte) {
            connection.nextByteDue = NowMilliseconds() + m_options.trickleMilliseconds;
            return;
        }
    }
    if (connection.closeWhenWritten)
        connection.dead = true;
}

bool Server::workPending() const
{
    for (const auto &connection : m_connections)
        if (!connection->out.empty() || !connection->replies.empty())
            return true;
    return false;
}

void Server::malformed(const Connection &connection, const std::string &why)
{
    Note("connection " + std::to_string(connection.id) + ": malformed frame: " + why);
    m_exit = STUB_EXIT_MALFORMED;
}

void Server::emit(const std::string &line)
{
    // Tests read the output live, one message a line: control characters in
    // a rendered string must not split it.
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(line.size() + 1);
    for (unsigned char c : line) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c == 0x7F)
            out += std::string("\\x") + digits[c >> 4] + digits[c & 0xF];
        else
            out += static_cast<char>(c);
    }
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

int Server::run()
{
    if (!startListening())
        return STUB_EXIT_USAGE;

    // SIGINT and SIGTERM are held back except while waiting in ppoll, so a
    // stop request is never lost between a check and the wait.
    sigset_t stopSignals;
    sigset_t waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // Output goes to a reader that may leave first.
    signal(SIGPIPE, SIG_IGN);

    const int64_t deadline = m_options.timeoutSeconds > 0 ? NowMilliseconds() + m_options.timeoutSeconds * 1000 : 0;
    std::vector<struct pollfd> fds;
    for (;;) {
        if (gStopSignal) {
            Note(std::string("stopping on ") + (gStopSignal == SIGINT ? "SIGINT" : "SIGTERM"));
            return STUB_EXIT_OK;
        }
        if (m_exit >= 0)
            return m_exit;
        int64_t now = NowMilliseconds();
        if (deadline && now >= deadline) {
            const bool short_of_count = m_options.count > 0 && m_received < m_options.count;
            Note("stopping: time-out");
            return short_of_count ? STUB_EXIT_TIMEOUT : STUB_EXIT_OK;
        }
        queueDueReplies(now);
        if (m_draining && !workPending()) {
            Note("stopping: " + std::to_string(m_received) + " messages received");
            return STUB_EXIT_OK;
        }

        fds.clear();
        const bool accepting = !m_draining && m_connections.size() < MAX_CONNECTIONS;
        fds.push_back({m_listenFd, static_cast<short>(accepting ? POLLIN : 0), 0});
        for (const auto &connection : m_connections) {
            short events = 0;
            if (!m_draining && connection->phase != Phase::WriteOnly)
                events |= POLLIN;
            if (!connection->out.empty() && (!trickling(*connection) || connection->nextByteDue <= now))
                events |= POLLOUT;
            fds.push_back({connection->fd, events, 0});
        }

        int64_t wait = -1;
        if (deadline)
            wait = deadline - now;
        for (const auto &connection : m_connections) {
            int64_t due = -1;
            if (!connection->replies.empty())
                due = connection->replies.front().due;
            if (trickling(*connection) && (due < 0 || connection->nextByteDue < due))
                due = connection->nextByteDue;
            if (due >= 0) {
                int64_t left = std::max<int64_t>(due - now, 0);
                wait = wait < 0 ? left : std::min(wait, left);
            }
        }
        struct timespec timeout;
        if (wait >= 0) {
            timeout.tv_sec = wait / 1000;
            timeout.tv_nsec = (wait % 1000) * 1000000;
        }
        int ready = ppoll(fds.data(), fds.size(), wait >= 0 ? &timeout : nullptr, &waitMask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            Note(std::string("poll: ") + strerror(errno));
            return STUB_EXIT_USAGE;
        }

        // Connections accepted below are polled from the next round on.
        const size_t polled = m_connections.size();
        for (size_t i = 0; i < polled; ++i) {
            Connection &connection = *m_connections[i];
            const short revents = fds[i + 1].revents;
            if (revents & POLLIN)
                readFrom(connection);
            if (!connection.dead && (revents & POLLOUT))
                writeTo(connection);
            // A hang-up with nothing left to read: the client is gone.
            if (!connection.dead && (revents & (POLLHUP | POLLERR | POLLNVAL)) && !(revents & POLLIN))
                connection.dead = true;
        }
        if (fds[0].revents & POLLIN)
            acceptConnections();
        m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(),
                                           [](const std::unique_ptr<Connection> &connection) {
                                               if (connection->dead)
                                                   close(connection->fd);
                                               return connection->dead;
                                           }),
                            m_connections.end());
    }
}

} // namespace

int RunStub(const StubOptions &options)
{
    Server server(options);
    return server.run();
}

} // namespace dirsvcdstub
