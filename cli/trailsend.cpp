// trailsend CODE TEXT_A TEXT_B
//
// Records one audit-trail event for the real user who runs it and the parent
// program that ran it. Prints nothing: the exit status (0 delivered or nothing
// to deliver, 1 otherwise) and, on failure, one ERROR line through the
// framework logger "qra.cli.trailsend" are its only reports.
//
// The command is built on the client library alone and starts like a C
// program: the framework's logger, and the C++ runtime it needs, would add
// some thirty functions for the loader to bind at every start, used by no
// delivered event. A failure line is written by trailsend-log instead, which
// the command executes in its own process (see ReportFailure).
#include "client_common/at_proxy_lrpc2.h"
#include "client_common/well_known_paths.h"
#include "standard_descriptors.h"
#include "trailsend_event.h"

#include <stdlib.h>
#include <unistd.h>

namespace {

// Replaces the command with trailsend-log, which writes message at ERROR
// through the framework logger "qra.cli.trailsend" and exits with status 1.
// The process keeps its id, environment and descriptors, and argv[0] keeps
// the program name, so the line is the one the command would have written
// itself. Returns only where trailsend-log cannot be executed: the line is
// then lost, and the command exits with the status returned, 1, all the
// same. Cold: kept apart from the code a delivered event runs, which then
// touches fewer pages.
__attribute__((cold)) int ReportFailure(const char *programName, const char *message)
{
    char *const arguments[] = {const_cast<char *>(programName ? programName : ""), const_cast<char *>(message),
                               nullptr};
    execv(FAILURE_LOG_PROGRAM_PATH, arguments);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    OpenClosedStandardDescriptors();

    if (argc != 4)
        return ReportFailure(argv[0], "You send the wrong number of arguments.");

    const pid_t parent = getppid();
    char *userName = CallingUserName();
    if (userName == nullptr)
        return ReportFailure(argv[0], "Error: Unable to get the user name");

    const TrailsendEvent event = MapTrailsendArguments(argv[1], argv[2], argv[3]);
    const int result = SendTrailsendEvent(event, userName, parent);
    free(userName);
    if (result == AT_RESULT_OK)
        return 0;

    if (event.code == static_cast<uint32_t>(kLoginSuccessCode))
        return ReportFailure(argv[0],
                             "Failed to send the audit trail event (The user login to the system successfully)");
    // "Failed to send the audit trail event (%s service)", always with "NSS".
    return ReportFailure(argv[0], "Failed to send the audit trail event (NSS service)");
}
