// The event `trailsend CODE TEXT_A TEXT_B` records, shared by the command and
// by trailsend-check, so that both turn the same three arguments into the
// same event and hand it to the same sender.
#pragma once

#include <stdint.h>
#include <sys/types.h>

struct ClientContext;
struct ClientMsg;

// Product and category of every event of the command.
extern const char TRAILSEND_PRODUCT_NAME[];
extern const char TRAILSEND_CATEGORY_NAME[];
// The event code of a successful user login; every other code is a service event.
const int kLoginSuccessCode = 200;

// One event: the fixed names and code, and the one or two UTF8STRING
// parameters of its variable list. The texts point into the arguments or to
// constant strings; nothing is owned.
struct TrailsendEvent {
    const char *productName;
    const char *categoryName;
    uint32_t code;
    int textCount;       // 1 or 2
    const char *texts[2];
};

// Maps the three arguments: the code through atoi; code 200 (a successful
// user login) gives text A then text B ("none" when empty); any other code
// gives text B ("NSS" when empty) followed by text A when text A is not
// empty.
TrailsendEvent MapTrailsendArguments(const char *code, const char *textA, const char *textB);

// A copy of the real user's login name from the password database, to be
// freed by the caller; null when the user id has none or memory ran out.
char *CallingUserName();

// Hands the event to SendAuditTrailEvent for userName, with the parent's
// process id and the session id the sender takes from the environment.
// Returns the sender's result code (AT_RESULT_OK = 0 when delivered or
// nothing had to be sent).
int SendTrailsendEvent(const TrailsendEvent &event, const char *userName, pid_t parent);

// Builds, within a context, the request SendTrailsendEvent would send: the
// same fields, the parent's process id and the session id the sender would
// take from the environment. The message belongs to the context's call
// (BuildATProxySetAuditTrailEvent); null with *result set when it cannot be
// built.
ClientMsg *BuildTrailsendRequest(ClientContext *context, int *result, const TrailsendEvent &event,
                                 const char *userName, pid_t parent);
