#include "client_common/lrpc2_status.h"

namespace {

const char *const gStatusTexts[] = {
    "Socket path does not exist",
    "Cannot open socket",
    "Wrong protocol in handshake",
    "Message table version mismatch",
    "Socket closed",
    "Socket error",
    "Invalid message handle or operation",
    "Out of memory",
    "Timeout during operation",
    "Process authentication failed",
    "Process identity is not known at this point",
    "Bad or invalid session handle",
    "A timeout value is required",
    "Bad magic number in communication, potential network or byte order issue",
    "Temporary storage is running out of space",
    "Cannot open file",
    "File operation error",
};

const int kFirstStatus = LRPC2_ERR_NO_SOCKET_PATH;
const int kStatusCount = sizeof gStatusTexts / sizeof gStatusTexts[0];
static_assert(sizeof gStatusTexts / sizeof gStatusTexts[0] == 17, "one text for each of 400-416");

}  // namespace

extern "C" const char *LRPC2StatusText(int status)
{
    if (status < kFirstStatus || status >= kFirstStatus + kStatusCount)
        return nullptr;
    return gStatusTexts[status - kFirstStatus];
}
