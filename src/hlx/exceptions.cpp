#include "hlx/exceptions.h"

#include "hlx/logger.h"

#include <stdio.h>
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

SystemException SystemException::fromError(const char *unit, int line, int error)
{
    char format[512];
    char message[512];
    char text[256];
    snprintf(format, sizeof format, "%s: %%s", "OS call failed");
    snprintf(message, sizeof message, format, strerror_r(error, text, sizeof text));
    return SystemException(unit, line, message, "hlx::SystemException", error, true);
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
