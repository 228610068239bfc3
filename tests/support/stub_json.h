// Reads the stand-in daemon's --json lines back: the message type, the
// parameters re-encoded as LRPC2 wire bytes (so a test can compare a received
// request byte for byte with one composed by testsupport::Wire), and the
// texts of forwarded client log entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct StubMessage {
    bool valid = false; // the line parsed and every parameter could be re-encoded
    int connection = -1;
    int type = -1;
    // The frame body as it travelled: the two type bytes, the parameters and
    // the end marker (the 8 header bytes left out).
    std::vector<unsigned char> body;
    // ControlLog2 only: the texts of the entries (the closing entry left out).
    std::vector<std::string> entryTexts;
};

StubMessage ParseStubJson(const std::string &line);

// The messages of the given type among the lines, in order.
std::vector<StubMessage> StubMessagesOfType(const std::vector<std::string> &lines, int type);

// The texts of every forwarded client log entry among the lines, in order.
std::vector<std::string> ForwardedLogTexts(const std::vector<std::string> &lines);

} // namespace testsupport
