/*
 * The client log: batching and forwarding of ControlLog2 entries to the
 * daemon, and the emergency log (file, syslog facility or plain syslog) that
 * takes over when the daemon cannot be reached.
 *
 * A ControlLog2 message is a list of entries, each eight parameters
 *   UINT32 time (seconds since the epoch, low 32 bits), STRING process name,
 *   INT32 process id, INT32 level, STRING source file, INT32 source line,
 *   STRING operation, STRING text
 * closed by one entry of zeros and null strings. AddLogEntry in the codec
 * writes an entry; ReplayToEmergencyLog below reads them back.
 *
 * Emergency file lines:  "<Mon dd hh:mm:ss> <ident>[<pid>] <LEVEL>: <text>\n"
 *                        with every byte below 0x20 and 0x7f of ident and
 *                        text written as "\xNN" (two lower-case hex digits)
 * Emergency syslog text: "<LEVEL>: <text>" at the priority of the level.
 */
#include "client_common/log_buffer.h"

#include "client_common/client_msg.h"
#include "client_common/client_msg_reader.h"
#include "client_common/formatted_output.h"
#include "client_common/lrpc2_session.h"
#include "client_common/lrpc2_status.h"
#include "client_common/msg_type_table.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

namespace {

/* Source unit of this unit's own log lines. */
const char kUnit[] = "log_buffer";

/* A forwarded or emergency line keeps at most 510 characters of text. */
const size_t LINE_TEXT_SIZE = 511;
/* A file line keeps 509 characters of text and is at most 1020 characters
 * long with its date, ident, pid, level and closing line feed. */
const size_t FILE_TEXT_SIZE = 510;
const size_t FILE_LINE_SIZE = 1021;
/* A regular file never makes a write wait. The bound is there only so that
 * the write loop leaves the descriptor's non-blocking mode alone. */
const int FILE_WRITE_TIMEOUT = 5;

/* The emergency file line's ident when the log has none; the spelling is the
 * one readers of existing client log files know. */
const char UNKNOWN_IDENT[] = "unkown";

struct FacilityName {
    const char *name;
    int facility;
};

const FacilityName FACILITIES[] = {
    {"auth", LOG_AUTH},         {"cron", LOG_CRON},         {"daemon", LOG_DAEMON},
    {"kern", LOG_KERN},         {"lpr", LOG_LPR},           {"mail", LOG_MAIL},
    {"news", LOG_NEWS},         {"security", LOG_AUTH},     {"user", LOG_USER},
    {"uucp", LOG_UUCP},         {"local0", LOG_LOCAL0},     {"local1", LOG_LOCAL1},
    {"local2", LOG_LOCAL2},     {"local3", LOG_LOCAL3},     {"local4", LOG_LOCAL4},
    {"local5", LOG_LOCAL5},     {"local6", LOG_LOCAL6},     {"local7", LOG_LOCAL7},
    {"authpriv", LOG_AUTHPRIV}, {"ftp", LOG_FTP},
};

/* Facility names are matched exactly: "Syslog" or "DAEMON" are not names. */
int FindFacility(const char *name, int *facility)
{
    for (const FacilityName &entry : FACILITIES) {
        if (strcmp(entry.name, name) == 0) {
            *facility = entry.facility;
            return 1;
        }
    }
    return 0;
}

/* Seconds since the epoch, from the clock the library already reads for
 * its time-outs rather than through one more C library function. */
time_t Now()
{
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return 0;
    return now.tv_sec;
}

/* Level names compare by ASCII letters, whatever the locale. */
bool SameLevelName(const char *name, const char *candidate)
{
    for (;; name++, candidate++) {
        char c = *candidate;
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (*name != c)
            return false;
        if (c == '\0')
            return true;
    }
}

const char *LevelName(uint32_t level)
{
    return LEVEL_NAMES[level <= CLIENT_LOG_FATAL ? level : static_cast<uint32_t>(CLIENT_LOG_INFO)];
}

int LevelPriority(uint32_t level)
{
    switch (level) {
    case CLIENT_LOG_TRACE:
    case CLIENT_LOG_DEBUG:
        return LOG_DEBUG;
    case CLIENT_LOG_WARNING:
        return LOG_WARNING;
    case CLIENT_LOG_ERROR:
        return LOG_ERR;
    case CLIENT_LOG_FATAL:
        return LOG_EMERG;
    default:
        return LOG_INFO;
    }
}

/* strdup that passes null through; *failed is set when a copy was due and
 * memory ran out. */
char *CopyText(const char *text, int *failed)
{
    if (!text)
        return nullptr;
    char *copy = strdup(text);
    if (!copy)
        *failed = 1;
    return copy;
}

EmergencyLog *NewEmergencyLog(int kind, const char *ident, int descriptor)
{
    EmergencyLog *emergency = static_cast<EmergencyLog *>(calloc(1, sizeof *emergency));
    if (!emergency)
        return nullptr;
    int failed = 0;
    emergency->ident = CopyText(ident, &failed);
    if (failed) {
        free(emergency);
        return nullptr;
    }
    emergency->kind = kind;
    emergency->threshold = CLIENT_LOG_INFO;
    emergency->descriptor = descriptor;
    return emergency;
}

void ReleaseEmergencyLog(EmergencyLog *emergency)
{
    if (!emergency)
        return;
    if (emergency->kind == EMERGENCY_LOG_FILE)
        close(emergency->descriptor);
    else if (emergency->descriptor == 1)
        closelog();
    free(emergency->ident);
    free(emergency);
}

/* The file must exist already: the log never creates it, and it must be an
 * absolute path so that the destination does not depend on the caller's
 * working directory.
 *
 * The log folder may be writable by others, and the client may run as root.
 * So only a regular file with exactly one name is written: not a link
 * planted in place of the log (O_NOFOLLOW), not a second name of some other
 * file, not a FIFO or device that could block the client or end it with
 * SIGPIPE. The open itself is non-blocking for the same reason, and the
 * descriptor stays so: a regular file never blocks. */
int OpenFileEmergencyLog(const char *ident, const char *path, EmergencyLog **result)
{
    *result = nullptr;
    if (path[0] != '/')
        return ELOG_NOT_ABSOLUTE;
    int fd = open(path, O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return ELOG_ERRNO;
    struct stat info;
    int refused = 0;
    if (fstat(fd, &info) != 0)
        refused = errno;
    else if (!S_ISREG(info.st_mode) || info.st_nlink != 1)
        refused = EINVAL;
    if (refused != 0) {
        close(fd);
        errno = refused;
        return ELOG_ERRNO;
    }
    EmergencyLog *emergency = NewEmergencyLog(EMERGENCY_LOG_FILE, ident, fd);
    if (!emergency) {
        close(fd);
        return ELOG_OUT_OF_MEMORY;
    }
    *result = emergency;
    return 0;
}

/* Appends text to a file line, each byte below 0x20 and the byte 0x7f as
 * "\xNN": a text that holds a line feed (an argument of the caller, a
 * session id) must not end its line and start one of its own choosing. Stops
 * before the first character or escape that would take the line past limit
 * bytes, so that an escape is never cut in half; false when it stopped. */
bool AppendEscaped(char *line, size_t *length, size_t limit, const char *text)
{
    static const char digits[] = "0123456789abcdef";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; ++p) {
        const bool control = *p < 0x20 || *p == 0x7f;
        if (limit - *length < (control ? 4u : 1u))
            return false;
        if (control) {
            line[(*length)++] = '\\';
            line[(*length)++] = 'x';
            line[(*length)++] = digits[*p >> 4];
            line[(*length)++] = digits[*p & 0xf];
        } else {
            line[(*length)++] = static_cast<char>(*p);
        }
    }
    return true;
}

int EmergencyLogWriteV(EmergencyLog *emergency, uint32_t level, const char *format, va_list args)
{
    if (!emergency || level < emergency->threshold)
        return 0;
    if (!format)
        format = "";
    if (emergency->kind == EMERGENCY_LOG_FILE) {
        char message[FILE_TEXT_SIZE];
        vsnprintf(message, sizeof message, format, args);

        char date[32];
        time_t now = Now();
        struct tm local;
        if (!localtime_r(&now, &local) || strftime(date, sizeof date, "%b %d %T", &local) == 0)
            date[0] = '\0';

        char process[32];
        snprintf(process, sizeof process, "[%d] ", static_cast<int>(getpid()));

        /* The line is cut where its next character or escape would pass the
         * limit (only a very long ident, or a text full of control bytes,
         * makes it that long); a cut line still ends the line, so the next
         * one starts on a line of its own. */
        char line[FILE_LINE_SIZE];
        const size_t limit = sizeof line - 2;
        size_t length = 0;
        const char *const pieces[] = {date, " ", emergency->ident ? emergency->ident : UNKNOWN_IDENT,
                                      process, LevelName(level), ": ", message};
        for (const char *piece : pieces)
            if (!AppendEscaped(line, &length, limit, piece))
                break;
        line[length++] = '\n';
        /* Plain write on the file, through the library's one write-all loop. */
        int status = SendAll(emergency->descriptor, line, length, FILE_WRITE_TIMEOUT, 0);
        return status == LRPC2_OK ? 0 : ELOG_ERRNO;
    }

    char message[LINE_TEXT_SIZE];
    vsnprintf(message, sizeof message, format, args);
    char text[LINE_TEXT_SIZE];
    snprintf(text, sizeof text, "%s: %s", LevelName(level), message);
    syslog(LevelPriority(level), "%s", text);
    return 0;
}

/* Completes the pending message, writes its entries to the emergency log and
 * frees it. */
void ReplayPendingAndDrop(ClientLog *log)
{
    if (!log->pending)
        return;
    MsgComplete(log->pending);
    ReplayToEmergencyLog(log, log->pending);
    MsgFree(log->pending);
    log->pending = nullptr;
}

} // namespace

extern "C" {

uint32_t ClientLogLevelFromName(const char *name)
{
    static const struct {
        const char *name;
        uint32_t level;
    } names[] = {
        {"TRACE", CLIENT_LOG_TRACE},     {"DEBUG", CLIENT_LOG_DEBUG},
        {"INFO", CLIENT_LOG_INFO},       {"WARN", CLIENT_LOG_WARNING},
        {"WARNING", CLIENT_LOG_WARNING}, {"ERROR", CLIENT_LOG_ERROR},
    };
    if (name) {
        for (const auto &entry : names) {
            if (SameLevelName(entry.name, name))
                return entry.level;
        }
    }
    return CLIENT_LOG_INFO;
}

ClientLog *ClientLogCreate(const char *ident, const char *destination, uint32_t threshold,
                           const char *socketPath, int timeout, const MsgTypeTable *messageTable)
{
    ClientLog *log = static_cast<ClientLog *>(calloc(1, sizeof *log));
    if (!log)
        return nullptr;
    int failed = 0;
    log->ident = CopyText(ident, &failed);
    log->destination = CopyText(destination, &failed);
    log->socketPath = CopyText(socketPath, &failed);
    if (failed) {
        free(log->ident);
        free(log->destination);
        free(log->socketPath);
        free(log);
        return nullptr;
    }
    log->threshold = threshold;
    log->timeout = timeout;
    log->messageTable = messageTable;
    return log;
}

int ClientLogEnabled(const ClientLog *log, uint32_t level)
{
    return log && level >= log->threshold;
}

int ClientLogPrintV(ClientLog *log, uint32_t level, const char *sourceFile, int line,
                    const char *operation, const char *format, va_list args)
{
    if (!ClientLogEnabled(log, level))
        return 0;

    char text[LINE_TEXT_SIZE] = "";
    if (format)
        vsnprintf(text, sizeof text, format, args);

    /* Once the daemon has failed us, everything stays local. */
    if (log->emergency)
        return EmergencyLogWrite(log->emergency, level, "%s", text);

    if (!log->pending) {
        int status = 0;
        log->pending = NewClientMsg(MSG_TYPE_CONTROL_LOG2, log->messageTable, LRPC2_HEADER_SIZE,
                                    &status);
        if (!log->pending)
            return 1;
    }
    if (AddLogEntry(log->pending, static_cast<uint32_t>(Now()), log->ident,
                    static_cast<int32_t>(getpid()), static_cast<int32_t>(level), sourceFile, line,
                    operation, text) != 0)
        return 1;

    return log->forwardAtOnce ? ConnectAndSend(log) : 0;
}

int ClientLogPrint(ClientLog *log, uint32_t level, const char *sourceFile, int line,
                   const char *operation, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int status = ClientLogPrintV(log, level, sourceFile, line, operation, format, args);
    va_end(args);
    return status;
}

int ClientLogPrintNoSource(ClientLog *log, uint32_t level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int status = ClientLogPrintV(log, level, nullptr, 0, nullptr, format, args);
    va_end(args);
    return status;
}

int ClientLogFlush(ClientLog *log)
{
    if (!log)
        return 0;
    log->forwardAtOnce = 1;
    return log->pending ? ConnectAndSend(log) : 0;
}

int ClientLogClose(ClientLog *log)
{
    if (!log)
        return 0;
    int status = 0;
    /* Entries still pending are written locally, never forwarded: the
     * context is going away and must not wait on the daemon. */
    if (log->pending) {
        MsgComplete(log->pending);
        status = ReplayToEmergencyLog(log, log->pending);
    }
    SessionClose(log->session);
    ReleaseEmergencyLog(log->emergency);
    MsgFree(log->pending);
    free(log->ident);
    free(log->destination);
    free(log->socketPath);
    free(log);
    return status;
}

void ClientLogDiscard(ClientLog *log)
{
    if (!log)
        return;
    MsgFree(log->pending);
    log->pending = NULL;
    ClientLogClose(log);
}

int ConfigureEmergencyLog(ClientLog *log)
{
    static const char kOperation[] = "ConfigureEmergencyLog";
    if (!log)
        return 0;
    if (log->emergency)
        return 0;

    const char *destination = log->destination;
    EmergencyLog *emergency = nullptr;
    /* The failure line, written once the emergency log exists. */
    enum { NO_FAILURE, FILE_FAILURE, UNKNOWN_FACILITY, FACILITY_FAILURE } failure = NO_FAILURE;
    int failureStatus = 0;
    const char *path = nullptr;

    if (!destination || strcmp(destination, "syslog") == 0) {
        /* plain syslog, below */
    } else if (strncmp(destination, "file ", 5) == 0) {
        path = destination + 5;
        failureStatus = OpenFileEmergencyLog(log->ident, path, &emergency);
        if (failureStatus != 0)
            failure = FILE_FAILURE;
    } else {
        int facility = 0;
        if (!FindFacility(destination, &facility)) {
            failure = UNKNOWN_FACILITY;
        } else {
            emergency = NewEmergencyLog(EMERGENCY_LOG_SYSLOG, log->ident, 1);
            if (!emergency) {
                failure = FACILITY_FAILURE;
                failureStatus = ELOG_OUT_OF_MEMORY;
            } else {
                /* The record keeps the ident alive for as long as syslog
                 * may use it, and closelog runs when it is released. */
                openlog(emergency->ident, LOG_PID | LOG_CONS, facility);
            }
        }
    }

    if (!emergency) {
        /* Plain syslog under the C library's defaults: no ident, no openlog. */
        emergency = NewEmergencyLog(EMERGENCY_LOG_SYSLOG, nullptr, 0);
        if (!emergency)
            return ELOG_OUT_OF_MEMORY;
    }
    log->emergency = emergency;
    EmergencyLogSetLevel(emergency, log->threshold);

    switch (failure) {
    case NO_FAILURE:
        break;
    case FILE_FAILURE:
        ClientLogPrint(log, CLIENT_LOG_DEBUG, kUnit, __LINE__, kOperation,
                       "Failed to open file log '%s': %s", path,
                       EmergencyLogStatusText(failureStatus));
        break;
    case UNKNOWN_FACILITY:
        ClientLogPrint(log, CLIENT_LOG_ERROR, kUnit, __LINE__, kOperation,
                       "Illegal value for log destination '%s': Illegal syslog facility name",
                       destination);
        break;
    case FACILITY_FAILURE:
        ClientLogPrint(log, CLIENT_LOG_ERROR, kUnit, __LINE__, kOperation,
                       "Failed to open syslog facility '%s': %s", destination,
                       EmergencyLogStatusText(failureStatus));
        break;
    }
    return 0;
}

int ConnectAndSend(ClientLog *log)
{
    static const char kOperation[] = "ConnectAndSend";
    if (!log)
        return 0;
    int status = 0;

    if (!log->session) {
        log->session = SessionOpen(log->socketPath, log->messageTable, log->timeout, &status);
        if (!log->session) {
            if (status == 0)
                status = LRPC2_ERR_CANNOT_OPEN_SOCKET;
            ConfigureEmergencyLog(log);
            /* Only once the emergency log exists: through the log, the line
             * would otherwise be forwarded to the daemon that just failed. */
            if (log->emergency)
                ClientLogPrint(log, CLIENT_LOG_DEBUG, kUnit, __LINE__, kOperation,
                               "Failed to open logging connection to dirsvcd through '%s': %s",
                               log->socketPath, LRPC2StatusText(status));
            ReplayPendingAndDrop(log);
            return status;
        }
    }

    if (log->pending) {
        AddLogEntry(log->pending, 0, nullptr, 0, 0, nullptr, 0, nullptr, nullptr);
        MsgComplete(log->pending);
        ClientMsg *reply = SessionTransact(log->session, log->pending, log->timeout, &status);
        /* The daemon's answer carries nothing the log uses. */
        MsgFree(reply);
        if (status != 0) {
            /* The stream may be out of step now; the next send starts afresh. */
            SessionClose(log->session);
            log->session = nullptr;
            ConfigureEmergencyLog(log);
            if (log->emergency)
                ClientLogPrint(log, CLIENT_LOG_WARNING, kUnit, __LINE__, kOperation,
                               "Failed to send log message: %s", LRPC2StatusText(status));
            ReplayToEmergencyLog(log, log->pending);
        }
    }

    MsgFree(log->pending);
    log->pending = nullptr;
    return status;
}

int ReplayToEmergencyLog(ClientLog *log, ClientMsg *message)
{
    if (!log)
        return 0;
    ConfigureEmergencyLog(log);

    int status = 0;
    for (;;) {
        uint32_t time = 0;
        int32_t processId = 0, level = 0, line = 0;
        char *ident = nullptr, *sourceFile = nullptr, *operation = nullptr, *text = nullptr;
        /* Only the level and the text are used: the local line carries the
         * time and process id of the replay. */
        if ((status = MsgReadUInt32(message, &time)) == 0 &&
            (status = MsgReadString(message, &ident)) == 0 &&
            (status = MsgReadInt32(message, &processId)) == 0 &&
            (status = MsgReadInt32(message, &level)) == 0 &&
            (status = MsgReadString(message, &sourceFile)) == 0 &&
            (status = MsgReadInt32(message, &line)) == 0 &&
            (status = MsgReadString(message, &operation)) == 0 &&
            (status = MsgReadString(message, &text)) == 0 && text)
            EmergencyLogWrite(log->emergency, static_cast<uint32_t>(level), "%s", text);
        MsgFreeString(ident, 0);
        MsgFreeString(sourceFile, 0);
        MsgFreeString(operation, 0);
        MsgFreeString(text, 0);
        if (status != 0)
            break;
    }
    return status == MSG_ERR_AT_END ? 0 : status;
}

int EmergencyLogWrite(EmergencyLog *emergency, uint32_t level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int status = EmergencyLogWriteV(emergency, level, format, args);
    va_end(args);
    return status;
}

uint32_t EmergencyLogSetLevel(EmergencyLog *emergency, uint32_t level)
{
    if (!emergency)
        return CLIENT_LOG_INFO;
    uint32_t previous = emergency->threshold;
    if (level <= CLIENT_LOG_FATAL)
        emergency->threshold = level;
    return previous;
}

const char *EmergencyLogStatusText(int status)
{
    switch (status) {
    case ELOG_NOT_ABSOLUTE:
        return "An absolute pathname was not given";
    case ELOG_OUT_OF_MEMORY:
        return "Out of memory";
    case ELOG_ERRNO:
        return "Refer to errno for details";
    default:
        return nullptr;
    }
}

} // extern "C"
