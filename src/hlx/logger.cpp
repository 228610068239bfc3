#include "hlx/logger.h"

#include "hlx/common.h"
#include "hlx/log_queue.h"
#include "hlx/mutex.h"
#include "hlx/osport.h"
#include "hlx/property_lookup.h"
#include "hlx/thread.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <algorithm>
#include <unordered_map>

namespace hlx {

namespace {

// Looked up by name on every getLogger(); walked in no particular order.
struct Registry {
    LoggerPtr root;
    std::unordered_map<std::string, LoggerPtr> loggers;
};

// Both mutexes may be needed by static initialisers of other units, hence
// created on first use. Lock order: output then registry while the first
// output loads the configuration; registry then output for warnings logged
// while configuring. Both are recursive, so neither path deadlocks alone.
LazyMutex gRegistryMutex;
LazyMutex gOutputMutex;
Registry *gRegistry = nullptr;  // guarded by gRegistryMutex
bool gSyslogOpened = false;     // guarded by gOutputMutex
char *gSyslogIdent = nullptr;   // guarded by gOutputMutex; openlog keeps the pointer

} // namespace

bool (*gQueueLogLine)(int, const char *, va_list) = nullptr;  // guarded by gOutputMutex

namespace {

pthread_once_t gContextKeyOnce = PTHREAD_ONCE_INIT;
pthread_key_t gContextKey;
bool gContextKeyCreated = false;
char *gProcessContext = nullptr;  // the tag when the process has no threads

const char *const LEVEL_LABELS[7] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL", "DISABLED"};
const int LEVEL_SEVERITIES[7] = {LOG_DEBUG, LOG_DEBUG, LOG_INFO, LOG_WARNING, LOG_ERR, LOG_EMERG, LOG_EMERG};

const struct {
    const char *name;
    int code;
} FACILITIES[] = {
    {"auth", 32},    {"authpriv", 80}, {"cron", 72},    {"daemon", 24},  {"ftp", 88},
    {"kern", 0},     {"lpr", 48},      {"mail", 16},    {"news", 56},    {"syslog", 40},
    {"user", 8},     {"uucp", 64},     {"local0", 128}, {"local1", 136}, {"local2", 144},
    {"local3", 152}, {"local4", 160},  {"local5", 168}, {"local6", 176}, {"local7", 184},
};

const size_t LINE_CAPACITY = 512;

const char *levelLabel(LogLevel level)
{
    return level < 0 || level > LEVEL_DISABLED ? "" : LEVEL_LABELS[level];
}

int severity(LogLevel level)
{
    if (level < 0)
        return LOG_DEBUG;
    if (level > LEVEL_DISABLED)
        return LOG_EMERG;
    return LEVEL_SEVERITIES[level];
}

void createContextKey()
{
    gContextKeyCreated = pthread_key_create(&gContextKey, free) == 0;
}

bool contextKey(pthread_key_t *key)
{
    if (!Thread::threadsSupported())
        return false;
    pthread_once(&gContextKeyOnce, createContextKey);
    *key = gContextKey;
    return gContextKeyCreated;
}

// The composed format of one line, built on the caller's stack: at most 511
// characters, each step stopping when the buffer is full.
class Line {
public:
    void append(const char *text, bool escape)
    {
        for (; *text && !m_full; ++text) {
            // A '%' in a name, tag or error text is printed, never expanded:
            // names come from configuration keys.
            size_t needed = escape && *text == '%' ? 2 : 1;
            if (m_length + needed > LINE_CAPACITY - 1) {
                m_full = true;
                break;
            }
            m_text[m_length++] = *text;
            if (needed == 2)
                m_text[m_length++] = '%';
        }
    }
    void append(const std::string &text, bool escape) { append(text.c_str(), escape); }

    // The cut may have split a conversion of the caller's format ("%", "%l");
    // such a remainder is dropped so the format never ends inside one.
    const char *finish()
    {
        if (m_full)
            dropIncompleteConversion();
        m_text[m_length] = '\0';
        return m_text;
    }

private:
    void dropIncompleteConversion()
    {
        size_t i = 0;
        while (i < m_length) {
            if (m_text[i] != '%') {
                ++i;
                continue;
            }
            size_t start = i++;
            while (i < m_length && m_text[i] != '\0' && strchr("-+ #0'123456789.*$hlLqjztI", m_text[i]))
                ++i;
            if (i >= m_length) {
                m_length = start;
                return;
            }
            ++i;
        }
    }

    char m_text[LINE_CAPACITY];
    size_t m_length = 0;
    bool m_full = false;
};

// Whether the first output opens the syslog connection explicitly. The
// switch "logger.openlog.<program>" is handed over by configure() after each
// complete load of the process-wide store, so the output path never reads
// the store itself: it would take the store's lock under whatever locks the
// logging thread holds. The first output only makes sure the store exists.
enum OpenlogDecision { OPENLOG_UNDECIDED, OPENLOG_DECIDING, OPENLOG_OPEN, OPENLOG_SKIP };
std::atomic<int> gOpenlogDecision{OPENLOG_UNDECIDED};

void decideOpenlog()
{
    int expected = OPENLOG_UNDECIDED;
    // Lines logged while the store loads (its own) go out without an
    // explicit openlog: the C library opens a connection itself.
    if (!gOpenlogDecision.compare_exchange_strong(expected, OPENLOG_DECIDING))
        return;
    loadProperties();
    // No complete load: the switch is unset, which opens the connection.
    expected = OPENLOG_DECIDING;
    gOpenlogDecision.compare_exchange_strong(expected, OPENLOG_OPEN);
}

// Under the output mutex: once per process, before the first line written
// after the decision.
void openSyslogOnce()
{
    if (gSyslogOpened)
        return;
    int decision = gOpenlogDecision.load();
    if (decision != OPENLOG_OPEN && decision != OPENLOG_SKIP)
        return;
    gSyslogOpened = true;
    if (decision == OPENLOG_SKIP)
        return;
    EnsureProgramName();
    const char *program = program_invocation_short_name;
    if (!gSyslogIdent)
        gSyslogIdent = strdup(program);
    openlog(gSyslogIdent ? gSyslogIdent : program, LOG_PID, DEFAULT_FACILITY);
}

void output(int priority, const char *format, va_list arguments)
{
    if (gOpenlogDecision.load() == OPENLOG_UNDECIDED)
        decideOpenlog();
    ScopedLock guard(gOutputMutex.get());
    openSyslogOnce();
    if (!gQueueLogLine || !gQueueLogLine(priority, format, arguments))
        vsyslog(priority, format, arguments);
    guard.release();
}

} // namespace

void logger_detail::lowerLowestLevel(int level)
{
    int lowest = gLowestLevel.load(std::memory_order_relaxed);
    while (level < lowest && !gLowestLevel.compare_exchange_weak(lowest, level, std::memory_order_relaxed)) {
    }
}

Logger::Logger(const std::string &name, const LoggerPtr &parent, LogLevel level, int facility)
    : m_name(name), m_parent(parent), m_level(level), m_facility(facility)
{
}

LoggerPtr Logger::getLogger(const std::string &name)
{
    ScopedLock guard(gRegistryMutex.get());
    if (!gRegistry) {
        gRegistry = new Registry;
        gRegistry->root.reset(new Logger("", LoggerPtr(), LEVEL_INFO, DEFAULT_FACILITY));
    }
    if (name.empty())
        return gRegistry->root;
    auto found = gRegistry->loggers.find(name);
    if (found != gRegistry->loggers.end())
        return found->second;
    std::string::size_type dot = name.rfind('.');
    LoggerPtr parent = getLogger(dot == std::string::npos ? std::string() : name.substr(0, dot));
    LoggerPtr logger(new Logger(name, parent, LEVEL_INHERIT, -1));
    gRegistry->loggers[name] = logger;
    return logger;
}

void Logger::setOpenlogSwitch(const std::string &value)
{
    std::string lower = lowerCase(value);
    bool skip = lower == "false" || lower == "no" || lower == "0";
    gOpenlogDecision.store(skip ? OPENLOG_SKIP : OPENLOG_OPEN);
}

Mutex &Logger::registryMutex()
{
    return gRegistryMutex.get();
}

Mutex &Logger::outputMutex()
{
    return gOutputMutex.get();
}

void Logger::resetForConfiguration()
{
    getLogger(std::string())->setLevel(LEVEL_FATAL);
    for (const auto &entry : gRegistry->loggers) {
        entry.second->setLevel(LEVEL_INHERIT);
        entry.second->setFacility(-1);
    }
}

LogLevel Logger::inheritedLevel() const
{
    LogLevel level = LEVEL_INHERIT;
    for (const Logger *ancestor = m_parent.get(); ancestor; ancestor = ancestor->m_parent.get()) {
        level = ancestor->m_level.load(std::memory_order_relaxed);
        if (level != LEVEL_INHERIT)
            break;
    }
    if (level == LEVEL_INHERIT)
        level = LEVEL_INFO;
    m_level.store(level, std::memory_order_relaxed);
    return level;
}

int Logger::effectiveFacility() const
{
    for (const Logger *logger = this; logger; logger = logger->m_parent.get()) {
        int facility = logger->m_facility.load(std::memory_order_relaxed);
        if (facility != -1)
            return facility;
    }
    return DEFAULT_FACILITY;
}

#if TRAILSEND_LOG_LEVEL_TEST_INLINE
void Logger::logIfEnabled(LogLevel level, const char *format, ...) const
#else
void Logger::log(LogLevel level, const char *format, ...) const
#endif
{
    if (level < effectiveLevel())
        return;
    va_list arguments;
    va_start(arguments, format);
    write(level, false, 0, format, arguments);
    va_end(arguments);
}

#if TRAILSEND_LOG_LEVEL_TEST_INLINE
void Logger::logErrnoIfEnabled(LogLevel level, int error, const char *format, ...) const
#else
void Logger::logErrno(LogLevel level, int error, const char *format, ...) const
#endif
{
    if (level < effectiveLevel())
        return;
    va_list arguments;
    va_start(arguments, format);
    write(level, true, error, format, arguments);
    va_end(arguments);
}

void Logger::write(LogLevel level, bool withError, int error, const char *format,
                   va_list arguments) const
{
    Line line;
    char field[7] = "      ";
    const char *label = levelLabel(level);
    memcpy(field, label, std::min<size_t>(strlen(label), 5));
    line.append(field, false);
    if (const char *tag = threadContext()) {
        line.append("<", false);
        line.append(tag, true);
        line.append("> ", false);
    }
    if (m_name != "client") {
        line.append(m_name, true);
        line.append(" ", false);
    }
    line.append(format ? format : "", false);
    if (withError) {
        // Not errorText(): composing a line allocates nothing.
        char text[256];
        line.append(": ", false);
        line.append(strerror_r(error, text, sizeof text), true);
    }
    output(effectiveFacility() | severity(level), line.finish(), arguments);
}

void Logger::dump(LogLevel level, const char *header, const void *bytes, size_t count) const
{
    if (level < effectiveLevel())
        return;
    // The header is text, not a format: a '%' in it is printed.
    log(level, "%s", header ? header : "");
    if (count == 0 || !bytes)
        return;
    static const char HEX[] = "0123456789abcdef";
    const unsigned char *data = static_cast<const unsigned char *>(bytes);
    for (size_t offset = 0; offset < count; offset += 16) {
        size_t n = std::min<size_t>(16, count - offset);
        char row[81];
        memset(row, ' ', 80);
        for (size_t k = 0; k < n; ++k) {
            unsigned char c = data[offset + k];
            row[3 * k] = HEX[c >> 4];
            row[3 * k + 1] = HEX[c & 0x0f];
            row[50 + k] = c >= 0x20 && c <= 0x7f ? static_cast<char>(c) : '.';
        }
        row[50 + n + 1] = '\0';
        log(level, "%s", row);
    }
}

void Logger::setThreadContext(const char *tag)
{
    char *copy = tag ? strdup(tag) : nullptr;
    pthread_key_t key;
    if (contextKey(&key)) {
        char *previous = static_cast<char *>(pthread_getspecific(key));
        pthread_setspecific(key, copy);
        free(previous);
    } else {
        free(gProcessContext);
        gProcessContext = copy;
    }
}

const char *Logger::threadContext()
{
    pthread_key_t key;
    if (contextKey(&key))
        return static_cast<const char *>(pthread_getspecific(key));
    return gProcessContext;
}

void Logger::shutdown()
{
    {
        ScopedLock guard(gRegistryMutex.get());
        delete gRegistry;
        gRegistry = nullptr;
        closelog();
    }
    gRegistryMutex.destroy();
    // The connection is closed; should the process log again after all,
    // it opens it again like a first output.
    ScopedLock guard(gOutputMutex.get());
    gSyslogOpened = false;
}

std::string levelName(LogLevel level)
{
    return levelLabel(level);
}

LogLevel parseLevel(const std::string &name)
{
    if (name.empty())
        return LEVEL_INFO;
    const std::string upper = upperCase(name);
    for (int level = LEVEL_TRACE; level <= LEVEL_DISABLED; ++level)
        if (upper == LEVEL_LABELS[level])
            return level;
    return -1;
}

int facilityCode(const std::string &name)
{
    std::string lower = lowerCase(name);
    for (const auto &facility : FACILITIES)
        if (lower == facility.name)
            return facility.code;
    return -1;
}

} // namespace hlx
