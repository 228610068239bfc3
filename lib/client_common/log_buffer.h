/*
 * The client library's log.
 *
 * Lines of the client (property traces, protocol traces, failures) are not
 * written locally in the normal case: they are gathered as entries of one
 * ControlLog2 message and forwarded over the log's own LRPC2 session to the
 * daemon, which writes them into its own log. The log starts out batching
 * (entries pile up in one pending message); ClientLogFlush sends the batch and
 * switches to forwarding every line at once.
 *
 * Only when the daemon cannot be reached, or when the log is closed with
 * entries still unsent, does the log turn to its emergency log: a file
 * ("file /abs/path"), a syslog facility ("daemon", "local3", ...) or plain
 * syslog ("syslog", a null destination, or any destination that cannot be
 * used). Once the emergency log exists, every later line goes there and
 * nothing more is forwarded.
 *
 * A log belongs to one client context and is used by one thread; nothing here
 * takes a lock. No function aborts or prints to the terminal; null inputs
 * give a status.
 */
#ifndef CLIENT_COMMON_LOG_BUFFER_H
#define CLIENT_COMMON_LOG_BUFFER_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct ClientMsg;
struct MsgTypeTable;
struct LRPC2Session;

/* Client log levels; a line is written when its level is at or above the
 * threshold. A level above CLIENT_LOG_FATAL is written as INFO. */
enum {
    CLIENT_LOG_TRACE = 0,
    CLIENT_LOG_DEBUG = 1,
    CLIENT_LOG_INFO = 2,
    CLIENT_LOG_WARNING = 3,
    CLIENT_LOG_ERROR = 4,
    CLIENT_LOG_FATAL = 5
};

/* Emergency log status codes (0 = success); texts from EmergencyLogStatusText. */
enum EmergencyLogStatus {
    ELOG_NOT_ABSOLUTE = 100,  /* "An absolute pathname was not given" */
    ELOG_OUT_OF_MEMORY = 101, /* "Out of memory" */
    ELOG_ERRNO = 102          /* "Refer to errno for details" */
};

/* Kinds of emergency log. */
enum {
    EMERGENCY_LOG_FILE = 0,
    EMERGENCY_LOG_SYSLOG = 1
};

/* The local fall-back destination; owned by its ClientLog. */
typedef struct EmergencyLog {
    char *ident;        /* heap copy of the process name, or null */
    int kind;           /* EMERGENCY_LOG_FILE or EMERGENCY_LOG_SYSLOG */
    uint32_t threshold; /* initially CLIENT_LOG_INFO */
    /* File: the open descriptor. Syslog: 1 when openlog was called for this
     * log (closelog is due at release), 0 for plain syslog. */
    int descriptor;
} EmergencyLog;

/* The client log of one client context (heap record, owned by the context). */
typedef struct ClientLog {
    char *ident;                             /* heap copy of the process name */
    char *destination;                       /* heap copy of the destination text, or null */
    uint32_t threshold;
    char *socketPath;                        /* daemon socket used for forwarding */
    struct ClientMsg *pending;               /* ControlLog2 being filled, or null */
    int timeout;                             /* seconds, for the session operations */
    const struct MsgTypeTable *messageTable; /* borrowed */
    struct LRPC2Session *session;            /* forwarding session, or null */
    int forwardAtOnce;                       /* 0 batching, 1 forwarding every line at once */
    EmergencyLog *emergency;                 /* null until configured */
} ClientLog;

/* Level names for output, index = level: "TRACE", "DEBUG", "INFO",
 * "WARNING", "ERROR", "FATAL". Exported to shared objects. */
extern const char *const LEVEL_NAMES[6];

/* Level number of a configured level name, compared without regard to case:
 * TRACE 0, DEBUG 1, INFO 2, WARN 3, WARNING 3, ERROR 4. Anything else,
 * null included, gives CLIENT_LOG_INFO (FATAL cannot be configured). */
uint32_t ClientLogLevelFromName(const char *name);

/* Creates a batching log with no pending message, no session and no emergency
 * log. Copies ident, destination (may be null) and socket path; the message
 * table is borrowed. Null when out of memory. */
ClientLog *ClientLogCreate(const char *ident, const char *destination, uint32_t threshold,
                           const char *socketPath, int timeout,
                           const struct MsgTypeTable *messageTable);

/* 1 when the log is not null and the level is at or above its threshold.
 * Callers test it before building costly arguments (CLIENT_LOG does). */
int ClientLogEnabled(const ClientLog *log, uint32_t level);

/* Logs one line (at most 510 characters are kept). sourceFile is the calling
 * source unit without extension, operation the calling public operation.
 * A level that does not pass ClientLogEnabled returns 0 without formatting.
 * Returns 0, 1 when a forwarded entry could not be built (out of memory), the
 * LRPC2Status of a failed forwarding, or the EmergencyLogWrite status once
 * the emergency log exists. */
int ClientLogPrint(ClientLog *log, uint32_t level, const char *sourceFile, int line,
                   const char *operation, const char *format, ...)
    __attribute__((format(printf, 6, 7)));
int ClientLogPrintV(ClientLog *log, uint32_t level, const char *sourceFile, int line,
                    const char *operation, const char *format, va_list args)
    __attribute__((format(printf, 6, 0)));
/* The same without source position: null source file, line 0, null operation. */
int ClientLogPrintNoSource(ClientLog *log, uint32_t level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/* Logs a line with the caller's line number after testing the level, so that
 * the arguments of a disabled level are not even evaluated. */
#define CLIENT_LOG(log, level, sourceUnit, operation, ...)                                  \
    (ClientLogEnabled((log), (level))                                                       \
         ? ClientLogPrint((log), (level), (sourceUnit), __LINE__, (operation), __VA_ARGS__) \
         : 0)

/* Switches the log to forwarding every line at once; sends what is pending
 * (ConnectAndSend) and returns its status, or 0 when nothing is pending. */
int ClientLogFlush(ClientLog *log);

/* Writes entries still pending to the emergency log (never forwards them),
 * then releases the session, the emergency log, the pending message and the
 * log. Returns the replay status (0 normally). Accepts null. */
int ClientLogClose(ClientLog *log);

/* Releases the log without writing anything anywhere: entries still pending
 * are dropped, neither forwarded nor replayed. For a caller that set a
 * context up only to inspect it. Accepts null. */
void ClientLogDiscard(ClientLog *log);

/* Creates the emergency log once from the destination text, falling back to
 * plain syslog (with a failure line written to it) when the destination is
 * unusable. A file destination is usable when it exists and is a regular
 * file with exactly one link, named without a symbolic link as its last
 * component. 0 when the log has an emergency log afterwards; ELOG_OUT_OF_MEMORY
 * when not even plain syslog could be set up. A null log gives 0. */
int ConfigureEmergencyLog(ClientLog *log);

/* Forwards the pending message on the log's session (opened when missing),
 * with its closing entry. On failure the session is closed, a line about the
 * failure and the message's entries go to the emergency log, and the
 * LRPC2Status is returned. The pending message is freed in every case. */
int ConnectAndSend(ClientLog *log);

/* Writes the texts of the entries of a completed ControlLog2 message to the
 * emergency log (configuring it first). 0 at the end of the message, else the
 * MsgStatus of the read that failed. */
int ReplayToEmergencyLog(ClientLog *log, struct ClientMsg *message);

/* Writes one line when the level passes the emergency log's own threshold;
 * in a file line every byte below 0x20 and 0x7f of the ident and the text is
 * written as "\xNN". 0, or ELOG_ERRNO on a failed write (errno tells why). A null log writes
 * nothing and returns 0. */
int EmergencyLogWrite(EmergencyLog *emergency, uint32_t level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/* Sets the threshold and returns the previous one; a level above
 * CLIENT_LOG_FATAL leaves it unchanged. A null log answers CLIENT_LOG_INFO. */
uint32_t EmergencyLogSetLevel(EmergencyLog *emergency, uint32_t level);

/* Text of an emergency log status, or null for any other code. */
const char *EmergencyLogStatusText(int status);

#ifdef __cplusplus
}
#endif

#endif
