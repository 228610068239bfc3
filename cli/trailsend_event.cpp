#include "trailsend_event.h"

#include "client_common/at_proxy_lrpc2.h"

#include <pwd.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

const char TRAILSEND_PRODUCT_NAME[] = "Norvalex Suite";
const char TRAILSEND_CATEGORY_NAME[] = "Norvalex Commands";

TrailsendEvent MapTrailsendArguments(const char *code, const char *textA, const char *textB)
{
    TrailsendEvent event{};
    event.productName = TRAILSEND_PRODUCT_NAME;
    event.categoryName = TRAILSEND_CATEGORY_NAME;
    const int number = atoi(code);
    event.code = static_cast<uint32_t>(number);
    if (number == kLoginSuccessCode) {
        event.textCount = 2;
        event.texts[0] = textA;
        event.texts[1] = *textB ? textB : "none";
        return event;
    }
    event.texts[0] = *textB ? textB : "NSS";
    event.textCount = 1;
    if (*textA)
        event.texts[event.textCount++] = textA;
    return event;
}

char *CallingUserName()
{
    const struct passwd *entry = getpwuid(getuid());
    if (!entry || !entry->pw_name)
        return nullptr;
    // The password database's buffer may be reused by later lookups.
    return strdup(entry->pw_name);
}

int SendTrailsendEvent(const TrailsendEvent &event, const char *userName, pid_t parent)
{
    const uint64_t processId = static_cast<uint64_t>(parent);
    if (event.textCount == 2)
        return SendAuditTrailEvent(event.productName, event.categoryName, event.code, nullptr, nullptr, userName,
                                   nullptr, nullptr, processId, AT_UTF8STRING, event.texts[0], AT_UTF8STRING,
                                   event.texts[1], AT_END);
    return SendAuditTrailEvent(event.productName, event.categoryName, event.code, nullptr, nullptr, userName,
                               nullptr, nullptr, processId, AT_UTF8STRING, event.texts[0], AT_END);
}

namespace {

ClientMsg *BuildRequest(ClientContext *context, int *result, const TrailsendEvent &event, const char *userName,
                        uint64_t processId, ...)
{
    va_list parameters;
    va_start(parameters, processId);
    ClientMsg *message = BuildATProxySetAuditTrailEvent(context, result, event.productName, event.categoryName,
                                                        event.code, nullptr, nullptr, userName, nullptr,
                                                        getenv(AUDIT_TRAIL_SESSION_ID_VARIABLE), processId,
                                                        parameters);
    va_end(parameters);
    return message;
}

} // namespace

ClientMsg *BuildTrailsendRequest(ClientContext *context, int *result, const TrailsendEvent &event,
                                 const char *userName, pid_t parent)
{
    const uint64_t processId = static_cast<uint64_t>(parent);
    if (event.textCount == 2)
        return BuildRequest(context, result, event, userName, processId, AT_UTF8STRING, event.texts[0],
                            AT_UTF8STRING, event.texts[1], AT_END);
    return BuildRequest(context, result, event, userName, processId, AT_UTF8STRING, event.texts[0], AT_END);
}
