#include "hlx/setting.h"

#include "client_common/well_known_paths.h"
#include "hlx/common.h"
#include "hlx/exceptions.h"
#include "hlx/file_util.h"
#include "hlx/logger.h"
#include "hlx/mutex.h"
#include "hlx/path.h"
#include "hlx/properties.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

const char SETTING_MACHINE_SITE[] = "site";
const char SETTING_DOMAIN_NAME[] = "domain";
const char SETTING_HOST_NAME[] = "host";
const char SETTING_PREW2K_HOST[] = "prew2k.host";
const char SETTING_PASSWORD_CHANGE_TIMESTAMP[] = "password.change.timestamp";
const char SETTING_ZONE[] = "zone";
const char SETTING_ZONE_REALNAME[] = "zonename";
const char SETTING_DOMAIN_CONTROLLER[] = "domaincontroller";
const char SETTING_SCHEMA[] = "schema";
const char SETTING_SFU_DOMAIN[] = "sfudomain";
const char SETTING_PREFERRED_ENCTYPE[] = "preferred.enctype";
const char SETTING_DES_SALT[] = "des.salt";
const char SETTING_GLOBAL_CATALOG[] = "globalcatalog";
const char SETTING_FOREST[] = "forest";
const char SETTING_HOST_SID[] = "hostsid";
const char SETTING_CACHE_EXPIRED[] = "cache.expired";
const char SETTING_INSTALLATION_ID[] = "qr.installation.id";

namespace hlx {

const char KSET_TEMP_MARKER[] = ".KSET.TEMP";

namespace {

const char kUnit[] = "setting";
// The scan for stale temporary files reports under the file utilities' name.
const char kDirectoryScanUnit[] = "file_util";

const char kKsetPrefix[] = "kset.";
const char kAutoZoneGuid[] = "00112233445566778899aabbccddeeff";

struct Setting {
    std::string value;
    int mode;
};

// The module state, guarded by the settings mutex.
struct SettingsState {
    std::string dataDirectory = DATA_DIRECTORY_PATH;
    std::map<std::string, Setting> settings;
    std::vector<std::string> pending;
    bool firstFlush = true;
};

LazyMutex gSettingsMutex;

SettingsState &settingsState()
{
    static SettingsState state;
    return state;
}

LoggerPtr settingsLogger() { return Logger::getLogger("util.settings"); }

// Every message of this unit fits a 512-byte buffer.
const size_t kMessageCapacity = 512;

std::string formatted(const char *format, const std::string &path)
{
    char message[kMessageCapacity];
    snprintf(message, sizeof message, format, path.c_str());
    return message;
}

[[noreturn]] void throwIO(int line, const std::string &message, int rc)
{
    throw IOException(kUnit, line, message, "IOException", rc, true);
}

// A failed call: the format filled with the path, then the system's text for
// `error`, which is also the result code.
[[noreturn]] void throwCallFailed(int line, const char *format, const std::string &path, int error)
{
    throwIO(line, systemErrorMessage(formatted(format, path), error).substr(0, kMessageCapacity - 1), error);
}

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

bool hasControlCharacter(const std::string &text)
{
    return std::any_of(text.begin(), text.end(), [](char c) { return isControl(static_cast<unsigned char>(c)); });
}

[[noreturn]] void throwControlCharacter(int line, const std::string &path)
{
    throw BadDataException(kUnit, line, formatted("Control character is disallowed in %s file.", path),
                           "BadDataException", -1, true);
}

[[noreturn]] void throwFileTooLarge(int line, const std::string &path)
{
    char message[kMessageCapacity];
    snprintf(message, sizeof message, "Size of kset file(%s) exceeds the maximum size(%d bytes)", path.c_str(),
             int(KSET_MAX_SIZE));
    throwIO(line, message, -1);
}

std::string ksetPath(const std::string &directory, const std::string &name)
{
    return directory + kKsetPrefix + name;
}

std::string directoryOrData(const std::string &directory)
{
    return directory.empty() ? settingsState().dataDirectory : directory;
}

// Closes a descriptor on every way out of a scope.
class DescriptorCloser {
public:
    explicit DescriptorCloser(int descriptor) : m_descriptor(descriptor) {}
    ~DescriptorCloser() { ::close(m_descriptor); }
    DescriptorCloser(const DescriptorCloser &) = delete;
    DescriptorCloser &operator=(const DescriptorCloser &) = delete;

private:
    int m_descriptor;
};

// Writes the value to an open temporary file and flushes it to disk: a crash
// after the rename must never find an empty or partial value.
void writeTemporary(int descriptor, const std::string &temporary, const std::string &value)
{
    ssize_t written = ::write(descriptor, value.data(), value.size());
    if (written < 0)
        throwCallFailed(__LINE__, "Cannot write file %s", temporary, errno);
    if (size_t(written) != value.size())
        throwIO(__LINE__, formatted("Cannot write all data to file %s", temporary), -1);
    if (::fsync(descriptor) != 0)
        throwCallFailed(__LINE__, "Cannot write file %s", temporary, errno);
}

// Temporary files of writes in flight must survive the scan for stale ones,
// which any process may run at any time. A writer holds a lock on its
// temporary file from just after creating it until the descriptor closes,
// after the rename; the scan leaves locked files alone. Age covers the rest:
// an unlocked file changed in the last few seconds may be one whose writer
// has not locked it yet (or one of a writer that takes no lock), and a file
// left for minutes is abandoned even if some process still holds a lock on
// it.
const double kUnlockedTemporaryGraceSeconds = 10;
const double kAbandonedTemporarySeconds = 300;

// The writer's lock is an open file description lock: it conflicts with any
// other descriptor, also one of the same process, and goes with the writer's
// descriptor.
void markInFlight(int descriptor)
{
    // Without such locks (very old kernels) the grace period alone protects.
    struct flock lock = file_util::whole_file_lock(F_WRLCK);
    ::fcntl(descriptor, F_OFD_SETLK, &lock);
}

bool isLockedByWriter(const std::string &name)
{
    int descriptor = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        return true;
    struct flock lock = file_util::whole_file_lock(F_WRLCK);
    bool locked = ::fcntl(descriptor, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
    ::close(descriptor);
    return locked;
}

// Whether a temporary file of the data directory may be removed. Anything
// but a regular file there (a link, a FIFO) is no writer's file.
bool isStaleTemporary(const std::string &name, time_t now)
{
    struct stat info;
    if (::lstat(name.c_str(), &info) != 0)
        return false;
    if (!S_ISREG(info.st_mode))
        return true;
    const double age = ::difftime(now, info.st_mtime);
    if (age >= kAbandonedTemporarySeconds)
        return true;
    if (age > -kUnlockedTemporaryGraceSeconds && age < kUnlockedTemporaryGraceSeconds)
        return false;
    return !isLockedByWriter(name);
}

} // namespace

std::string getDataDirectory()
{
    ScopedLock lock(gSettingsMutex.get());
    return settingsState().dataDirectory;
}

void setDataDirectory(const std::string &directory)
{
    // The lines are logged after the settings mutex is released: the first
    // log output of a process loads the configuration, whose macros read
    // settings, possibly on another thread.
    bool changed = false;
    {
        ScopedLock lock(gSettingsMutex.get());
        if (settingsState().settings.empty()) {
            settingsState().dataDirectory = directory;
            changed = true;
        }
    }
    if (!changed) {
        settingsLogger()->log(LEVEL_WARN,
                              "Settings Map has already been created; cannot change root of data directory.");
        throw AlreadyException(kUnit, __LINE__, "Change data directory", "AlreadyException", -1, true);
    }
    settingsLogger()->log(LEVEL_INFO, "Changed root of data directory to %s.", directory.c_str());
}

std::string getSetting(const std::string &name, bool ignoreOverride)
{
    if (!ignoreOverride) {
        std::string property = Properties::instance()->getString(kKsetPrefix + name);
        if (!property.empty())
            return property;
    }
    ScopedLock lock(gSettingsMutex.get());
    auto found = settingsState().settings.find(name);
    if (found != settingsState().settings.end())
        return found->second.value;
    std::string value = readKsetFile(name, "");
    settingsState().settings[name] = Setting{value, 0};
    return value;
}

std::string getSettingOrDefault(const std::string &name, const std::string &defaultValue)
{
    try {
        return getSetting(name, false);
    } catch (const std::exception &) {
        return defaultValue;
    }
}

void setSetting(const std::string &name, const std::string &value, int mode, bool deferOnFailure)
{
    // Logged before the settings mutex is taken (see setDataDirectory).
    settingsLogger()->log(LEVEL_DEBUG, "Setting %s to %s\n", name.c_str(), value.c_str());
    ScopedLock lock(gSettingsMutex.get());
    SettingsState &state = settingsState();
    // A value that can never be stored is refused before the map takes it.
    if (hasControlCharacter(trim(value)))
        throwControlCharacter(__LINE__, ksetPath(state.dataDirectory, name));
    state.settings[name] = Setting{value, mode};
    try {
        writeKsetFile(name, value, mode, state.dataDirectory);
        flushPendingSettings();
    } catch (const IOException &) {
        // Only writes to the system's own data directory are retried later.
        if (!deferOnFailure || state.dataDirectory != DATA_DIRECTORY_PATH)
            throw;
        if (std::find(state.pending.begin(), state.pending.end(), name) == state.pending.end())
            state.pending.push_back(name);
    }
}

std::string parseKsetContent(const char *bytes, size_t size, const std::string &path)
{
    if (size > KSET_MAX_SIZE)
        throwFileTooLarge(__LINE__, path);
    // One LF may end the file; it is not part of the value.
    const size_t length = size > 0 && bytes[size - 1] == '\n' ? size - 1 : size;
    for (size_t i = 0; i < length; ++i) {
        if (isControl(static_cast<unsigned char>(bytes[i])))
            throwControlCharacter(__LINE__, path);
    }
    return trim(std::string(bytes, length));
}

std::string formatKsetContent(const std::string &value, const std::string &path)
{
    const std::string trimmed = trim(value);
    // Reading refuses control characters, so storing one would lose the
    // setting for good.
    if (hasControlCharacter(trimmed))
        throwControlCharacter(__LINE__, path);
    if (trimmed.size() > KSET_MAX_SIZE) {
        char message[kMessageCapacity];
        snprintf(message, sizeof message, "Size of kset file(%s) exceeded maximum size(%d bytes)", path.c_str(),
                 int(KSET_MAX_SIZE));
        throwIO(__LINE__, message, -1);
    }
    return trimmed;
}

std::string readKsetFile(const std::string &name, const std::string &directory)
{
    ScopedLock lock(gSettingsMutex.get());
    const std::string path = ksetPath(directoryOrData(directory), name);
    // A FIFO planted at the name must not make the reader wait for a writer.
    int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        throwCallFailed(__LINE__, "Cannot open file %s", path, errno);
    DescriptorCloser closer(descriptor);

    struct stat info;
    if (::fstat(descriptor, &info) != 0)
        throwCallFailed(__LINE__, "Cannot stat file to %s", path, errno);
    // Only a regular file holds a value (what file_util::open_regular says
    // of any other type).
    if (!S_ISREG(info.st_mode))
        throwCallFailed(__LINE__, "Cannot open file %s", path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    if (info.st_size > off_t(KSET_MAX_SIZE))
        throwFileTooLarge(__LINE__, path);
    if (info.st_size == 0)
        return std::string();

    char buffer[KSET_MAX_SIZE];
    const size_t size = size_t(info.st_size);
    ssize_t got = ::read(descriptor, buffer, size);
    if (got < 0)
        throwCallFailed(__LINE__, "Cannot read file %s", path, errno);
    if (size_t(got) != size)
        throwIO(__LINE__, formatted("Cannot read all data in file %s", path), -1);
    return parseKsetContent(buffer, size, path);
}

void writeKsetFile(const std::string &name, const std::string &value, int mode, const std::string &directory)
{
    ScopedLock lock(gSettingsMutex.get());
    const std::string path = ksetPath(directoryOrData(directory), name);
    // A value that cannot be stored is refused before anything is created.
    const std::string content = formatKsetContent(value, path);
    ensureDataDirectory();
    if (content.empty()) {
        ::unlink(path.c_str());
        return;
    }

    std::string temporary = path + KSET_TEMP_MARKER + ".XXXXXX";
    int descriptor = file_util::make_temp(temporary);
    DescriptorCloser closer(descriptor);
    markInFlight(descriptor);
    try {
        writeTemporary(descriptor, temporary, content);
        // The mode is set on the file itself before it takes the name, so the
        // value is never readable under the name with the wrong mode, and a
        // name replaced meanwhile is not what gets changed.
        if (::fchmod(descriptor, mode == 1 ? 0644 : 0600) != 0)
            throwCallFailed(__LINE__, "Cannot chmod file %s", path, errno);
        if (::rename(temporary.c_str(), path.c_str()) != 0)
            throwCallFailed(__LINE__, "Cannot rename file to %s", path, errno);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
}

int flushPendingSettings()
{
    ScopedLock lock(gSettingsMutex.get());
    SettingsState &state = settingsState();
    if (state.firstFlush) {
        state.firstFlush = false;
        removeStaleTempFiles();
    }
    if (state.pending.empty())
        return 0;
    size_t handled = 0;
    try {
        for (; handled < state.pending.size(); ++handled) {
            auto found = state.settings.find(state.pending[handled]);
            if (found != state.settings.end())
                writeKsetFile(found->first, found->second.value, found->second.mode, DATA_DIRECTORY_PATH);
        }
    } catch (const std::exception &) {
        // The failed name and those after it stay pending, in order.
    }
    state.pending.erase(state.pending.begin(), state.pending.begin() + long(handled));
    removeStaleTempFiles();
    return int(state.pending.size());
}

void removeStaleTempFiles()
{
    const std::string directory = DATA_DIRECTORY_PATH;
    DIR *handle = ::opendir(directory.c_str());
    if (!handle) {
        int error = errno;
        // A data directory that does not exist holds no stale files.
        if (error == ENOENT)
            return;
        throw NotFoundException(kDirectoryScanUnit, __LINE__, "cannot open dir", "hlx::NotFoundException", error, true);
    }
    const std::string marker = upperCase(KSET_TEMP_MARKER);
    const time_t now = ::time(nullptr);
    while (const struct dirent *entry = ::readdir(handle)) {
        const std::string full = directory + entry->d_name;
        try {
            if (path(full).is_directory())
                continue;
        } catch (const NotFoundException &) {
            // Gone since readdir (another writer's temporary file was just
            // renamed) or a dangling link: not a directory either way.
        } catch (...) {
            ::closedir(handle);
            throw;
        }
        if (upperCase(full).find(marker) != std::string::npos && isStaleTemporary(full, now))
            ::unlink(full.c_str());
    }
    ::closedir(handle);
}

bool settingExists(const std::string &name) { return path(ksetPath(getDataDirectory(), name)).exists(); }

time_t settingModificationTime(const std::string &name)
{
    struct stat info;
    if (::stat(ksetPath(getDataDirectory(), name).c_str(), &info) != 0)
        return 0;
    return info.st_mtime;
}

void ensureDataDirectory()
{
    ScopedLock lock(gSettingsMutex.get());
    path directory(settingsState().dataDirectory);
    if (!directory.exists())
        directory.create_directories(0755);
}

void removeDataDirectory()
{
    ScopedLock lock(gSettingsMutex.get());
    path(settingsState().dataDirectory).remove(true);
}

void clearSettingsCache()
{
    ScopedLock lock(gSettingsMutex.get());
    settingsState().settings.clear();
}

void validateZoneSettings()
{
    const std::string zoneName = getSettingOrDefault(SETTING_ZONE_REALNAME, "");
    const std::string schema = getSettingOrDefault(SETTING_SCHEMA, "");
    const std::string zone = getSettingOrDefault(SETTING_ZONE, "");
    const std::string host = getSettingOrDefault(SETTING_HOST_NAME, "");
    if (host.empty())
        throwIO(__LINE__, "Cannot find key sets of host.", 1);
    if (schema.empty())
        throwIO(__LINE__, "Cannot find key sets of zone schema.", 1);
    if (schema == "NULL_AUTO") {
        if (zone != kAutoZoneGuid)
            throwIO(__LINE__, "Incorrect key sets of zone GUID for auto zone.", 1);
        return;
    }
    if (schema == "NULL")
        return;
    if (zoneName.empty() || zone.empty())
        throwIO(__LINE__, "Cannot find key sets of zone name or zone GUID.", 1);
}

bool isJoined()
{
    if (path(JOIN_MARKER_PATH).exists())
        return false;
    try {
        if (getSetting(SETTING_DOMAIN_NAME, false).empty())
            return false;
        return !getSetting(SETTING_HOST_NAME, false).empty();
    } catch (const std::exception &) {
        return false;
    }
}

} // namespace hlx
