// The checks of trailsend-check: set a client context up exactly as the
// sender does, but with its client log dropped unwritten, and find out from
// the library itself what the send path would read, resolve, reach and send.
#pragma once

#include "check_report.h"
#include "trailsend_event.h"

struct CheckRequest {
    TrailsendEvent event;
    bool send = false; // hand the event to the sender after the checks
};

// Exit statuses, in the order they take precedence (usage errors first).
enum CheckExitStatus {
    CHECK_EXIT_OK = 0,               // the event would be (with --send: was) delivered
    CHECK_EXIT_NOTHING_TO_SEND = 2,  // final targets 0, or no login name for the user
    CHECK_EXIT_DAEMON = 3,           // the daemon cannot be reached or refuses the handshake;
                                     // with --send also: the sender did not deliver
    CHECK_EXIT_CONFIGURATION = 4,    // the configuration file exists but cannot be read
    CHECK_EXIT_USAGE = 64
};

// Runs every check (and the send when asked) and fills the report, its exit
// status and verdict included. Writes nothing anywhere: no client log line,
// no emergency log line, nothing on the daemon's socket but the handshake,
// unless the request asks to send.
void RunChecks(const CheckRequest &request, CheckReport &report);
