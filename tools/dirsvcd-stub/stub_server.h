// The stand-in daemon's server: one thread, one poll loop over the listening
// socket and every accepted connection.
#pragma once

#include <cstdint>
#include <string>

namespace dirsvcdstub {

struct StubOptions {
    std::string socketPath;
    bool json = false;              // one JSON object a message instead of the trace line
    long count = 0;                 // stop after this many messages (0: no limit)
    long timeoutSeconds = 0;        // stop after this long (0: no limit)
    int32_t handshakeAnswer = 1;    // word answered to the client's handshake
    bool handshakeSilent = false;   // never answer the handshake
    bool hangUp = false;            // take the handshake word, then close
    bool shutdownRead = false;      // shut the reading side, then accept the handshake
    long challenges = 0;            // type-3 challenges before each real reply
    bool badMagic = false;          // replies carry the magic in the other byte order
    bool malformedReply = false;    // replies end with an invalid wire type instead of WIRE_END
    long delayMilliseconds = 0;     // wait before each reply
    bool noReply = false;           // never answer requests
    long trickleMilliseconds = 0;   // write frames one byte at a time, this long apart (0: at once)
};

// Exit statuses of the program.
enum StubExit {
    STUB_EXIT_OK = 0,         // stopped by a signal, after --count, or after --timeout without --count
    STUB_EXIT_USAGE = 1,      // bad options, or the socket could not be set up
    STUB_EXIT_MALFORMED = 2,  // a client sent a malformed frame
    STUB_EXIT_TIMEOUT = 3     // --timeout ran out before --count messages arrived
};

// Serves until one of the stop conditions; returns a StubExit.
int RunStub(const StubOptions &options);

} // namespace dirsvcdstub
