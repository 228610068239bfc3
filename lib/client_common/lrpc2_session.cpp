#include "client_common/lrpc2_session.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "client_common/byte_buffer.h"
#include "client_common/client_msg_reader.h"
#include "client_common/lrpc2_status.h"

namespace {

enum Direction { SENDING, RECEIVING };

// First allocation for a reply body; larger replies grow by doubling.
const size_t REPLY_FIRST_BLOCK = 64 * 1024;

// A daemon that goes on challenging is broken or hostile: without a bound on
// the challenges answered in one transaction it would hold the client in a
// loop of round trips that no time-out ends.
const int MAX_CHALLENGES = LRPC2_MAX_CHALLENGES;

// Deadlines are points on the monotonic clock in milliseconds; kNoDeadline
// waits without limit.
const int64_t kNoDeadline = -1;

int64_t NowMilliseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The deadline of a wait of `timeout` seconds from now; 0 or less: none.
int64_t DeadlineAfter(int timeout)
{
    return timeout > 0 ? NowMilliseconds() + static_cast<int64_t>(timeout) * 1000 : kNoDeadline;
}

// WaitReady with a deadline in place of a time-out.
int WaitReadyUntil(int fd, int64_t deadline, int events)
{
    struct pollfd entry;
    entry.fd = fd;
    entry.events = static_cast<short>(events);
    entry.revents = 0;

    // A signal does not extend the wait: each retry polls for what is left.
    int result;
    for (;;) {
        int wait = -1;
        if (deadline != kNoDeadline) {
            int64_t left = deadline - NowMilliseconds();
            wait = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        result = poll(&entry, 1, wait);
        if (result >= 0 || errno != EINTR)
            break;
    }
    if (result == 0)
        return 0;
    if (result < 0)
        return -1;
    if (result != 1 || (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) ||
        (entry.revents & events) != events) {
        errno = 0;
        return -1;
    }
    return 1;
}

// One attempt at moving bytes in one direction. Socket sessions use the
// message calls so that a send to a vanished peer reports EPIPE instead of
// raising SIGPIPE in a process whose signal dispositions are not ours.
ssize_t TransferOnce(int fd, unsigned char *bytes, size_t n, Direction direction, int useMessageCalls)
{
    if (!useMessageCalls)
        return direction == SENDING ? write(fd, bytes, n) : read(fd, bytes, n);
    struct iovec vector;
    vector.iov_base = bytes;
    vector.iov_len = n;
    struct msghdr header;
    memset(&header, 0, sizeof header);
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    // No control buffer either way: the daemon learns our credentials from
    // SO_PASSCRED on its side, and we read none from it.
    return direction == SENDING ? sendmsg(fd, &header, MSG_NOSIGNAL) : recvmsg(fd, &header, 0);
}

// Moves exactly n bytes; the one loop of the client library that moves bytes
// through a descriptor. Every outcome of one attempt is handled here, in this
// order: EINTR retries; EAGAIN waits for readiness (until the deadline); a
// short transfer goes on with the rest; a closed peer (end of stream, EPIPE)
// is 404; anything else is 405. The deadline bounds the whole transfer, not
// each wait, so a peer that trickles its bytes one at a time cannot hold us
// past it. *moved is the count moved, also when the loop ends early.
int TransferAll(int fd, unsigned char *bytes, size_t n, int64_t deadline, int useMessageCalls, Direction direction,
                size_t *moved)
{
    // Without a deadline the caller wants to wait as long as it takes: let
    // the kernel block instead of spinning through poll.
    int savedFlags = -1;
    if (deadline == kNoDeadline) {
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
            savedFlags = flags;
    }

    int status = LRPC2_OK;
    int hungUp = 0;
    size_t done = 0;
    while (done < n) {
        errno = 0;
        ssize_t moved = TransferOnce(fd, bytes + done, n - done, direction, useMessageCalls);
        if (moved > 0) {
            done += static_cast<size_t>(moved);
            continue;
        }
        if (moved == 0) {
            status = LRPC2_ERR_SOCKET_CLOSED;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // After a hang-up nothing more can arrive or leave; a further
            // EAGAIN would only spin.
            if (hungUp) {
                status = LRPC2_ERR_SOCKET;
                break;
            }
            int ready = WaitReadyUntil(fd, deadline, direction == SENDING ? POLLOUT : POLLIN);
            if (ready == 1)
                continue;
            if (ready == 0) {
                status = LRPC2_ERR_TIMEOUT;
                break;
            }
            if (errno == EINTR)
                continue;
            if (errno == 0) {
                // poll saw an error or hang-up condition. A peer may write its
                // last bytes and close at once: one more attempt reads them,
                // or tells an orderly end of stream (404) from an error (405).
                hungUp = 1;
                continue;
            }
            status = LRPC2_ERR_SOCKET;
            break;
        }
        status = errno == EPIPE ? LRPC2_ERR_SOCKET_CLOSED : LRPC2_ERR_SOCKET;
        break;
    }

    int savedErrno = errno;
    if (savedFlags != -1)
        fcntl(fd, F_SETFL, savedFlags);
    errno = status == LRPC2_OK ? 0 : savedErrno;
    *moved = done;
    return status;
}

int SendUntil(int fd, const void *bytes, size_t n, int64_t deadline, int useMessageCalls)
{
    size_t sent = 0;
    // Sending never writes through the pointer; the shared loop takes it
    // mutable for the receiving direction.
    return TransferAll(fd, static_cast<unsigned char *>(const_cast<void *>(bytes)), n, deadline, useMessageCalls,
                       SENDING, &sent);
}

int RecvUntil(int fd, void *buffer, size_t n, int64_t deadline, int useMessageCalls)
{
    size_t received = 0;
    return TransferAll(fd, static_cast<unsigned char *>(buffer), n, deadline, useMessageCalls, RECEIVING,
                       &received);
}

// Puts magic and length into the message's reserved header bytes and writes
// the frame. *expectReply tells whether a reply follows.
int SendRequest(LRPC2Session *session, ClientMsg *msg, int timeout, int *expectReply)
{
    unsigned char *frame = nullptr;
    size_t length = 0;
    int oneWay = 0;
    if (!msg || MsgIsOneWay(msg, &oneWay) != MSG_OK)
        return LRPC2_ERR_INVALID_MESSAGE;
    int status = WriteLRPC2FrameHeader(msg, &frame, &length);
    if (status != LRPC2_OK)
        return status;

    status = SendAll(session->writeFd, frame, length, timeout, session->isSocket);
    *expectReply = !oneWay;
    return status;
}

// Reads one frame and parses it. The frame's memory passes to the message.
// The time-out bounds the whole frame, header and body together.
ClientMsg *ReceiveReply(LRPC2Session *session, int timeout, int *status)
{
    const int64_t deadline = DeadlineAfter(timeout);
    unsigned char header[LRPC2_HEADER_SIZE];
    *status = RecvUntil(session->readFd, header, sizeof header, deadline, session->isSocket);
    if (*status != LRPC2_OK)
        return nullptr;

    uint32_t magic = 0;
    uint32_t length = 0;
    memcpy(&magic, header, sizeof magic);
    memcpy(&length, header + 4, sizeof length);
    // A magic in the other byte order is as bad as any other. A length below
    // the header's own size cannot describe a frame, and the remaining length
    // would underflow.
    if (magic != LRPC2_FRAME_MAGIC || length < LRPC2_HEADER_SIZE) {
        *status = LRPC2_ERR_SOCKET;
        return nullptr;
    }

    // The buffer grows with the bytes that actually arrive, so a length
    // field that promises more than comes costs no more than what came. A
    // reply we cannot hand over may hold a secret: it is wiped when freed.
    size_t capacity = length < REPLY_FIRST_BLOCK ? length : REPLY_FIRST_BLOCK;
    size_t received = LRPC2_HEADER_SIZE;
    unsigned char *frame = static_cast<unsigned char *>(malloc(capacity));
    if (!frame) {
        *status = LRPC2_ERR_NO_MEMORY;
        return nullptr;
    }
    while (received < length) {
        if (received == capacity) {
            size_t larger = capacity > length / 2 ? length : capacity * 2;
            unsigned char *grown = static_cast<unsigned char *>(malloc(larger));
            if (!grown) {
                ByteBufferFreeBlock(frame, capacity, 1);
                *status = LRPC2_ERR_NO_MEMORY;
                return nullptr;
            }
            // Not realloc: the old block may hold a secret and must be wiped.
            memcpy(grown, frame, received);
            ByteBufferFreeBlock(frame, capacity, 1);
            frame = grown;
            capacity = larger;
        }
        *status = RecvUntil(session->readFd, frame + received, capacity - received, deadline, session->isSocket);
        if (*status != LRPC2_OK) {
            ByteBufferFreeBlock(frame, capacity, 1);
            return nullptr;
        }
        received = capacity;
    }
    memcpy(frame, header, sizeof header);

    int msgStatus = MSG_OK;
    ClientMsg *reply = MsgFromFrame(frame, length, 0, session->table, LRPC2_HEADER_SIZE, &msgStatus);
    if (!reply) {
        ByteBufferFreeBlock(frame, length, 1);
        *status = msgStatus == MSG_ERR_NO_MEMORY ? LRPC2_ERR_NO_MEMORY : LRPC2_ERR_SOCKET;
    }
    return reply;
}

} // namespace

extern "C" {

int WaitReady(int fd, int timeout, int events)
{
    return WaitReadyUntil(fd, DeadlineAfter(timeout), events);
}

int SendAll(int fd, const void *bytes, size_t n, int timeout, int useMessageCalls)
{
    return SendUntil(fd, bytes, n, DeadlineAfter(timeout), useMessageCalls);
}

int RecvAll(int fd, void *buffer, size_t n, int timeout, int useMessageCalls)
{
    return RecvUntil(fd, buffer, n, DeadlineAfter(timeout), useMessageCalls);
}

int RecvUpTo(int fd, void *buffer, size_t n, int timeout, int useMessageCalls, size_t *received)
{
    size_t done = 0;
    int status = TransferAll(fd, static_cast<unsigned char *>(buffer), n, DeadlineAfter(timeout), useMessageCalls,
                             RECEIVING, &done);
    // Reading never sees EPIPE: 404 is the end of the stream, which ends the
    // read here.
    if (status == LRPC2_ERR_SOCKET_CLOSED) {
        status = LRPC2_OK;
        errno = 0;
    }
    if (received != nullptr)
        *received = done;
    return status;
}

int WriteLRPC2FrameHeader(ClientMsg *msg, unsigned char **frame, size_t *length)
{
    if (!msg || !frame || !length || MsgGetFrame(msg, frame, length) != MSG_OK)
        return LRPC2_ERR_INVALID_MESSAGE;
    // The header goes into bytes the codec reserved; a message built with
    // another header size has no room for it.
    if (msg->headerSize != LRPC2_HEADER_SIZE || *length < LRPC2_HEADER_SIZE || *length > UINT32_MAX)
        return LRPC2_ERR_INVALID_MESSAGE;

    uint32_t magic = LRPC2_FRAME_MAGIC;
    uint32_t total = static_cast<uint32_t>(*length);
    memcpy(*frame, &magic, sizeof magic);
    memcpy(*frame + 4, &total, sizeof total);
    return LRPC2_OK;
}

LRPC2Session *SessionOpen(const char *socketPath, const MsgTypeTable *table, int timeout, int *status)
{
    int result = LRPC2_OK;
    LRPC2Session *session = nullptr;
    struct sockaddr_un address;
    size_t pathLength = 0;
    int32_t word = LRPC2_HANDSHAKE_CLIENT_WORD;
    int flags;
    int enable = 1;
    int64_t deadline;

    if (!socketPath || socketPath[0] != '/') {
        result = LRPC2_ERR_NO_SOCKET_PATH;
        goto done;
    }
    // A path cut to fit the socket address would name another file, and
    // possibly another listener: refuse it instead.
    pathLength = strlen(socketPath);
    if (pathLength >= sizeof address.sun_path) {
        result = LRPC2_ERR_CANNOT_OPEN_SOCKET;
        goto done;
    }

    session = static_cast<LRPC2Session *>(calloc(1, sizeof *session));
    if (!session) {
        result = LRPC2_ERR_NO_MEMORY;
        goto done;
    }
    session->table = table;
    session->isSocket = 1;
    session->readFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    session->writeFd = session->readFd;
    if (session->readFd < 0) {
        result = LRPC2_ERR_CANNOT_OPEN_SOCKET;
        goto fail;
    }

    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, socketPath, pathLength);
    while (connect(session->readFd, reinterpret_cast<struct sockaddr *>(&address),
                   static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + pathLength)) != 0) {
        // An interrupted connect on a Unix socket is abandoned by the kernel
        // and may simply be made again.
        if (errno != EINTR) {
            result = LRPC2_ERR_CANNOT_OPEN_SOCKET;
            goto fail;
        }
    }

    flags = fcntl(session->readFd, F_GETFL);
    if (flags < 0 || fcntl(session->readFd, F_SETFL, flags | O_NONBLOCK) != 0) {
        result = LRPC2_ERR_CANNOT_OPEN_SOCKET;
        goto fail;
    }

    // The outcome of the send shows in the answer: a daemon that is gone
    // cannot answer. One time-out bounds the whole handshake.
    deadline = DeadlineAfter(timeout);
    SendUntil(session->writeFd, &word, sizeof word, deadline, 1);
    word = 0;
    result = RecvUntil(session->readFd, &word, sizeof word, deadline, 1);
    if (result != LRPC2_OK)
        goto fail;
    if (word != LRPC2_HANDSHAKE_ACCEPT_WORD) {
        result = LRPC2_ERR_CANNOT_OPEN_SOCKET;
        goto fail;
    }

    // The daemon checks the identity of the process behind each request.
    setsockopt(session->readFd, SOL_SOCKET, SO_PASSCRED, &enable, sizeof enable);
    goto done;

fail:
    SessionClose(session);
    session = nullptr;
done:
    if (status)
        *status = result;
    return session;
}

ClientMsg *SessionTransact(LRPC2Session *session, ClientMsg *msg, int timeout, int *status)
{
    int result = LRPC2_OK;
    ClientMsg *reply = nullptr;
    ClientMsg *answer = nullptr;
    ClientMsg *request = msg;
    int challenges = 0;

    if (!session) {
        result = LRPC2_ERR_BAD_SESSION;
        goto done;
    }

    // A challenge of type 3 is answered with an empty message of type 3; the
    // daemon's next message answers the original request, unless it
    // challenges again. A loop, so that a daemon that keeps challenging
    // cannot grow the stack; past MAX_CHALLENGES the challenge is a bad
    // reply like any other.
    for (;;) {
        int expectReply = 0;
        uint16_t type = 0;
        int msgStatus = MSG_OK;

        result = SendRequest(session, request, timeout, &expectReply);
        MsgFree(answer);
        answer = nullptr;
        if (result != LRPC2_OK || !expectReply)
            break;

        reply = ReceiveReply(session, timeout, &result);
        if (!reply || MsgGetType(reply, &type) != MSG_OK || type != MSG_TYPE_PROCESS_AUTH_CHALLENGE2)
            break;
        MsgFree(reply);
        reply = nullptr;
        if (challenges++ == MAX_CHALLENGES) {
            result = LRPC2_ERR_SOCKET;
            break;
        }

        answer = NewClientMsg(MSG_TYPE_PROCESS_AUTH_CHALLENGE2, session->table, LRPC2_HEADER_SIZE, &msgStatus);
        if (answer)
            msgStatus = MsgComplete(answer);
        if (msgStatus != MSG_OK) {
            // Reported, not swallowed: the request got no answer.
            result = LRPC2_ERR_NO_MEMORY;
            break;
        }
        request = answer;
    }
    MsgFree(answer);

done:
    if (status)
        *status = result;
    return reply;
}

void SessionClose(LRPC2Session *session)
{
    if (!session)
        return;
    if (session->readFd != -1)
        close(session->readFd);
    if (!session->isSocket && session->writeFd != -1)
        close(session->writeFd);
    free(session);
}

} // extern "C"
