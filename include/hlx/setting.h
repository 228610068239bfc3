// The settings store: small named facts about the machine's membership in a
// directory domain (host, domain, site, zone, ...), one value per "kset."
// file in the data directory.
//
// A kset file holds the value's bytes only: at most 1024 of them, no control
// character (0x00-0x1F, 0x7F) except one final LF, which reading drops.
// Values are read through an in-memory settings map, may be overridden by
// the configuration property "kset.<name>", and are written atomically
// (temporary file, fsync, fchmod, rename). A write that fails with an
// IOException in the default data directory can be deferred and is retried
// by flushPendingSettings(), which every successful setSetting() calls.
//
// Every operation is thread-safe (one recursive settings mutex) and logs on
// "util.settings"; failures throw hlx::IOException, hlx::BadDataException,
// hlx::AlreadyException, hlx::NotFoundException or hlx::SystemException.
#pragma once

#include <time.h>

#include <string>

// Setting names.
extern const char SETTING_MACHINE_SITE[];
extern const char SETTING_DOMAIN_NAME[];
extern const char SETTING_HOST_NAME[];
extern const char SETTING_PREW2K_HOST[];
extern const char SETTING_PASSWORD_CHANGE_TIMESTAMP[];
extern const char SETTING_ZONE[];
extern const char SETTING_ZONE_REALNAME[];
extern const char SETTING_DOMAIN_CONTROLLER[];
extern const char SETTING_SCHEMA[];
extern const char SETTING_SFU_DOMAIN[];
extern const char SETTING_PREFERRED_ENCTYPE[];
extern const char SETTING_DES_SALT[];
extern const char SETTING_GLOBAL_CATALOG[];
extern const char SETTING_FOREST[];
extern const char SETTING_HOST_SID[];
extern const char SETTING_CACHE_EXPIRED[];
extern const char SETTING_INSTALLATION_ID[];

namespace hlx {

// Largest kset file, in bytes.
const size_t KSET_MAX_SIZE = 1024;
// Part of every temporary file name a write uses (case-insensitive).
extern const char KSET_TEMP_MARKER[];

// The data directory, ending in '/'.
std::string getDataDirectory();
// Changes the data directory (used as given: it must end in '/'). Throws
// AlreadyException once the settings map holds anything.
void setDataDirectory(const std::string &directory);

// The property "kset.<name>" when set and not empty (unless ignoreOverride),
// else the map's value, else the file's value (then kept in the map).
std::string getSetting(const std::string &name, bool ignoreOverride = false);
// getSetting(name, false), or `defaultValue` when that throws.
std::string getSettingOrDefault(const std::string &name, const std::string &defaultValue);

// mode 1: the file is readable by everyone (0644); otherwise owner-only (0600).
// The map keeps the value even when writing fails.
void setSetting(const std::string &name, const std::string &value, int mode, bool deferOnFailure);

// Reads the kset file of `name` in `directory` (empty: the data directory);
// the value is trimmed of surrounding whitespace. What the file holds is
// judged by parseKsetContent().
std::string readKsetFile(const std::string &name, const std::string &directory);
// Writes the trimmed value (an empty value removes the file), as
// formatKsetContent() gives it; a value it refuses is refused before anything
// is created.
void writeKsetFile(const std::string &name, const std::string &value, int mode, const std::string &directory);

// The value that the `size` bytes of a kset file hold: without one final
// LF, trimmed of surrounding whitespace. More than KSET_MAX_SIZE bytes throw
// IOException, a control character BadDataException; `path` names the file in
// the messages.
std::string parseKsetContent(const char *bytes, size_t size, const std::string &path);
// The bytes a kset file holds for `value`: the value trimmed of surrounding
// whitespace, empty when the file is to be removed. A control character in
// them throws BadDataException, more than KSET_MAX_SIZE of them IOException;
// `path` names the file in the messages.
std::string formatKsetContent(const std::string &value, const std::string &path);

// Retries deferred writes in order, stopping at the first failure; returns
// how many are still pending. The first call of the process also removes
// temporary files left by interrupted writes.
int flushPendingSettings();
// Removes temporary files of interrupted writes from the default data
// directory; a missing directory has none. A temporary file still locked by
// its writer, or changed in the last 10 seconds, is in flight and stays;
// one untouched for 5 minutes goes in any case.
void removeStaleTempFiles();

bool settingExists(const std::string &name);
// Modification time of the setting's file, 0 when it cannot be examined.
time_t settingModificationTime(const std::string &name);

// Creates the data directory (mode 0755) when it does not exist.
void ensureDataDirectory();
// Removes the data directory with everything in it.
void removeDataDirectory();
// Empties the settings map (after which setDataDirectory is allowed again).
void clearSettingsCache();

// Checks that the zone settings are complete: throws IOException (rc 1).
void validateZoneSettings();
// Joined: no join in progress, and both domain and host are set.
bool isJoined();

} // namespace hlx
