// Reads what the preloaded syslog shim recorded: every openlog, syslog,
// vsyslog and closelog call this process (and its children, which inherit the
// environment) made, with the text as the C library would have expanded it.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct SyslogRecord {
    std::string call;    // "openlog", "syslog", "vsyslog" or "closelog"
    std::string ident;   // openlog only
    int option = 0;      // openlog only
    int facility = 0;    // openlog only
    int priority = 0;    // syslog and vsyslog only
    std::string text;    // syslog and vsyslog only
};

class SyslogCapture {
public:
    // Points SYSLOG_CAPTURE_FILE at a fresh file for the life of the object.
    SyslogCapture();
    ~SyslogCapture();
    SyslogCapture(const SyslogCapture &) = delete;
    SyslogCapture &operator=(const SyslogCapture &) = delete;

    // True when the shim is loaded into this process.
    static bool shimLoaded();

    const std::string &file() const { return m_file; }
    std::vector<SyslogRecord> records() const;
    // Texts of the syslog and vsyslog records, in order.
    std::vector<std::string> lines() const;
    void clear() const;

private:
    std::string m_file;
    std::string m_previous;
    bool m_hadPrevious = false;
};

} // namespace testsupport
