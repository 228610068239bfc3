#include "hlx/logger.h"

#include "hlx/mutex.h"
#include "hlx/osport.h"
#include "hlx/properties.h"

#include <errno.h>

#include <string>
#include <utility>
#include <vector>

namespace hlx {

namespace {

const char CONFIGURATION_LOGGER[] = "com.norvalex.logger";
const char LEVEL_PREFIX[] = "log.";
const char FACILITY_PREFIX[] = "logger.facility.";

// The names of the "log.<logger>" (or facility) keys below `prefix`, with
// their values, copied so that no iterator into the store outlives the scan.
std::vector<std::pair<std::string, std::string>> propertiesWithPrefix(Properties &properties,
                                                                     const std::string &prefix)
{
    std::vector<std::pair<std::string, std::string>> found;
    Properties::ValueMap::const_iterator first;
    Properties::ValueMap::const_iterator last;
    if (properties.findPrefix(prefix, first, last))
        found.assign(first, last);
    return found;
}

void applyFacilities(Properties &properties, const std::string &selector, const LoggerPtr &warnings)
{
    const std::string key = FACILITY_PREFIX + selector;
    const std::string value = properties.getString(key);
    if (!value.empty()) {
        int code = facilityCode(value);
        if (code == -1) {
            warnings->log(LEVEL_WARN, "Illegal value facility name: '%s' for '%s'. Using '%s'.", value.c_str(),
                          key.c_str(), "auth");
            code = DEFAULT_FACILITY;
        }
        Logger::getLogger(std::string())->setFacility(code);
    }
    const std::string prefix = key + ".";
    for (const auto &entry : propertiesWithPrefix(properties, prefix)) {
        const std::string name = entry.first.substr(prefix.size());
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
    ScopedLock guard(registryMutex());
    // Loggers created while configuring must find the registry in place.
    LoggerPtr root = getLogger(std::string());
    resetForConfiguration();

    LoggerPtr warnings = getLogger(CONFIGURATION_LOGGER);
    warnings->setLevel(LEVEL_WARN);
    warnings->setFacility(DEFAULT_FACILITY);

    const std::string rootValue = properties.getString("log");
    LogLevel rootLevel = parseLevel(rootValue);
    if (rootLevel == -1) {
        warnings->log(LEVEL_WARN, "Illegal value for property 'log': '%s'. Using 'INFO'.", rootValue.c_str());
        rootLevel = LEVEL_INFO;
    }
    root->setLevel(rootLevel);

    for (const auto &entry : propertiesWithPrefix(properties, LEVEL_PREFIX)) {
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

    applyFacilities(properties, "*", warnings);
    EnsureProgramName();
    applyFacilities(properties, program_invocation_short_name, warnings);
    if (root->facility() == -1)
        root->setFacility(DEFAULT_FACILITY);
}

} // namespace hlx
