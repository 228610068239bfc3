#include "hlx/exceptions.h"

#include "hlx/common.h"
#include "hlx/logger.h"

#include <string.h>

HLXException::~HLXException() = default;

namespace hlx {

Base_Exception::Base_Exception(const char *unit, int line, const std::string &message,
                               const char *label, int rc, bool log)
    : HLXException(rc), m_message(message)
{
    // End of file is an expected outcome of readers, not a failure worth a trace.
    if (!log || (label && strcmp(label, "EndOfFileException") == 0))
        return;
    LoggerPtr logger = Logger::getLogger("util.except");
    if (logger->effectiveLevel() <= LEVEL_DEBUG)
        logger->log(LEVEL_DEBUG, "%s %s (reference %s:%d rc: %d)", label ? label : "",
                    m_message.c_str(), unit ? unit : "", line, rc);
}

Base_Exception::~Base_Exception() = default;

const char *Base_Exception::what() const noexcept
{
    return m_message.c_str();
}

std::string systemErrorMessage(const std::string &what, int error)
{
    return what + ": " + errorText(error);
}

SystemException SystemException::fromError(const char *unit, int line, int error)
{
    return fromError(unit, line, error, error);
}

SystemException SystemException::fromError(const char *unit, int line, int error, int rc)
{
    return SystemException(unit, line, systemErrorMessage("OS call failed", error), "hlx::SystemException", rc,
                           true);
}

IOException IOException::fromError(const char *unit, int line, const std::string &what, int error, int rc)
{
    return IOException(unit, line, systemErrorMessage(what, error), "IOException", rc, true);
}

NotFoundException NotFoundException::fromError(const char *unit, int line, const std::string &what, int error,
                                               int rc)
{
    return NotFoundException(unit, line, systemErrorMessage(what, error), "NotFoundException", rc, true);
}

BufferFullException::BufferFullException(const char *unit, int line, const std::string &message,
                                         const char *label, int rc, bool log)
    : Base_Exception(unit, line, message, label, rc, log), std::out_of_range("")
{
}

const char *BufferFullException::what() const noexcept
{
    return Base_Exception::what();
}

} // namespace hlx
