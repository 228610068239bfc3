// JSON rendering of one received LRPC2 message for the stand-in daemon's
// --json output: one object a message, on one line.
#pragma once

#include "client_common/client_msg.h"

#include <string>

namespace dirsvcdstub {

// {"connection":N,"type":T,"name":"...","parameters":[...]} and, for a
// ControlLog2 message, "entries":[...] with "entriesClosed". The parameters
// are read through the codec's readers, so the message's read position moves
// to the end. A parameter a reader refuses ends the list with
// "parametersComplete":false.
std::string MessageToJson(unsigned connection, ClientMsg *msg);

// A JSON string literal of arbitrary bytes: quotes, backslashes and control
// characters escaped; bytes that are not valid UTF-8 as \u00XX.
std::string JsonString(const std::string &bytes);

} // namespace dirsvcdstub
