// trailsend CODE TEXT_A TEXT_B
//
// Records one audit-trail event for the real user who runs it and the parent
// program that ran it. Prints nothing: the exit status (0 delivered or nothing
// to deliver, 1 otherwise) and, on failure, one ERROR line through the
// framework logger are its only reports.
#include "client_common/at_proxy_lrpc2.h"
#include "hlx/logger.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const char kProductName[] = "Norvalex Suite";
const char kCategoryName[] = "Norvalex Commands";
// The event code of a successful user login; every other code is a service event.
const int kLoginSuccessCode = 200;

void LogError(const hlx::LoggerPtr &logger, const char *message)
{
    if (logger->isEnabled(hlx::LEVEL_ERROR))
        logger->log(hlx::LEVEL_ERROR, "%s", message);
}

// Maps the two texts onto the event's parameters and sends it.
int SendEvent(int code, const std::string &userName, pid_t parent, const char *textA,
              const char *textB)
{
    const uint64_t processId = static_cast<uint64_t>(parent);
    if (code == kLoginSuccessCode)
        return SendAuditTrailEvent(kProductName, kCategoryName, code, nullptr, nullptr,
                                   userName.c_str(), nullptr, nullptr, processId,
                                   AT_UTF8STRING, textA, AT_UTF8STRING,
                                   *textB ? textB : "none", AT_END);
    const char *service = *textB ? textB : "NSS";
    if (*textA)
        return SendAuditTrailEvent(kProductName, kCategoryName, code, nullptr, nullptr,
                                   userName.c_str(), nullptr, nullptr, processId,
                                   AT_UTF8STRING, service, AT_UTF8STRING, textA, AT_END);
    return SendAuditTrailEvent(kProductName, kCategoryName, code, nullptr, nullptr,
                               userName.c_str(), nullptr, nullptr, processId, AT_UTF8STRING,
                               service, AT_END);
}

} // namespace

int main(int argc, char **argv)
{
    hlx::LoggerPtr logger = hlx::Logger::getLogger("qra.cli.trailsend");

    if (argc != 4) {
        LogError(logger, "You send the wrong number of arguments.");
        return 1;
    }

    const pid_t parent = getppid();
    const struct passwd *entry = getpwuid(getuid());
    if (!entry || !entry->pw_name) {
        LogError(logger, "Error: Unable to get the user name");
        return 1;
    }
    // The password database's buffer may be reused by later lookups.
    const std::string userName = entry->pw_name;

    const int code = std::atoi(argv[1]);
    if (SendEvent(code, userName, parent, argv[2], argv[3]) == AT_RESULT_OK)
        return 0;

    if (code == kLoginSuccessCode)
        LogError(logger, "Failed to send the audit trail event (The user login to the system successfully)");
    else if (logger->isEnabled(hlx::LEVEL_ERROR))
        logger->log(hlx::LEVEL_ERROR, "Failed to send the audit trail event (%s service)", "NSS");
    return 1;
}
