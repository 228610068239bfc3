#include "client_common/at_proxy_lrpc2.h"

#include "client_common/client_context.h"
#include "client_common/client_msg.h"
#include "client_common/client_props_access.h"
#include "client_common/log_buffer.h"
#include "client_common/lrpc2_session.h"
#include "client_common/lrpc2_status.h"
#include "client_common/msg_trace.h"
#include "client_common/msg_type_table.h"
#include "client_common/well_known_paths.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Source units named in this sender's log lines; the send step reports as
// the codec's unit.
const char kUnit[] = "at_proxy_lrpc2";
const char kMsgUnit[] = "../../lib/client_common/client_msg";

#define AT_LOG(context, level, operation, ...) \
    CLIENT_LOG((context)->log, (level), kUnit, (operation), __VA_ARGS__)
#define MSG_LOG(context, level, operation, ...) \
    CLIENT_LOG((context)->log, (level), kMsgUnit, (operation), __VA_ARGS__)

void FreeMessage(void *message)
{
    MsgFree(static_cast<ClientMsg *>(message));
}

// Registers a message of this call so that tear-down frees it.
void KeepForCall(ClientContext *context, ClientMsg *message)
{
    AddCallCleanup(context, FreeMessage, message);
}

// Appends one supported variable parameter: its type, its size and its bytes.
int AddParameter(ClientMsg *message, uint32_t type, const void *value, uint32_t size)
{
    int status = MsgAddUInt32(message, type);
    if (status == 0)
        status = MsgAddUInt32(message, size);
    if (status == 0)
        status = MsgAddBlob(message, size ? value : nullptr, size);
    return status;
}

const char *UnsupportedTypeName(int type)
{
    switch (type) {
    case AT_WSTRING: return "WSTRING";
    case AT_GUID: return "GUID";
    case AT_UTF8STRINGARRAY: return "UTF8STRINGARRAY";
    default: return "WSTRINGARRAY";
    }
}

// Reads the variable list and appends its parameters. Returns 1 when the
// list ended and the message may be sent, 0 when the operation stops
// (*result says why, or stays 0 for a failed append).
int AddVariableParameters(ClientContext *context, ClientMsg *message, int *result, va_list args)
{
    static const char kOperation[] = "SendATProxySetAuditTrailEventInternal";
    for (;;) {
        const int type = va_arg(args, int);
        int status = 0;
        switch (type) {
        case AT_END:
            status = MsgAddUInt32(message, 0);
            if (status != 0)
                break;
            return *result == 0 ? 1 : 0;
        case AT_UINT16:
        case AT_UINT32:
        case AT_INT16:
        case AT_INT32:
        case AT_BYTE:
        case AT_WCHAR: {
            // 16-bit and byte values are not narrowed: the whole int is sent.
            const int value = va_arg(args, int);
            status = AddParameter(message, static_cast<uint32_t>(type), &value, sizeof value);
            if (status == 0 && ClientLogEnabled(context->log, CLIENT_LOG_DEBUG)) {
                if (type == AT_UINT16)
                    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "UINT16: %u", static_cast<unsigned>(value));
                else if (type == AT_UINT32)
                    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "UINT32: %lu",
                           static_cast<unsigned long>(static_cast<unsigned>(value)));
                else if (type == AT_INT16)
                    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "INT16: %d", value);
                else if (type == AT_INT32)
                    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "INT32: %ld", static_cast<long>(value));
                else if (type == AT_BYTE)
                    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "BYTE: 0x%02x",
                           static_cast<unsigned>(value) & 0xffu);
                else
                    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "WCHAR: 0x%04x",
                           static_cast<unsigned>(value));
            }
            break;
        }
        case AT_UINT64:
        case AT_INT64: {
            const long long value = va_arg(args, long long);
            status = AddParameter(message, static_cast<uint32_t>(type), &value, sizeof value);
            if (status == 0) {
                if (type == AT_UINT64)
                    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "UINT64: %llu",
                           static_cast<unsigned long long>(value));
                else
                    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "INT64: %lld", value);
            }
            break;
        }
        case AT_FLOAT: {
            const double value = va_arg(args, double);
            status = AddParameter(message, AT_FLOAT, &value, sizeof value);
            if (status == 0)
                AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "FLOAT: %f",
                       static_cast<double>(static_cast<float>(value)));
            break;
        }
        case AT_UTF8STRING: {
            const char *value = va_arg(args, const char *);
            const uint32_t size = value ? static_cast<uint32_t>(strlen(value) + 1) : 0;
            status = AddParameter(message, AT_UTF8STRING, value, size);
            if (status == 0)
                AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "UTF8STRING: %s", value);
            break;
        }
        case AT_EPOCHTIME: {
            const AuditTrailTime *value = va_arg(args, const AuditTrailTime *);
            status = AddParameter(message, AT_EPOCHTIME, value, value ? sizeof *value : 0);
            if (status == 0) {
                // A null time is sent as the null blob and traced as zero.
                const unsigned seconds = value ? static_cast<unsigned>(value->seconds) : 0;
                const unsigned micros = value ? static_cast<unsigned>(value->microseconds) : 0;
                AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "EPOCHTIME: tv_sec=%u, tv_usec=%u", seconds,
                       micros);
            }
            break;
        }
        case AT_WSTRING:
        case AT_GUID:
        case AT_UTF8STRINGARRAY:
        case AT_WSTRINGARRAY:
            (void)va_arg(args, const void *);
            AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "%s: <parameter type is not supported>",
                   UnsupportedTypeName(type));
            *result = AT_RESULT_UNSUPPORTED_TYPE;
            continue;
        default:
            AT_LOG(context, CLIENT_LOG_DEBUG, kOperation,
                   "Unknown parameter type %u, parameter list is malformed.", static_cast<unsigned>(type));
            *result = AT_RESULT_UNKNOWN_TYPE;
            return 0;
        }
        if (status != 0) {
            AT_LOG(context, CLIENT_LOG_WARNING, kOperation, "Failure in message construction: %s",
                   MsgStatusText(status));
            return 0;
        }
    }
}

// Completes the request and writes it to the session. Returns 1 once it was
// written; 0 when it could not be completed or delivered, so that a lost
// event is never reported as delivered.
int SendRequest(ClientContext *context, ClientMsg *message)
{
    static const char kOperation[] = "Send";
    int status = MsgComplete(message);
    if (status != 0) {
        MSG_LOG(context, CLIENT_LOG_WARNING, kOperation, "Failed to complete message: %s",
                MsgStatusText(status));
        return 0;
    }
    if (ClientLogEnabled(context->log, CLIENT_LOG_TRACE)) {
        char *text = MsgToString(message);
        MSG_LOG(context, CLIENT_LOG_TRACE, kOperation, "Request: %s", text ? text : "(null)");
        free(text);
    }
    ClientMsg *reply = SessionTransact(context->session, message, context->timeout, &status);
    if (status != 0) {
        uint16_t type = 0;
        MsgGetType(message, &type);
        MSG_LOG(context, CLIENT_LOG_WARNING, kOperation, "Failed to send message: %s, MsgType: %d.",
                LRPC2StatusText(status), static_cast<int>(type));
        ReleaseCallMessages(context);
        return 0;
    }
    if (reply)
        KeepForCall(context, reply);
    if (ClientLogEnabled(context->log, CLIENT_LOG_TRACE)) {
        char *text = MsgToString(reply);
        MSG_LOG(context, CLIENT_LOG_TRACE, kOperation, "Reply: %s", text ? text : "(null)");
        free(text);
    }
    return 1;
}

// Reads one targets setting. A value that cannot be evaluated (a "file:/"
// reference that is missing or unsafe) reads as 0, which would turn auditing
// off: it counts as absent instead, and its origin says so whether or not the
// origins are described.
int TargetsSetting(ClientContext *context, const char *key, int defaultValue, int *origin, bool describe)
{
    const int value = ClientGetPropertyInt(context, key, defaultValue);
    // Only a 0 can come from a failed evaluation: the entry is asked then.
    if (value == 0 && ClientPropertyOrigin(context, key, nullptr) == CLIENT_PROPERTY_FAILED) {
        *origin = CLIENT_PROPERTY_FAILED;
        return defaultValue;
    }
    *origin = describe ? ClientPropertyOrigin(context, key, nullptr) : 0;
    return value;
}

// Reads the three settings and combines them. Their origins and the reason
// cost look-ups and formatting that the sender needs only for its DEBUG
// lines: they are filled in only when `describe` is set (else origins 0, but
// for settings that could not be read, and an empty reason).
int ResolveTargets(ClientContext *context, const char *productName, const char *categoryName,
                   AuditTrailTargets *targets, bool describe)
{
    targets->global = TargetsSetting(context, AUDIT_TRAIL_TARGETS_KEY, 2, &targets->globalOrigin, describe);

    snprintf(targets->component, sizeof targets->component, "%s.%s", productName, categoryName);
    for (char *c = targets->component; *c; ++c)
        if (*c == ' ')
            *c = '_';
    snprintf(targets->overridesKey, sizeof targets->overridesKey, "audittrail.%s.overrides", targets->component);
    snprintf(targets->targetsKey, sizeof targets->targetsKey, "audittrail.%s.targets", targets->component);
    targets->overrides = TargetsSetting(context, targets->overridesKey, 0, &targets->overridesOrigin, describe);
    targets->componentTargets =
        TargetsSetting(context, targets->targetsKey, -1, &targets->componentTargetsOrigin, describe);
    targets->reason[0] = '\0';

    if (targets->componentTargets == -1) {
        targets->finalTargets = targets->global;
        if (describe)
            snprintf(targets->reason, sizeof targets->reason,
                     "The targets setting of %s/%s is -1, don't known what value to override, so will inherit "
                     "global targets setting",
                     productName, categoryName);
    } else {
        // The bits selected by overrides come from the component's targets,
        // the others from the global value.
        targets->finalTargets = (targets->global & ~targets->overrides) |
                                (targets->componentTargets & targets->overrides);
        if (describe)
            snprintf(targets->reason, sizeof targets->reason,
                     "The bits of overrides %d come from the component's targets %d, the others from the global "
                     "targets %d",
                     targets->overrides, targets->componentTargets, targets->global);
    }
    return targets->finalTargets;
}

} // namespace

extern "C" {

// Key prefixes of the daemon's configuration this sender reads, in ascending
// byte order as the configuration reader's filter requires.
const char *const AUDIT_TRAIL_CONFIG_PREFIXES[] = {"audittrail.", "dirsvcd.clients.socket2", "log",
                                                   "lrpc.timeout", nullptr};

int InitAuditTrailClientContext(ClientContext *context)
{
    return InitClientContext(context, nullptr, AUDIT_TRAIL_CONFIG_PREFIXES, AUDIT_TRAIL_LOG_DESTINATION_KEY,
                             DEFAULT_CLIENT_LOG_DESTINATION, AUDIT_TRAIL_LOG_LEVEL_KEY,
                             AUDIT_TRAIL_LOG_LEVEL_DEFAULT);
}

int ResolveAuditTrailTargets(ClientContext *context, const char *productName, const char *categoryName,
                             AuditTrailTargets *targets)
{
    if (!targets)
        return 0;
    memset(targets, 0, sizeof *targets);
    // Without a context there is no configuration to consult and no session
    // to send on: nothing is to be sent.
    if (!context) {
        snprintf(targets->reason, sizeof targets->reason, "No client context: nothing is sent.");
        return 0;
    }
    return ResolveTargets(context, productName, categoryName, targets, true);
}

int GetComponentAuditTrailTargets(ClientContext *context, const char *productName,
                                  const char *categoryName)
{
    static const char kOperation[] = "GetComponentAuditTrailTargets";
    if (!context)
        return 0;
    AuditTrailTargets targets;
    ResolveTargets(context, productName, categoryName, &targets, ClientLogEnabled(context->log, CLIENT_LOG_DEBUG));
    const struct {
        const char *key;
        int value;
        int origin;
    } settings[] = {
        {AUDIT_TRAIL_TARGETS_KEY, targets.global, targets.globalOrigin},
        {targets.overridesKey, targets.overrides, targets.overridesOrigin},
        {targets.targetsKey, targets.componentTargets, targets.componentTargetsOrigin},
    };
    for (const auto &setting : settings)
        if (setting.origin == CLIENT_PROPERTY_FAILED)
            AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "The setting %s cannot be read, using its default %d.",
                   setting.key, setting.value);
    if (targets.componentTargets == -1)
        AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "%s", targets.reason);
    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "The final targets setting of %s/%s is %d.", productName,
           categoryName, targets.finalTargets);
    return targets.finalTargets;
}

ClientMsg *BuildATProxySetAuditTrailEvent(ClientContext *context, int *result, const char *productName,
                                          const char *categoryName, uint32_t eventCode,
                                          const AuditTrailTime *eventTime, const char *auxText,
                                          const char *userName, const void *userSid, const char *sessionId,
                                          uint64_t processID, va_list parameters)
{
    // Its lines are the worker's: this is the worker's second half.
    static const char kOperation[] = "SendATProxySetAuditTrailEventInternal";
    if (!context || !result)
        return nullptr;
    if (!userName || !*userName) {
        AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "Invalid value for userName.");
        *result = AT_RESULT_MISSING_FIELD;
        return nullptr;
    }
    if (processID == 0) {
        AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "No processID provided, getting process ID.");
        processID = static_cast<uint64_t>(getpid());
        if (processID == 0)
            AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "Cannot determine process ID.");
    }
    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "AuditTrailEvent: %s %s %u %u.%u %s %s <userSid> %s %llu",
           productName, categoryName, static_cast<unsigned>(eventCode),
           eventTime ? static_cast<unsigned>(eventTime->seconds) : 0u,
           eventTime ? static_cast<unsigned>(eventTime->microseconds) : 0u,
           auxText ? auxText : "(null)", userName, sessionId ? sessionId : "(null)",
           static_cast<unsigned long long>(processID));

    *result = AT_RESULT_OK;
    int status = 0;
    ClientMsg *message = NewClientMsg(MSG_TYPE_AT_PROXY_SET_AUDIT_TRAIL_EVENT, context->messageTable,
                                      LRPC2_HEADER_SIZE, &status);
    if (!message) {
        MSG_LOG(context, CLIENT_LOG_WARNING, "NewClientMsg", "Failed to allocate new message: %s",
                MsgStatusText(status));
        return nullptr;
    }
    KeepForCall(context, message);

    // The fixed fields, in wire order.
    status = MsgAddString(message, productName);
    if (status == 0)
        status = MsgAddString(message, categoryName);
    if (status == 0)
        status = MsgAddUInt32(message, eventCode);
    if (status == 0)
        status = MsgAddBlob(message, eventTime, eventTime ? sizeof *eventTime : 0);
    if (status == 0)
        status = MsgAddString(message, auxText);
    if (status == 0)
        status = MsgAddString(message, userName);
    if (status == 0)
        status = MsgAddBlob(message, userSid, userSid ? AUDIT_TRAIL_SID_SIZE : 0);
    if (status == 0)
        status = MsgAddString(message, sessionId);
    if (status == 0)
        status = MsgAddBlob(message, &processID, sizeof processID);
    if (status != 0) {
        AT_LOG(context, CLIENT_LOG_WARNING, kOperation, "Failure in message construction: %s", MsgStatusText(status));
        return nullptr;
    }

    va_list args;
    va_copy(args, parameters);
    const int complete = AddVariableParameters(context, message, result, args);
    va_end(args);
    return complete ? message : nullptr;
}

int SendATProxySetAuditTrailEventInternal(ClientContext *context, int *result,
                                          const char *productName, const char *categoryName,
                                          uint32_t eventCode, const AuditTrailTime *eventTime,
                                          const char *auxText, const char *userName,
                                          const void *userSid, const char *sessionId,
                                          uint64_t processID, va_list parameters)
{
    static const char kOperation[] = "SendATProxySetAuditTrailEventInternal";
    if (!context || !result)
        return 0;
    if (!productName || !*productName) {
        AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "Invalid value for productName.");
        *result = AT_RESULT_MISSING_FIELD;
        return 0;
    }
    if (!categoryName || !*categoryName) {
        AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "Invalid value for categoryName.");
        *result = AT_RESULT_MISSING_FIELD;
        return 0;
    }
    if (GetComponentAuditTrailTargets(context, productName, categoryName) == 0) {
        AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "No targets are specified, do nothing and return.");
        return 1;
    }
    ClientMsg *message = BuildATProxySetAuditTrailEvent(context, result, productName, categoryName, eventCode,
                                                        eventTime, auxText, userName, userSid, sessionId,
                                                        processID, parameters);
    if (!message)
        return 0;
    return SendRequest(context, message);
}

int SendATProxySetAuditTrailEventVAList(ClientContext *context, int *result,
                                        const char *productName, const char *categoryName,
                                        uint32_t eventCode, const AuditTrailTime *eventTime,
                                        const char *auxText, const char *userName,
                                        const void *userSid, const char *sessionId,
                                        uint64_t processID, va_list parameters)
{
    static const char kOperation[] = "SendATProxySetAuditTrailEventVAList";
    if (!context)
        return 0;
    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "-> %s", kOperation);
    const int done = SendATProxySetAuditTrailEventInternal(context, result, productName, categoryName,
                                                           eventCode, eventTime, auxText, userName,
                                                           userSid, sessionId, processID, parameters);
    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "<- %s, result=(%d)", kOperation, done);
    return done;
}

int SendATProxySetAuditTrailEvent(ClientContext *context, int *result, const char *productName,
                                  const char *categoryName, uint32_t eventCode,
                                  const AuditTrailTime *eventTime, const char *auxText,
                                  const char *userName, const void *userSid,
                                  const char *sessionId, uint64_t processID, ...)
{
    static const char kOperation[] = "SendATProxySetAuditTrailEvent";
    if (!context)
        return 0;
    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "-> %s", kOperation);
    va_list parameters;
    va_start(parameters, processID);
    const int done = SendATProxySetAuditTrailEventInternal(context, result, productName, categoryName,
                                                           eventCode, eventTime, auxText, userName,
                                                           userSid, sessionId, processID, parameters);
    va_end(parameters);
    AT_LOG(context, CLIENT_LOG_DEBUG, kOperation, "<- %s, result=(%d)", kOperation, done);
    return done;
}

int SendAuditTrailEvent(const char *productName, const char *categoryName, uint32_t eventCode,
                        const AuditTrailTime *eventTime, const char *auxText,
                        const char *userName, const void *userSid, const char *sessionId,
                        uint64_t processID, ...)
{
    int result = AT_RESULT_OK;
    ClientContext context;
    InitAuditTrailClientContext(&context);
    ClientLogFlush(context.log);

    if (!OpenLRPC2Session(&context)) {
        result = AT_RESULT_NOT_DELIVERED;
    } else {
        if (!sessionId)
            sessionId = getenv(AUDIT_TRAIL_SESSION_ID_VARIABLE);
        va_list parameters;
        va_start(parameters, processID);
        const int done = SendATProxySetAuditTrailEventVAList(&context, &result, productName,
                                                             categoryName, eventCode, eventTime,
                                                             auxText, userName, userSid, sessionId,
                                                             processID, parameters);
        va_end(parameters);
        if (done != 1 && result == AT_RESULT_OK)
            result = AT_RESULT_NOT_DELIVERED;
    }
    ReleaseClientContext(&context);
    return result;
}

} // extern "C"
