// Reads back the lines a client log is still holding in its pending
// ControlLog2 message (a log that is batching), so tests can check each
// line's level, source unit, operation and text without a daemon.
#pragma once

#include <string>
#include <vector>

struct ClientLog;

namespace testsupport {

struct ClientLogEntry {
    int level = -1;
    std::string source;
    std::string operation;
    std::string text;
};

// Completes and frees the log's pending message and returns its entries
// (the closing entry, if any, left out). The log starts a new message with
// its next line.
std::vector<ClientLogEntry> TakeClientLogEntries(ClientLog *log);

// Texts of the entries only.
std::vector<std::string> TakeClientLogTexts(ClientLog *log);

} // namespace testsupport
