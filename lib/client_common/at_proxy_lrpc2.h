/*
 * The audit-trail event sender: turns one event (fixed fields plus a list of
 * typed parameters) into one ATProxySetAuditTrailEvent request (type 1200)
 * and hands it to the daemon over the context's LRPC2 session.
 *
 * The variable parameter list is pairs of an audit parameter type (int) and
 * its value, ended by AT_END:
 *   AT_UINT16, AT_UINT32, AT_INT16, AT_INT32, AT_BYTE, AT_WCHAR   int
 *   AT_UINT64, AT_INT64                                          64-bit integer
 *   AT_FLOAT                                                     double
 *   AT_UTF8STRING                                                const char * (may be null)
 *   AT_EPOCHTIME                                                 const AuditTrailTime * (may be null)
 *   AT_WSTRING, AT_GUID, AT_UTF8STRINGARRAY, AT_WSTRINGARRAY     pointer; not supported
 */
#ifndef CLIENT_COMMON_AT_PROXY_LRPC2_H
#define CLIENT_COMMON_AT_PROXY_LRPC2_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct ClientContext;
struct ClientMsg;

/* Audit parameter types. */
enum AuditParameterType {
    AT_END = 0,
    AT_UINT16 = 1,
    AT_UINT32 = 2,
    AT_UINT64 = 3,
    AT_INT16 = 4,
    AT_INT32 = 5,
    AT_INT64 = 6,
    AT_FLOAT = 7,
    AT_UTF8STRING = 8,
    AT_WSTRING = 9,
    AT_BYTE = 10,
    AT_WCHAR = 11,
    AT_EPOCHTIME = 12,
    AT_GUID = 13,
    AT_UTF8STRINGARRAY = 14,
    AT_WSTRINGARRAY = 15
};

/* Result codes. */
enum AuditTrailResult {
    AT_RESULT_OK = 0,               /* handed over, or no audit target configured */
    AT_RESULT_MISSING_FIELD = 2,    /* productName, categoryName or userName missing or empty */
    AT_RESULT_UNSUPPORTED_TYPE = 3, /* a parameter type that is not supported; nothing sent */
    AT_RESULT_UNKNOWN_TYPE = 4,     /* a parameter type above AT_WSTRINGARRAY; nothing sent */
    AT_RESULT_NOT_DELIVERED = 10    /* no session, or the request could not be built or delivered */
};

/* Event time and EPOCHTIME values: seconds then microseconds (16 bytes). */
typedef struct AuditTrailTime {
    int64_t seconds;
    int64_t microseconds;
} AuditTrailTime;

/* Size of the binary security identifier a userSid points to. */
#define AUDIT_TRAIL_SID_SIZE 28

/* What the sender reads: the keys of the daemon's configuration it keeps
 * (prefixes in ascending byte order, null-terminated), the keys of its client
 * log's destination and level and the level's default, the global targets
 * key, and the environment variable a missing session id is taken from. */
extern const char *const AUDIT_TRAIL_CONFIG_PREFIXES[];
#define AUDIT_TRAIL_LOG_DESTINATION_KEY "audittrail.logdest"
#define AUDIT_TRAIL_LOG_LEVEL_KEY "log.audittrail"
#define AUDIT_TRAIL_LOG_LEVEL_DEFAULT "info"
#define AUDIT_TRAIL_TARGETS_KEY "audittrail.targets"
#define AUDIT_TRAIL_SESSION_ID_VARIABLE "QR_SESSION_ID"

/* Sets a context up as SendAuditTrailEvent does (InitClientContext with the
 * values above and the default log destination). Returns what
 * InitClientContext returns; the context must be released in every case. */
int InitAuditTrailClientContext(struct ClientContext *context);

/* Sends one event within a context of its own (set up from the daemon's
 * configuration and torn down before returning). A null sessionId takes the
 * environment variable QR_SESSION_ID. Returns the result code. */
int SendAuditTrailEvent(const char *productName, const char *categoryName, uint32_t eventCode,
                        const AuditTrailTime *eventTime, const char *auxText,
                        const char *userName, const void *userSid, const char *sessionId,
                        uint64_t processID, ...);

/* Send within a context the caller initialised and connected. Return 1 when
 * the operation ran to its end (sent, or nothing to send), 0 when it stopped
 * early: *result then says why (0 for a request that could not be built,
 * completed or delivered). */
int SendATProxySetAuditTrailEvent(struct ClientContext *context, int *result,
                                  const char *productName, const char *categoryName,
                                  uint32_t eventCode, const AuditTrailTime *eventTime,
                                  const char *auxText, const char *userName, const void *userSid,
                                  const char *sessionId, uint64_t processID, ...);
int SendATProxySetAuditTrailEventVAList(struct ClientContext *context, int *result,
                                        const char *productName, const char *categoryName,
                                        uint32_t eventCode, const AuditTrailTime *eventTime,
                                        const char *auxText, const char *userName,
                                        const void *userSid, const char *sessionId,
                                        uint64_t processID, va_list parameters);
int SendATProxySetAuditTrailEventInternal(struct ClientContext *context, int *result,
                                          const char *productName, const char *categoryName,
                                          uint32_t eventCode, const AuditTrailTime *eventTime,
                                          const char *auxText, const char *userName,
                                          const void *userSid, const char *sessionId,
                                          uint64_t processID, va_list parameters);

/* Builds the request SendATProxySetAuditTrailEventInternal sends, up to its
 * last parameter (not completed): checks userName, takes getpid() for a
 * processID of 0, appends the fixed fields and the variable list. The
 * message is registered in the context's call cleanup list, so it is freed
 * with the call's other messages; it must not be freed otherwise. Returns it,
 * or null: *result is then AT_RESULT_MISSING_FIELD, AT_RESULT_UNSUPPORTED_TYPE
 * or AT_RESULT_UNKNOWN_TYPE, or 0 when the message could not be allocated or
 * built. */
struct ClientMsg *BuildATProxySetAuditTrailEvent(struct ClientContext *context, int *result,
                                                 const char *productName, const char *categoryName,
                                                 uint32_t eventCode, const AuditTrailTime *eventTime,
                                                 const char *auxText, const char *userName,
                                                 const void *userSid, const char *sessionId,
                                                 uint64_t processID, va_list parameters);

/* Longest component name ("product.category", spaces as '_') and key. */
#define AUDIT_TRAIL_KEY_SIZE 256

/* How the targets of a product and category were found. The origins are
 * ClientPropertyOriginKind values (client_props_access.h). A setting whose
 * value cannot be evaluated counts as absent: it has its default, with the
 * origin CLIENT_PROPERTY_FAILED. */
typedef struct AuditTrailTargets {
    int global;                               /* AUDIT_TRAIL_TARGETS_KEY, default 2 */
    int globalOrigin;
    int overrides;                            /* the component's overrides, default 0 */
    int overridesOrigin;
    int componentTargets;                     /* the component's targets, default -1: inherit */
    int componentTargetsOrigin;
    int finalTargets;                         /* zero: nothing is sent */
    char component[AUDIT_TRAIL_KEY_SIZE];     /* "Norvalex_Suite.Norvalex_Commands" */
    char overridesKey[AUDIT_TRAIL_KEY_SIZE];
    char targetsKey[AUDIT_TRAIL_KEY_SIZE];
    char reason[1024];                        /* one line: how the final value came about */
} AuditTrailTargets;

/* Reads the three settings and combines them as the sender does, without a
 * line of its own in the client log (the property reads write their usual
 * traces). Returns the final value; a null context gives 0 (and a zeroed
 * record with its reason). */
int ResolveAuditTrailTargets(struct ClientContext *context, const char *productName,
                             const char *categoryName, AuditTrailTargets *targets);

/* The audit targets configured for a product and category: the global
 * "audittrail.targets" (default 2) with the bits selected by the component's
 * overrides taken from its own targets. Zero means nothing is sent. A setting
 * that cannot be read has its default, and a DEBUG line says so. */
int GetComponentAuditTrailTargets(struct ClientContext *context, const char *productName,
                                  const char *categoryName);

#ifdef __cplusplus
}
#endif

#endif
