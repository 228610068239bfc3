// trailsend CODE TEXT_A TEXT_B
//
// Records one audit-trail event for the real user who runs it and the parent
// program that ran it. Prints nothing: the exit status (0 delivered or nothing
// to deliver, 1 otherwise) and, on failure, one ERROR line through the
// framework logger are its only reports.
#include "client_common/at_proxy_lrpc2.h"
#include "hlx/logger.h"
#include "standard_descriptors.h"
#include "trailsend_event.h"

#include <stdlib.h>
#include <unistd.h>

namespace {

// The framework logger is made only for a line to write: a delivered event
// costs no logger, lock or allocation of the framework. The first framework
// output loads the framework configuration; whatever that throws (memory
// running out included) must not turn the command's exit status 1 into an
// abort. The line is then lost, the status is not. Cold: kept apart from
// the code a delivered event runs, which then touches fewer pages.
__attribute__((cold)) void LogError(const char *format, const char *argument)
{
    try {
        hlx::LoggerPtr logger = hlx::Logger::getLogger("qra.cli.trailsend");
        if (logger->isEnabled(hlx::LEVEL_ERROR))
            logger->log(hlx::LEVEL_ERROR, format, argument);
    } catch (...) {
    }
}

__attribute__((cold)) void LogError(const char *message) { LogError("%s", message); }

} // namespace

int main(int argc, char **argv)
{
    OpenClosedStandardDescriptors();

    if (argc != 4) {
        LogError("You send the wrong number of arguments.");
        return 1;
    }

    const pid_t parent = getppid();
    char *userName = CallingUserName();
    if (userName == nullptr) {
        LogError("Error: Unable to get the user name");
        return 1;
    }

    const TrailsendEvent event = MapTrailsendArguments(argv[1], argv[2], argv[3]);
    const int result = SendTrailsendEvent(event, userName, parent);
    free(userName);
    if (result == AT_RESULT_OK)
        return 0;

    if (event.code == static_cast<uint32_t>(kLoginSuccessCode))
        LogError("Failed to send the audit trail event (The user login to the system successfully)");
    else
        LogError("Failed to send the audit trail event (%s service)", "NSS");
    return 1;
}
