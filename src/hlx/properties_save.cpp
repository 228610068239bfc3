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

std::string directoryOf(const std::string &path)
{
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The rename is only durable once the directory entry is on disk too.
void syncDirectoryOf(const std::string &path)
{
    int descriptor = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return;
    fsync(descriptor);
    close(descriptor);
}

// The lock file protocol. A writer holds the lock while the lock file exists
// (it was created exclusively by that writer) and, if it is one of ours,
// while it holds an open file description lock on the file. Such a lock
// conflicts with every other descriptor, of this process too, and ends with
// its holder, so a waiter that can take it knows the holder is gone. Our lock
// files carry a mark to tell them from those of writers that only create the
// file: these are stale by age alone, as those writers expect.
const char kHeldMark[] = "held under an fcntl lock\n";

bool sameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether `path` still names the file open on `descriptor`.
bool namesFile(const std::string &path, int descriptor)
{
    struct stat named;
    struct stat opened;
    return lstat(path.c_str(), &named) == 0 && fstat(descriptor, &opened) == 0 && sameFile(named, opened);
}

// Locks a lock file that is ours and marks it as held under the lock. The
// mark is written only under the lock: a marked file whose lock is free has
// lost its holder. Without the lock (a kernel without such locks) or the
// mark (a full disk) the file is still a lock, judged by its age.
void holdAndMark(int descriptor)
{
    struct flock lock = file_util::whole_file_lock(F_WRLCK);
    // A waiter may hold the lock for the moment it looks at the file.
    int locked;
    while ((locked = fcntl(descriptor, F_OFD_SETLKW, &lock)) != 0 && errno == EINTR) {
    }
    if (locked == 0)
        file_util::write_all(descriptor, kHeldMark, sizeof kHeldMark - 1);
}

// Creates the lock file exclusively and takes it: the descriptor, or -1 with
// errno (EEXIST: another writer's lock file is there). The file is made
// unnamed, held and marked first and then linked under the lock file's name,
// which fails when the name exists just as an exclusive create does: it is
// never seen unheld, so a writer that dies at any moment leaves either
// nothing or a lock file that is taken over at once. File systems without
// unnamed files get the file created under its name and held at once.
int createHeldLockFile(const std::string &lockPath)
{
    int descriptor = open(directoryOf(lockPath).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (descriptor >= 0) {
        holdAndMark(descriptor);
        char self[64];
        snprintf(self, sizeof self, "/proc/self/fd/%d", descriptor);
        if (linkat(AT_FDCWD, self, AT_FDCWD, lockPath.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return descriptor;
        int error = errno;
        close(descriptor);
        errno = error;
        if (error == EEXIST)
            return -1;
    }
    descriptor = open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return -1;
    holdAndMark(descriptor);
    // Until it was held, a waiter could take the young file for abandoned
    // only if clocks disagree; then the name is no longer ours.
    if (!namesFile(lockPath, descriptor)) {
        close(descriptor);
        errno = EEXIST;
        return -1;
    }
    return descriptor;
}

enum LockFileState {
    LOCK_BUSY,     // held, or too young to be stale
    LOCK_RELEASED, // gone or replaced meanwhile
    LOCK_REMOVED,  // stale, and removed here
    LOCK_ERROR,    // errno tells
};

// The old rule alone, for a lock file that cannot be opened here: stale when
// last accessed more than STALE_LOCK_SECONDS ago.
LockFileState inspectByAge(const std::string &lockPath)
{
    struct stat status;
    if (stat(lockPath.c_str(), &status) != 0) {
        // A link whose target is missing is no lock that could go away.
        bool gone = errno == ENOENT && lstat(lockPath.c_str(), &status) != 0;
        if (!gone)
            errno = ENOENT;
        return gone ? LOCK_RELEASED : LOCK_ERROR;
    }
    if (time(nullptr) - status.st_atime <= STALE_LOCK_SECONDS)
        return LOCK_BUSY;
    if (remove(lockPath.c_str()) != 0)
        return errno == ENOENT ? LOCK_RELEASED : LOCK_ERROR;
    return LOCK_REMOVED;
}

bool isMarked(int descriptor, const struct stat &status)
{
    const size_t size = sizeof kHeldMark - 1;
    char content[sizeof kHeldMark];
    // Only a file of the mark's size is read: reading may refresh the access
    // time, which is all that ages the lock files of other writers.
    return S_ISREG(status.st_mode) && size_t(status.st_size) == size &&
           pread(descriptor, content, size, 0) == ssize_t(size) && memcmp(content, kHeldMark, size) == 0;
}

// Looks at another writer's lock file and removes it when it is stale: a
// marked one whose lock can be taken, or any whose lock can be taken and
// that was last accessed more than STALE_LOCK_SECONDS ago. The removal is
// made while holding the file's lock and only if the name still names that
// file, so two waiters never both remove one lock file, and none removes the
// lock file of a writer that has just taken the name.
LockFileState inspectLockFile(const std::string &lockPath)
{
    int descriptor = open(lockPath.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        return errno == ENOENT ? LOCK_RELEASED : inspectByAge(lockPath);
    struct flock lock = file_util::whole_file_lock(F_WRLCK);
    if (fcntl(descriptor, F_OFD_SETLK, &lock) != 0) {
        int error = errno;
        close(descriptor);
        if (error == EAGAIN || error == EACCES)
            return LOCK_BUSY;
        return inspectByAge(lockPath);
    }
    LockFileState state = LOCK_BUSY;
    struct stat status;
    if (!namesFile(lockPath, descriptor) || fstat(descriptor, &status) != 0) {
        state = LOCK_RELEASED;
    } else if (isMarked(descriptor, status) || time(nullptr) - status.st_atime > STALE_LOCK_SECONDS) {
        state = unlink(lockPath.c_str()) == 0 ? LOCK_REMOVED : LOCK_ERROR;
    }
    int error = errno;
    close(descriptor);
    errno = error;
    return state;
}

} // namespace

int createLockFile(const std::string &lockPath)
{
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        int descriptor = createHeldLockFile(lockPath);
        if (descriptor >= 0)
            return descriptor;
        if (errno != EEXIST)
            return -1;
        switch (inspectLockFile(lockPath)) {
        case LOCK_BUSY:
            usleep(10000);
            break;
        case LOCK_RELEASED:
        case LOCK_REMOVED:
            break;
        case LOCK_ERROR:
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

int removeLockFile(const std::string &lockPath, int descriptor)
{
    // Removed while still locked, and only while the name still names it: a
    // writer that gave the lock up first could remove its successor's lock
    // file, and one whose lock was taken over must not remove the new one.
    int result = namesFile(lockPath, descriptor) && unlink(lockPath.c_str()) == 0 ? 0 : -1;
    if (close(descriptor) != 0)
        result = -1;
    return result;
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
    // The side file is made anew for this save alone: one left at the name by
    // a writer that died is ours to remove under the lock, and creating it
    // exclusively (never through a link) means no other writer can have it
    // open.
    unlink(sidePath.c_str());
    int side = open(sidePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
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
    // Only a save that still holds the lock, with the side file it wrote
    // still under the side file's name, may replace the file: otherwise what
    // would be moved into place is not (only) its content.
    const bool ownSide = namesFile(sidePath, side);
    const char *subject = sidePath.c_str();
    if (!failure && !namesFile(lockPath, lockDescriptor)) {
        failure = "Lost the lock file %s to another writer";
        subject = lockPath.c_str();
    } else if (!failure && !ownSide) {
        failure = "Temporary config file %s was replaced by another writer";
    }
    if (close(side) != 0 && !failure) {
        failure = "Unable to close temporary config file %s";
        error = errno;
    }
    if (!failure && rename(sidePath.c_str(), path.c_str()) != 0) {
        failure = "Unable to replace the config file with %s";
        error = errno;
    }
    if (failure) {
        if (error != 0)
            log->logErrno(LEVEL_ERROR, error, failure, subject);
        else
            log->log(LEVEL_ERROR, failure, subject);
        if (ownSide)
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
