// What trailsend-check found, section by section, and its two renderings:
// plain text for a person, one JSON object for a program.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <vector>

// One configuration key the send path consults and the value it uses.
struct SettingFinding {
    std::string key;
    std::string valueKey;   // the key that held the value when it is not `key` (the level's "log")
    bool hasValue = true;   // false: no value at all (a destination that could not be read)
    std::string value;      // the value used, as text
    bool numeric = false;   // the value is a number (a JSON number)
    int origin = 0;         // ClientPropertyOriginKind
    std::string fileValue;  // the file's value when it is not valid (origin CLIENT_PROPERTY_INVALID)
    int referenceStatus = 0; // a failed "file:/" reference (origin CLIENT_PROPERTY_FAILED)
    std::string comment;    // what the value means, when that is not plain ("INFO", "seconds")
};

struct ConfigurationFinding {
    std::string path;
    int status = 0; // 0 read; else the ClientPropertyStatus (PROP_NOT_FOUND: no file)
    std::vector<SettingFinding> settings;
};

struct TargetsFinding {
    std::string productName;
    std::string categoryName;
    int global = 0;
    int overrides = 0;
    int componentTargets = 0;
    int finalTargets = 0;
    std::string reason;
};

struct DaemonFinding {
    std::string socketPath;
    int timeout = 0;          // seconds; 0 waits without limit
    bool reached = false;     // connected and the handshake accepted
    int status = 0;           // LRPC2Status of a failure
    std::string detail;       // a failure in words
    double handshakeMilliseconds = 0;
    bool passesCredentials = false; // SO_PASSCRED is on
    bool peerKnown = false;         // the daemon's identity from SO_PEERCRED
    pid_t peerPid = 0;
    uid_t peerUid = 0;
    gid_t peerGid = 0;
};

struct RequestFinding {
    bool built = false;
    std::string problem;        // why there is no request
    std::string productName;
    std::string categoryName;
    uint32_t code = 0;
    bool hasUser = false;
    std::string userName;
    uint64_t processId = 0;
    bool hasSessionId = false;
    std::string sessionId;
    std::vector<std::string> texts;
    uint32_t type = 0;
    std::string typeName;
    std::string trace;          // the client log's "Request: " rendering
    std::vector<unsigned char> frame; // header included, as written on the socket
};

struct SendFinding {
    bool requested = false; // --send
    bool attempted = false; // the sender was called
    int result = 0;         // the sender's result code
};

struct CheckReport {
    ConfigurationFinding configuration;
    TargetsFinding targets;
    DaemonFinding daemon;
    RequestFinding request;
    SendFinding send;
    int exitStatus = 0;
    std::string verdict; // one line: what the exit status stands for
};

// The sections in order: configuration, targets, daemon, request, send (with
// --send), and the verdict.
void WriteTextReport(FILE *out, const CheckReport &report);

// One JSON object (UTF-8, one line, ended by a newline). Strings are escaped
// as JsonString does.
void WriteJsonReport(FILE *out, const CheckReport &report);

// A JSON string literal of arbitrary bytes: '"' and '\' escaped, control
// bytes and DEL as \uXXXX (\n, \r, \t, \b and \f in their short form),
// valid UTF-8 sequences kept as they are, and every byte that is not part of
// one (a stray continuation byte, an overlong form, a surrogate, a value
// above U+10FFFF, a cut sequence) as \u00XX, its Latin-1 reading. The output
// is always valid JSON and loses no byte; text that was valid UTF-8 reads
// back unchanged.
std::string JsonString(const std::string &bytes);

// The same bytes for a terminal: '"' and '\' escaped, control bytes, DEL and
// bytes outside valid UTF-8 as \n, \t, \r or \xNN.
std::string DisplayString(const std::string &bytes);

// printf into a string of whatever length the text needs.
std::string FormatToString(const char *format, ...) __attribute__((format(printf, 1, 2)));

// 16 bytes a row: offset, hexadecimal bytes, the printable ASCII ones.
std::string HexDump(const std::vector<unsigned char> &bytes, const char *indent);
