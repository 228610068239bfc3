#include "hlx/path.h"

#include "client_common/well_known_paths.h"
#include "hlx/exceptions.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>


namespace hlx {

namespace {

const char kUnit[] = "path";
const char kSlash[] = "/";
const char kUnderscore[] = "_";

// Messages carry paths, which may hold '%': they are passed as plain text.
[[noreturn]] void throwBadData(int line, const std::string &message)
{
    throw BadDataException(kUnit, line, message, "BadDataException", -1, true);
}

// `what` with the system's text for `error` appended.
[[noreturn]] void throwIO(int line, const std::string &what, int error, int rc)
{
    throw IOException::fromError(kUnit, line, what, error, rc);
}

// lstat() that tells whether the path names anything at all, a dangling
// symbolic link included.
bool linkStat(const std::string &name, struct stat &info)
{
    return ::lstat(name.c_str(), &info) == 0;
}

} // namespace

path::path() : m_absolute(false) {}

path::path(const char *text) : path(std::string(text ? text : "")) {}

path::path(const std::string &text) : m_absolute(false)
{
    size_t start = 0;
    if (!text.empty() && text[0] == '/') {
        m_absolute = true;
        start = 1;
    }
    size_t piece = start;
    for (size_t i = start; i < text.size(); ++i) {
        if (text[i] != '/' && text[i] != '\\')
            continue;
        if (i > piece)
            m_directories.push_back(text.substr(piece, i - piece));
        piece = i + 1;
    }
    m_name = text.substr(piece);
}

bool path::empty() const { return m_directories.empty() && m_name.empty() && !m_absolute; }

std::string path::text(char separator, bool portable) const
{
    std::string result;
    if (m_absolute)
        result = kSlash;
    for (const std::string &directory : m_directories) {
        result += directory;
        result += separator;
    }
    if (!m_name.empty())
        result += m_name;
    else if (!m_directories.empty())
        result.pop_back();
    if (portable) {
        for (size_t at = result.find(' '); at != std::string::npos; at = result.find(' ', at + 1))
            result.replace(at, 1, kUnderscore);
    }
    if (result.empty() && m_absolute)
        result = kSlash;
    return result;
}

std::string path::string() const { return text('/', true); }

std::string path::native_string() const { return text('\\', false); }

std::string path::os_string() const { return text('/', false); }

bool path::exists() const
{
    if (empty())
        return false;
    struct stat info;
    return ::stat(os_string().c_str(), &info) == 0;
}

bool path::is_directory() const
{
    if (empty())
        throwBadData(__LINE__, "Empty path");
    struct stat info;
    if (::stat(os_string().c_str(), &info) != 0) {
        int error = errno;
        throw NotFoundException::fromError(kUnit, __LINE__, "Cannot stat " + string(), error, -1);
    }
    return S_ISDIR(info.st_mode);
}

path &path::operator/=(const path &other)
{
    if (other.m_absolute)
        throwBadData(__LINE__, "Attempt to append root path");
    if (!m_name.empty())
        m_directories.push_back(m_name);
    m_directories.insert(m_directories.end(), other.m_directories.begin(), other.m_directories.end());
    m_name = other.m_name;
    return *this;
}

path operator/(const path &a, const path &b)
{
    path result(a);
    result /= b;
    return result;
}

bool path::operator<(const path &other) const { return string() < other.string(); }

void path::chmod(mode_t mode) const
{
    if (::chmod(os_string().c_str(), mode) == 0)
        return;
    int error = errno;
    char message[512];
    snprintf(message, sizeof message, "Can't change permissions of %s to %x", string().c_str(), unsigned(mode));
    throwIO(__LINE__, message, error, 0);
}

void path::chown(uid_t uid, gid_t gid) const
{
    if (::chown(os_string().c_str(), uid, gid) == 0)
        return;
    int error = errno;
    char message[512];
    snprintf(message, sizeof message, "Can't change owner of %s to %d/%d", string().c_str(), int(uid), int(gid));
    throwIO(__LINE__, message, error, 0);
}

void path::create_directories(mode_t mode) const
{
    if (empty())
        throwBadData(__LINE__, "Empty path");
    path parent(*this);
    if (!parent.m_name.empty())
        parent.m_name.clear();
    else if (!parent.m_directories.empty())
        parent.m_directories.pop_back();
    if (!parent.exists())
        parent.create_directories(mode);

    const std::string name = os_string();
    if (::mkdir(name.c_str(), mode) == 0) {
        // mkdir() applies the umask; the caller asked for exactly `mode`.
        chmod(mode);
        return;
    }
    int error = errno;
    // An existing directory still gets the requested mode, but an existing
    // file of another kind keeps its permissions: it is not ours to change.
    struct stat info;
    if (::stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        ::chmod(name.c_str(), mode);
    throwIO(__LINE__, "Cannot create directory " + string(), error, -1);
}

void path::rename(const path &to) const
{
    if (empty() || to.empty())
        throwBadData(__LINE__, "Empty path");
    if (::rename(os_string().c_str(), to.os_string().c_str()) == 0)
        return;
    int error = errno;
    throwIO(__LINE__, "Cannot rename " + string() + " to " + to.string(), error, -1);
}

void path::remove(bool recursive) const
{
    if (empty())
        throwBadData(__LINE__, "Empty path");
    const std::string name = os_string();
    // lstat, not stat: a symbolic link is removed itself, even when it
    // dangles, and a recursive removal never follows one into its target.
    struct stat info;
    if (!linkStat(name, info))
        return;
    if (S_ISDIR(info.st_mode)) {
        if (recursive) {
            for (directory_iterator entry(*this); entry != directory_iterator::end(); ++entry)
                entry->remove(true);
        }
        if (::rmdir(name.c_str()) == 0)
            return;
        int error = errno;
        throwIO(__LINE__, "Cannot remove directory " + string(), error, -1);
    }
    if (::unlink(name.c_str()) == 0)
        return;
    int error = errno;
    throwIO(__LINE__, "Cannot remove file " + string(), error, -1);
}

std::string path::temp_name()
{
    std::string name = TEMP_NAME_TEMPLATE;
    int descriptor = ::mkostemp(&name[0], O_CLOEXEC);
    if (descriptor < 0) {
        int error = errno;
        throwIO(__LINE__, "mkstemp() failed", error, -1);
    }
    ::close(descriptor);
    ::unlink(name.c_str());
    return name;
}

// Directory iterator

directory_iterator::directory_iterator() : m_handle(nullptr) {}

directory_iterator::directory_iterator(const path &directory) : m_directory(directory), m_handle(nullptr)
{
    if (!directory.exists())
        throw NotFoundException(kUnit, __LINE__, directory.string() + ": No such directory", "NotFoundException", 0,
                                true);
    m_handle = ::opendir(directory.os_string().c_str());
    if (!m_handle) {
        int error = errno;
        throw SystemException(kUnit, __LINE__, directory.string() + ": Failed to open", "hlx::SystemException",
                              error, true);
    }
    ++*this;
}

directory_iterator::~directory_iterator()
{
    if (m_handle)
        ::closedir(m_handle);
}

const directory_iterator &directory_iterator::end()
{
    static const directory_iterator theEnd;
    return theEnd;
}

directory_iterator &directory_iterator::operator++()
{
    if (!m_handle)
        return *this;
    for (;;) {
        const struct dirent *entry = ::readdir(m_handle);
        if (!entry) {
            ::closedir(m_handle);
            m_handle = nullptr;
            return *this;
        }
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        // The entry's name becomes the last component as it is, never parsed:
        // a file named "..\..\x" must not turn into a path outside the directory.
        m_current = m_directory;
        if (!m_current.m_name.empty())
            m_current.m_directories.push_back(m_current.m_name);
        m_current.m_name = name;
        return *this;
    }
}

bool directory_iterator::operator==(const directory_iterator &other) const { return m_handle == other.m_handle; }

} // namespace hlx
