/*
 * LRPC2 sessions: a connected Unix-domain stream socket to the daemon, the
 * handshake that opens it, and one request (with its reply) per transaction.
 *
 * Handshake, right after connect (4-byte words in host byte order):
 *   client -> daemon  3
 *   daemon -> client  1 accepts; any other word refuses the client
 * After the handshake the client enables SO_PASSCRED so that the daemon can
 * check who it is talking to. Frames are those of client_msg.h; the session
 * writes magic and length into a message's reserved header bytes just before
 * it sends it.
 *
 * Every wait is bounded by a time-out in seconds given by the caller; 0 (or a
 * negative value) waits without limit. Every operation reports an
 * LRPC2Status (lrpc2_status.h), LRPC2_OK for success; nothing is logged here.
 */
#ifndef CLIENT_COMMON_LRPC2_SESSION_H
#define CLIENT_COMMON_LRPC2_SESSION_H

#include <stddef.h>

#include "client_common/client_msg.h"
#include "client_common/msg_type_table.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Word the client sends in the handshake, and the daemon's word of consent. */
#define LRPC2_HANDSHAKE_CLIENT_WORD 3
#define LRPC2_HANDSHAKE_ACCEPT_WORD 1

/* Process-authentication challenges answered within one transaction. */
#define LRPC2_MAX_CHALLENGES 16

typedef struct LRPC2Session {
    int readFd;                 /* replies are read from here */
    int writeFd;                /* requests are written here (the same socket for a socket session) */
    const MsgTypeTable *table;  /* table replies are parsed against */
    int isSocket;               /* 1: sendmsg/recvmsg with MSG_NOSIGNAL; 0: write/read */
} LRPC2Session;

/* Connects to the daemon's socket at an absolute path and runs the
 * handshake, the whole handshake bounded by timeout. Returns the open session
 * (close it with SessionClose) or null; the status goes to *status when
 * status is not null:
 *   LRPC2_ERR_NO_SOCKET_PATH      path null or not absolute
 *   LRPC2_ERR_CANNOT_OPEN_SOCKET  socket or connect failed (also for a path too
 *                                 long for a socket address), or the daemon
 *                                 refused the handshake
 *   LRPC2_ERR_SOCKET_CLOSED, LRPC2_ERR_SOCKET, LRPC2_ERR_TIMEOUT
 *                                 the handshake answer could not be read
 *                                 (closed, error, time-out)
 *   LRPC2_ERR_NO_MEMORY           out of memory */
LRPC2Session *SessionOpen(const char *socketPath, const MsgTypeTable *table, int timeout, int *status);

/* Sends a completed message and returns the daemon's reply, which the caller
 * frees with MsgFree. A one-way message returns null with status LRPC2_OK as
 * soon as it is written. Process-authentication challenges
 * (MSG_TYPE_PROCESS_AUTH_CHALLENGE2) from the daemon are answered with an
 * empty message of that type, up to LRPC2_MAX_CHALLENGES times in one
 * transaction; the reply that follows is the one returned. The time-out
 * bounds the writing of each frame and the reading of each reply as a whole.
 * Returns null on failure with:
 *   LRPC2_ERR_BAD_SESSION      null session
 *   LRPC2_ERR_INVALID_MESSAGE  null message, or one that is not complete
 *   LRPC2_ERR_SOCKET_CLOSED    the daemon closed the stream (also EPIPE)
 *   LRPC2_ERR_SOCKET           other socket error, bad magic, malformed reply,
 *                              or a challenge beyond LRPC2_MAX_CHALLENGES
 *   LRPC2_ERR_NO_MEMORY        out of memory (also when a challenge cannot be
 *                              answered)
 *   LRPC2_ERR_TIMEOUT          a wait ran out
 * A failure does not close the session; the owner decides. */
ClientMsg *SessionTransact(LRPC2Session *session, ClientMsg *msg, int timeout, int *status);

/* Writes magic and total length into the reserved header bytes of a
 * completed message, as SessionTransact does just before sending it, and
 * hands out the whole frame (owned by the message). 0, or 406 for a message
 * that is null, not complete or built without the LRPC2 header size. */
int WriteLRPC2FrameHeader(ClientMsg *msg, unsigned char **frame, size_t *length);

/* Closes the session's descriptors and frees it. Accepts null. */
void SessionClose(LRPC2Session *session);

/* Writes / reads exactly n bytes within timeout seconds for the whole call,
 * however the bytes arrive (0: no limit; a non-blocking descriptor is then
 * made blocking for the call and restored afterwards). useMessageCalls
 * selects sendmsg/recvmsg (sends carry MSG_NOSIGNAL) over write/read.
 * Returns LRPC2_OK (errno 0), LRPC2_ERR_SOCKET_CLOSED at the end of the
 * stream or on EPIPE, LRPC2_ERR_SOCKET on any other error, LRPC2_ERR_TIMEOUT
 * when the time ran out. These are the client library's one loop for moving
 * bytes through a descriptor: the client log's emergency file and the client
 * context's read of the process name use them too. */
int SendAll(int fd, const void *bytes, size_t n, int timeout, int useMessageCalls);
int RecvAll(int fd, void *buffer, size_t n, int timeout, int useMessageCalls);
/* As RecvAll for a stream that may end first: the end of the stream ends the
 * read with LRPC2_OK. *received (when not null) is the count read, also when
 * the read fails part-way. */
int RecvUpTo(int fd, void *buffer, size_t n, int timeout, int useMessageCalls, size_t *received);

/* Waits until fd is ready for the poll events given (POLLIN to read,
 * POLLOUT to write), at most timeout seconds (0 or less: no limit). Returns 1
 * ready, 0 timed out, -1 on error: errno is kept for a failed poll and set to
 * 0 when the descriptor reports an error or hang-up, is invalid, or lacks one
 * of the events asked for. */
int WaitReady(int fd, int timeout, int events);

#ifdef __cplusplus
}
#endif

#endif
