// The framework's exceptions. Every failure of the framework is reported by
// throwing one of these; none returns an error code.
//
// Each exception carries a message (what()), a result code (rc(): the error
// number for a failed system call, -1 for data errors) and is built with the
// framework module name and line of the code that raises it. Building one
// with the log flag set writes a DEBUG line to the logger "util.except"
// (when DEBUG is enabled there), so a failure leaves a trace even when the
// caller swallows the exception:
//     "<label> <message> (reference <unit>:<line> rc: <rc>)"
// A label of "EndOfFileException" is never logged.
//
// A failed system call is reported as "<what>: <the system's error text>";
// systemErrorMessage() builds every such message, and the fromError()
// factories build the exceptions that carry one.
//
// Catch by class: hlx::Base_Exception catches all of them. std::exception
// catches all but hlx::BufferFullException, which has std::exception twice
// among its bases (once through HLXException, once through
// std::out_of_range) and is therefore caught as std::out_of_range (or
// std::logic_error, hlx::Base_Exception, HLXException) instead.
#pragma once

#include <stdexcept>
#include <string>

// Root of the framework's exceptions, raised only through the classes below.
class HLXException : public std::exception {
public:
    ~HLXException() override;
    int rc() const { return m_rc; }

protected:
    explicit HLXException(int rc) : m_rc(rc) {}

private:
    int m_rc;
};

namespace hlx {

// "<what>: <the system's text for error>".
std::string systemErrorMessage(const std::string &what, int error);

class Base_Exception : public HLXException {
public:
    // unit: the raising module ("thread", "mutex", "osport", ...); label: the
    // kind of failure as the raising code names it ("hlx::SystemException",
    // "IOException", ...).
    Base_Exception(const char *unit, int line, const std::string &message, const char *label,
                   int rc, bool log);
    ~Base_Exception() override;
    const char *what() const noexcept override;
    const std::string &message() const { return m_message; }

private:
    std::string m_message;
};

// An operating-system or thread-library call failed; rc is its error number.
class SystemException : public Base_Exception {
public:
    using Base_Exception::Base_Exception;
    // "OS call failed: <system text for error>", logged, with the error
    // number as result code, or `rc` where the unit reports the failed
    // call's own result instead.
    static SystemException fromError(const char *unit, int line, int error);
    static SystemException fromError(const char *unit, int line, int error, int rc);
};

// A bounded resource is exhausted for now (rc 11, EAGAIN).
class TryAgainException : public Base_Exception {
public:
    using Base_Exception::Base_Exception;
};

// A run queue was interrupted while a worker waited or ran (rc 0).
class QueueInterrupted : public Base_Exception {
public:
    using Base_Exception::Base_Exception;
};

// A run queue is at capacity (rc -1). Also a std::out_of_range, whose what()
// gives the same framework message.
class BufferFullException : public Base_Exception, public std::out_of_range {
public:
    BufferFullException(const char *unit, int line, const std::string &message, const char *label,
                        int rc, bool log);
    const char *what() const noexcept override;
};

// Reading or writing a file failed.
class IOException : public Base_Exception {
public:
    using Base_Exception::Base_Exception;
    // systemErrorMessage(what, error), labelled "IOException", logged.
    static IOException fromError(const char *unit, int line, const std::string &what, int error, int rc);
};

// A named file or item does not exist.
class NotFoundException : public Base_Exception {
public:
    using Base_Exception::Base_Exception;
    // systemErrorMessage(what, error), labelled "NotFoundException", logged.
    static NotFoundException fromError(const char *unit, int line, const std::string &what, int error, int rc);
};

// An item to be created exists already.
class AlreadyException : public Base_Exception {
public:
    using Base_Exception::Base_Exception;
};

// Stored or given data is malformed.
class BadDataException : public Base_Exception {
public:
    using Base_Exception::Base_Exception;
};

} // namespace hlx
