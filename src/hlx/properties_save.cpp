// Saving the properties store back into its configuration file.
#include "hlx/config_parser.h"
#include "hlx/file_util.h"
#include "hlx/logger.h"
#include "hlx/properties.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>

namespace hlx {

namespace {

const int LOCK_ATTEMPTS = 100;
const time_t STALE_LOCK_SECONDS = 60;

// The name as it must stand in a line so that parsing the line gives it
// back: separators, backslashes and quotes escaped, and a leading comment
// character too, which would otherwise turn the line into a comment.
std::string escapeName(const std::string &name)
{
    std::string escaped;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (strchr(" \t\n\r\v\f:=\\\"'", c) != nullptr || (i == 0 && (c == '#' || c == '!')))
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// The rename is only durable once the directory entry is on disk too.
void syncDirectoryOf(const std::string &path)
{
    std::string::size_type slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int descriptor = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return;
    fsync(descriptor);
    close(descriptor);
}

} // namespace

int createLockFile(const std::string &lockPath)
{
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        int descriptor = open(lockPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (descriptor >= 0)
            return descriptor;
        if (errno != EEXIST)
            return -1;
        struct stat status;
        if (stat(lockPath.c_str(), &status) != 0)
            return -1;
        if (time(nullptr) - status.st_atime <= STALE_LOCK_SECONDS) {
            usleep(10000);
            continue;
        }
        if (remove(lockPath.c_str()) != 0)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

int removeLockFile(const std::string &lockPath, int descriptor)
{
    if (close(descriptor) != 0)
        return -1;
    return remove(lockPath.c_str()) == 0 ? 0 : -1;
}

int Properties::save(const std::string &path)
{
    const std::string sidePath = path + ".new";
    const std::string lockPath = path + ".lock";
    LoggerPtr log = Logger::getLogger("util.properties");
    ScopedLock lock(m_mutex);

    log->log(LEVEL_DEBUG, "Create lock file %s", lockPath.c_str());
    int lockDescriptor = createLockFile(lockPath);
    if (lockDescriptor < 0) {
        log->logErrno(LEVEL_ERROR, errno, "Unable to create lock file %s", lockPath.c_str());
        return -1;
    }

    int configDescriptor = file_util::open_regular(path.c_str());
    if (configDescriptor < 0) {
        log->log(LEVEL_ERROR, "Unable to open config file %s", path.c_str());
        removeLockFile(lockPath, lockDescriptor);
        return -1;
    }
    std::string text;
    bool read = file_util::read_to_end(configDescriptor, config::CONFIG_FILE_MAX_SIZE, text);
    int readError = errno;
    close(configDescriptor);
    if (!read) {
        log->logErrno(LEVEL_ERROR, readError, "Unable to read config file %s", path.c_str());
        removeLockFile(lockPath, lockDescriptor);
        return -1;
    }
    // Not through a link: a planted link must not redirect the truncation.
    int side = open(sidePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (side < 0) {
        log->log(LEVEL_ERROR, "Unable to open temporary config file %s", sidePath.c_str());
        removeLockFile(lockPath, lockDescriptor);
        return -1;
    }

    std::map<std::string, int> counts;
    for (const ValueMap::value_type &entry : m_values)
        counts[entry.first] = 0;
    config::MacroLookup lookup = [this](const std::string &name) { return lookupMacro(name); };
    std::string content;
    std::string line;
    std::string name;
    std::string value;
    bool afterBlank = false;
    config::LineReader lines(text);
    while (!lines.atEnd()) {
        // Comments are read like any line, so a comment ending in a
        // backslash takes the next line with it.
        config::readLogicalLine(lines, line, false);
        if (line.empty()) {
            if (afterBlank)
                continue;
            afterBlank = true;
        } else {
            afterBlank = false;
        }
        if (config::parseLine(line, name, value)) {
            std::string raw = m_expandMacros ? config::expandMacros(value, lookup) : config::rewriteMacros(value);
            std::string processed = config::unquote(config::unescape(raw));
            ValueMap::const_iterator stored = m_values.find(name);
            if (stored == m_values.end())
                continue;
            if (strcmp(processed.c_str(), stored->second.c_str()) != 0)
                line = escapeName(name) + ": " + stored->second;
            ++counts[name];
        }
        content += line;
        content += '\n';
    }
    for (const ValueMap::value_type &entry : m_values)
        if (counts[entry.first] == 0)
            content += escapeName(entry.first) + ": " + entry.second + "\n";

    // From here on a failure leaves the old file in place.
    const char *failure = nullptr;
    int error = 0;
    if (file_util::write_all(side, content.data(), content.size()) != content.size()) {
        failure = "Unable to write temporary config file %s";
    } else if (fsync(side) != 0) {
        failure = "Unable to sync temporary config file %s";
    } else if (fchmod(side, 0644) != 0) {
        failure = "Unable to set the mode of temporary config file %s";
    }
    if (failure)
        error = errno;
    if (close(side) != 0 && !failure) {
        failure = "Unable to close temporary config file %s";
        error = errno;
    }
    if (!failure && rename(sidePath.c_str(), path.c_str()) != 0) {
        failure = "Unable to replace the config file with %s";
        error = errno;
    }
    if (failure) {
        log->logErrno(LEVEL_ERROR, error, failure, sidePath.c_str());
        unlink(sidePath.c_str());
        removeLockFile(lockPath, lockDescriptor);
        return -1;
    }
    syncDirectoryOf(path);

    log->log(LEVEL_DEBUG, "Remove lock file %s", lockPath.c_str());
    if (removeLockFile(lockPath, lockDescriptor) != 0)
        log->log(LEVEL_DEBUG, "Unable to remove lock file %s", lockPath.c_str());
    return 0;
}

} // namespace hlx
