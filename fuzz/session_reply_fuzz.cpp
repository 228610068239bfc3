// Feeds arbitrary bytes to SessionTransact as the daemon's side of the
// stream: reply headers, lengths, bodies and any number of challenges. The
// session must hand out a reply exactly when it reports success, and never
// read or write out of bounds.
#include "client_common/client_msg.h"
#include "client_common/lrpc2_session.h"
#include "client_common/msg_trace.h"
#include "client_common/msg_type_table.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Inputs larger than this could fill the socket buffers before the session
// reads them.
const size_t LARGEST_INPUT = 32 * 1024;

bool WriteAll(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > LARGEST_INPUT)
        return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 0;
    // The daemon's side says everything at once and then ends its stream,
    // so the session never waits for more.
    if (!WriteAll(fds[1], data, size) || shutdown(fds[1], SHUT_WR) != 0) {
        close(fds[0]);
        close(fds[1]);
        return 0;
    }
    fcntl(fds[0], F_SETFL, O_NONBLOCK);

    LRPC2Session *session = static_cast<LRPC2Session *>(calloc(1, sizeof *session));
    if (!session)
        abort();
    session->readFd = fds[0];
    session->writeFd = fds[0];
    session->table = GetMessageTable();
    session->isSocket = 1;

    int status = -1;
    ClientMsg *request = NewClientMsg(MSG_TYPE_CONTROL_PING, GetMessageTable(), LRPC2_HEADER_SIZE, &status);
    if (!request || MsgComplete(request) != 0)
        abort();
    ClientMsg *reply = SessionTransact(session, request, 1, &status);
    if ((reply != nullptr) != (status == 0))
        abort();
    if (reply) {
        free(MsgToString(reply));
        MsgFree(reply);
    }
    MsgFree(request);
    SessionClose(session);
    close(fds[1]);
    return 0;
}
