// hlx::Logger: named loggers in a tree by dotted name, writing to syslog.
//
// "qra.cli.trailsend" is a child of "qra.cli", a child of "qra", a child of
// the root logger (name ""). Each logger has a level and a syslog facility
// or inherits them (-1) from the nearest ancestor that has one. Until the
// configuration is applied the root is at INFO with facility auth (32).
// Loggers are created on first use by getLogger() and live until shutdown().
//
// A line that passes the level test is composed as
//     <level name cut/padded to 5> " " ["<" tag "> "] [<name> " "] <format>
// (the name is left out for the logger "client"), at most 511 characters,
// and goes to syslog with the effective facility and the level's severity.
// Logger names and thread tags are escaped, so a '%' in them is printed, not
// expanded. The first output of the process opens the syslog connection
// (ident: the program's short name, LOG_PID, facility auth) unless the
// property "logger.openlog.<program>" is "false", "no" or "0".
//
// Every operation may be called from any thread.
#pragma once

#include <boost/shared_ptr.hpp>

#include <stdarg.h>
#include <stddef.h>

#include <atomic>
#include <string>

// g++ forwards the arguments of an always-inlined variadic function with
// __builtin_va_arg_pack, so the level test of a log call can be inline
// before any argument is passed on; clang has no such builtin and calls.
#if defined(__GNUC__) && !defined(__clang__)
#define TRAILSEND_LOG_LEVEL_TEST_INLINE 1
#else
#define TRAILSEND_LOG_LEVEL_TEST_INLINE 0
#endif

// Level names of the client log, indexed by level: "TRACE", "DEBUG", "INFO",
// "WARNING", "ERROR", "FATAL". Exported to the whole process.
extern "C" const char *const LEVEL_NAMES[6];

namespace hlx {

typedef int LogLevel;
constexpr LogLevel LEVEL_INHERIT = -1;
constexpr LogLevel LEVEL_TRACE = 0;
constexpr LogLevel LEVEL_DEBUG = 1;
constexpr LogLevel LEVEL_INFO = 2;
constexpr LogLevel LEVEL_WARN = 3;
constexpr LogLevel LEVEL_ERROR = 4;
constexpr LogLevel LEVEL_FATAL = 5;
constexpr LogLevel LEVEL_DISABLED = 6;

// Facility of the root logger until configured (auth).
constexpr int DEFAULT_FACILITY = 32;

class Logger;
class Mutex;

namespace logger_detail {
// The lowest level any logger has been given (INFO, the level of a tree
// nobody configured, until one is given a lower one): every logger's level
// is at or above it, so a call below it is refused without reading its
// logger. It is only ever lowered.
inline std::atomic<int> gLowestLevel{LEVEL_INFO};
// Lowers gLowestLevel to `level` when that is lower.
void lowerLowestLevel(int level);
} // namespace logger_detail
class Properties;
class RunQueue;
typedef boost::shared_ptr<Logger> LoggerPtr;

class Logger {
public:
    // The logger of that full name, created with any missing ancestors; ""
    // gives the root. Never empty.
    static LoggerPtr getLogger(const std::string &name);

    const std::string &name() const { return m_name; }
    const LoggerPtr &parent() const { return m_parent; }

    // Own level (-1 = inherit); setting it also replaces the cached effective level.
    LogLevel level() const { return m_level.load(std::memory_order_relaxed); }
    void setLevel(LogLevel level)
    {
        if (level != LEVEL_INHERIT && level < logger_detail::gLowestLevel.load(std::memory_order_relaxed))
            logger_detail::lowerLowestLevel(level);
        m_level.store(level, std::memory_order_relaxed);
    }
    // Own facility code (-1 = inherit).
    int facility() const { return m_facility.load(std::memory_order_relaxed); }
    void setFacility(int facility) { m_facility.store(facility, std::memory_order_relaxed); }

    // Own level, or the nearest ancestor's; the result is cached as the own
    // level until setLevel(-1) makes the logger inherit again.
    LogLevel effectiveLevel() const
    {
        LogLevel level = m_level.load(std::memory_order_relaxed);
        return level != LEVEL_INHERIT ? level : inheritedLevel();
    }
    int effectiveFacility() const;
    bool isEnabled(LogLevel level) const { return level >= effectiveLevel(); }

    // Arguments are evaluated as for any call, but a call below the level
    // neither reads nor expands them.
#if TRAILSEND_LOG_LEVEL_TEST_INLINE
    // The level test is made at the call site, before the arguments are
    // passed on: a call below every logger's level costs a load and a
    // comparison, one below this logger's cached level a second pair. An
    // inheriting logger (-1) fails it and goes on to the full test, which
    // resolves and caches the level; so does a level below -1, for which
    // the full test caches too.
    __attribute__((always_inline, format(printf, 3, 4))) void log(LogLevel level, const char *format, ...) const
    {
        if (belowLevel(level))
            return;
        logIfEnabled(level, format, __builtin_va_arg_pack());
    }
    // As log(), with ": " and the system's text for `error` appended.
    __attribute__((always_inline, format(printf, 4, 5))) void logErrno(LogLevel level, int error, const char *format,
                                                                        ...) const
    {
        if (belowLevel(level))
            return;
        logErrnoIfEnabled(level, error, format, __builtin_va_arg_pack());
    }
#else
    void log(LogLevel level, const char *format, ...) const __attribute__((format(printf, 3, 4)));
    // As log(), with ": " and the system's text for `error` appended.
    void logErrno(LogLevel level, int error, const char *format, ...) const
        __attribute__((format(printf, 4, 5)));
#endif
    // The header line, then the bytes as rows of 16: hex pairs from column 0,
    // the printable characters ('.' for others) from column 50.
    void dump(LogLevel level, const char *header, const void *bytes, size_t count) const;

    // Sets (a private copy) or, with null, clears the calling thread's tag.
    static void setThreadContext(const char *tag);
    // The calling thread's tag, or null.
    static const char *threadContext();

    // Sets the levels and facilities of the whole tree from the properties
    // "log", "log.<logger>", "logger.facility.<selector>" and
    // "logger.facility.<selector>.<logger>" (selector "*", then the program
    // name). Every logger first goes back to inheriting; bad values are
    // reported as warnings on "com.norvalex.logger". The properties store
    // calls this after each complete load.
    static void configure(Properties &properties);

    // Releases the registry and closes the syslog connection; the last
    // logger operation of a process (a later getLogger starts afresh).
    static void shutdown();

    // The log queue: once started, every line is formatted into a queued
    // message that the background thread "com.norvalex.logger" writes to
    // syslog, so logging threads never wait for syslog. Woken by the first
    // line of a burst, the thread lets more gather for up to 2 milliseconds
    // (less once a quarter of the queue is full), then writes them in
    // batches. Its capacity is the
    // property "logger.queue.size" (256 when unset; four times that while the
    // logger "log" is at DEBUG or TRACE); a size below 1 leaves the queue off
    // with a warning on `reporter`. When the queue is full the line being
    // logged is lost and, while "log" shows ERROR, the newest queued line
    // gives its place to a warning. A failed thread start throws
    // hlx::SystemException and leaves the queue off. `reporter` may be empty.
    static void startQueue(const LoggerPtr &reporter);
    // Stops the thread and writes every line still queued before returning;
    // later lines go straight to syslog again.
    static void stopQueue(const LoggerPtr &reporter);
    // The running log queue, or null; valid until stopQueue. For tools that
    // watch its fill level or hand it work of their own.
    static RunQueue *logQueue();

    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;

private:
    Logger(const std::string &name, const LoggerPtr &parent, LogLevel level, int facility);
    // For configure(): the registry mutex, and the first step of a
    // configuration (root at FATAL, every other logger inheriting), made
    // while the caller holds that mutex.
    static Mutex &registryMutex();
    // For the log queue: the mutex held around every output.
    static Mutex &outputMutex();
    static void resetForConfiguration();
    // The nearest ancestor's level, cached as the own level.
    LogLevel inheritedLevel() const;
    // The inline part of the level test: true when `level` is below every
    // logger's level or below this one's cached level.
    bool belowLevel(LogLevel level) const
    {
        return level >= LEVEL_INHERIT && (level < logger_detail::gLowestLevel.load(std::memory_order_relaxed) ||
                                          level < m_level.load(std::memory_order_relaxed));
    }
#if TRAILSEND_LOG_LEVEL_TEST_INLINE
    // The rest of an inline log() or logErrno(): the full level test, then
    // the line.
    void logIfEnabled(LogLevel level, const char *format, ...) const __attribute__((format(printf, 3, 4)));
    void logErrnoIfEnabled(LogLevel level, int error, const char *format, ...) const
        __attribute__((format(printf, 4, 5)));
#endif
    // For configure(): the value of "logger.openlog.<program>" in the
    // process-wide store, applied by the first output.
    static void setOpenlogSwitch(const std::string &value);
    void write(LogLevel level, bool withError, int error, const char *format,
               va_list arguments) const;

    std::string m_name;
    LoggerPtr m_parent;
    // Read without a lock on every log call.
    mutable std::atomic<int> m_level;
    std::atomic<int> m_facility;
};

// "TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL", "DISABLED" for 0..6; "" otherwise.
std::string levelName(LogLevel level);
// The level of one of those names (any case); 2 (INFO) for ""; -1 otherwise.
LogLevel parseLevel(const std::string &name);
// The syslog facility code (already shifted) of a facility name (any case);
// -1 when unknown.
int facilityCode(const std::string &name);

} // namespace hlx
