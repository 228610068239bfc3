#include "hlx/logger.h"

#include "hlx/mutex.h"
#include "hlx/osport.h"
#include "hlx/properties.h"

#include <errno.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

namespace hlx {

namespace {

const char CONFIGURATION_LOGGER[] = "com.norvalex.logger";
const char LEVEL_PREFIX[] = "log.";
const char FACILITY_PREFIX[] = "logger.facility.";

typedef std::vector<std::pair<std::string, std::string>> Entries;

// The properties whose names start with `prefix`, copied so that no
// iterator into the store outlives the scan.
Entries propertiesWithPrefix(Properties &properties, const std::string &prefix)
{
    Entries found;
    Properties::ValueMap::const_iterator first;
    Properties::ValueMap::const_iterator last;
    if (properties.findPrefix(prefix, first, last))
        found.assign(first, last);
    return found;
}

// What one selector of "logger.facility.<selector>[.<logger>]" configures.
struct FacilitySettings {
    explicit FacilitySettings(const char *selector) : selector(selector) {}
    // Takes the property if it is this selector's.
    void take(const std::pair<std::string, std::string> &entry)
    {
        const std::string &name = entry.first;
        const size_t prefixLength = sizeof FACILITY_PREFIX - 1;
        const size_t selectorLength = strlen(selector);
        if (name.compare(0, prefixLength, FACILITY_PREFIX) != 0 ||
            name.compare(prefixLength, selectorLength, selector) != 0)
            return;
        const size_t keyLength = prefixLength + selectorLength;
        if (name.size() == keyLength)
            rootValue = entry.second;
        else if (name[keyLength] == '.')
            loggers.push_back(entry);
        else
            return;
        if (key.empty())
            key = name.substr(0, keyLength);
    }
    const char *selector;
    // "logger.facility.<selector>", once a property of the selector is found.
    std::string key;
    std::string rootValue;
    Entries loggers;
};

void applyFacilities(const FacilitySettings &settings, const LoggerPtr &warnings)
{
    if (!settings.rootValue.empty()) {
        int code = facilityCode(settings.rootValue);
        if (code == -1) {
            warnings->log(LEVEL_WARN, "Illegal value facility name: '%s' for '%s'. Using '%s'.",
                          settings.rootValue.c_str(), settings.key.c_str(), "auth");
            code = DEFAULT_FACILITY;
        }
        Logger::getLogger(std::string())->setFacility(code);
    }
    const size_t prefixLength = settings.key.size() + 1;
    for (const auto &entry : settings.loggers) {
        const std::string name = entry.first.substr(prefixLength);
        if (name.empty()) {
            warnings->log(LEVEL_WARN, "Illegal facility name: '%s'", entry.first.c_str());
            continue;
        }
        int code = facilityCode(entry.second);
        if (code == -1) {
            warnings->log(LEVEL_WARN, "Illegal log facility. Property: '%s', value: '%s'", entry.first.c_str(),
                          entry.second.c_str());
            continue;
        }
        Logger::getLogger(name)->setFacility(code);
    }
}

} // namespace

void Logger::configure(Properties &properties)
{
    // Everything is read from the store before the registry is locked, so
    // the registry mutex is never held while the store's lock is taken.
    EnsureProgramName();
    // Every name read here starts with "log": one walk finds "log",
    // "log.<logger>" and both selectors' "logger.facility." names.
    std::string rootValue;
    Entries levels;
    FacilitySettings forAll("*");
    FacilitySettings forProgram(program_invocation_short_name);
    for (const auto &entry : propertiesWithPrefix(properties, "log")) {
        if (entry.first.size() == 3)
            rootValue = entry.second;
        else if (entry.first.compare(0, sizeof LEVEL_PREFIX - 1, LEVEL_PREFIX) == 0)
            levels.push_back(entry);
        forAll.take(entry);
        forProgram.take(entry);
    }
    // The openlog switch belongs to the process-wide store only.
    if (&properties == Properties::instance())
        setOpenlogSwitch(properties.getString(std::string("logger.openlog.") + program_invocation_short_name));

    ScopedLock guard(registryMutex());
    // Loggers created while configuring must find the registry in place.
    LoggerPtr root = getLogger(std::string());
    resetForConfiguration();

    static const std::string *const configurationLogger = new std::string(CONFIGURATION_LOGGER);
    LoggerPtr warnings = getLogger(*configurationLogger);
    warnings->setLevel(LEVEL_WARN);
    warnings->setFacility(DEFAULT_FACILITY);

    LogLevel rootLevel = parseLevel(rootValue);
    if (rootLevel == -1) {
        warnings->log(LEVEL_WARN, "Illegal value for property 'log': '%s'. Using 'INFO'.", rootValue.c_str());
        rootLevel = LEVEL_INFO;
    }
    root->setLevel(rootLevel);

    for (const auto &entry : levels) {
        const std::string name = entry.first.substr(sizeof LEVEL_PREFIX - 1);
        if (name.empty()) {
            warnings->log(LEVEL_WARN, "Illegal log name: '%s'", entry.first.c_str());
            continue;
        }
        LogLevel level = parseLevel(entry.second);
        if (level == -1) {
            warnings->log(LEVEL_WARN, "Illegal log level. Property: '%s', value: '%s'", entry.first.c_str(),
                          entry.second.c_str());
            continue;
        }
        getLogger(name)->setLevel(level);
    }

    // The program's own selector comes second, so it wins.
    applyFacilities(forAll, warnings);
    applyFacilities(forProgram, warnings);
    if (root->facility() == -1)
        root->setFacility(DEFAULT_FACILITY);
}

} // namespace hlx
