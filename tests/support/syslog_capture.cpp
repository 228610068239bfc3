#include "support/syslog_capture.h"

#include "support/temp_dir.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <sstream>

namespace testsupport {

namespace {

std::string Unescape(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 1 < field.size()) {
            char c = field[++i];
            out += c == 't' ? '\t' : (c == 'n' ? '\n' : c);
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<std::string> SplitTabs(const std::string &line)
{
    std::vector<std::string> fields;
    std::string field;
    std::stringstream in(line);
    while (std::getline(in, field, '\t'))
        fields.push_back(Unescape(field));
    return fields;
}

} // namespace

SyslogCapture::SyslogCapture()
{
    static std::atomic<int> counter{0};
    std::string dir = std::string(TRAILSEND_BUILD_DIR) + "/tmp";
    MakeDirectories(dir);
    m_file = dir + "/syslog." + std::to_string(getpid()) + "." + std::to_string(counter++);
    unlink(m_file.c_str());
    if (const char *previous = getenv("SYSLOG_CAPTURE_FILE")) {
        m_previous = previous;
        m_hadPrevious = true;
    }
    setenv("SYSLOG_CAPTURE_FILE", m_file.c_str(), 1);
}

SyslogCapture::~SyslogCapture()
{
    if (m_hadPrevious)
        setenv("SYSLOG_CAPTURE_FILE", m_previous.c_str(), 1);
    else
        unsetenv("SYSLOG_CAPTURE_FILE");
    unlink(m_file.c_str());
}

bool SyslogCapture::shimLoaded()
{
    return dlsym(RTLD_DEFAULT, "__syslog_shim_marker") != nullptr;
}

std::vector<SyslogRecord> SyslogCapture::records() const
{
    std::vector<SyslogRecord> out;
    std::stringstream in(ReadFile(m_file));
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f = SplitTabs(line);
        if (f.empty())
            continue;
        SyslogRecord r;
        r.call = f[0];
        if (r.call == "openlog" && f.size() >= 4) {
            r.ident = f[1];
            r.option = std::atoi(f[2].c_str());
            r.facility = std::atoi(f[3].c_str());
        } else if ((r.call == "syslog" || r.call == "vsyslog") && f.size() >= 2) {
            r.priority = std::atoi(f[1].c_str());
            r.text = f.size() >= 3 ? f[2] : "";
        }
        out.push_back(r);
    }
    return out;
}

std::vector<std::string> SyslogCapture::lines() const
{
    std::vector<std::string> out;
    for (const SyslogRecord &r : records())
        if (r.call == "syslog" || r.call == "vsyslog")
            out.push_back(r.text);
    return out;
}

void SyslogCapture::clear() const
{
    unlink(m_file.c_str());
}

} // namespace testsupport
