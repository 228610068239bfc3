// Owning pointers for the client library's heap objects, released through
// the library's own release functions.
#pragma once

#include "client_common/client_msg.h"
#include "client_common/lrpc2_session.h"

#include <memory>

namespace testsupport {

struct MsgDeleter {
    void operator()(ClientMsg *msg) const { MsgFree(msg); }
};
using MsgPtr = std::unique_ptr<ClientMsg, MsgDeleter>;

struct SessionDeleter {
    void operator()(LRPC2Session *session) const { SessionClose(session); }
};
using SessionPtr = std::unique_ptr<LRPC2Session, SessionDeleter>;

} // namespace testsupport
