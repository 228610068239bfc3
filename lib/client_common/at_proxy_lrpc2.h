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

/* The audit targets configured for a product and category: the global
 * "audittrail.targets" (default 2) with the bits selected by the component's
 * overrides taken from its own targets. Zero means nothing is sent. */
int GetComponentAuditTrailTargets(struct ClientContext *context, const char *productName,
                                  const char *categoryName);

#ifdef __cplusplus
}
#endif

#endif
