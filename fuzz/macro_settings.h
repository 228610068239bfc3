// For harnesses that load framework configuration texts: the settings
// behind the built-in macros become property overrides of the process-wide
// store, so that no load looks for settings files.
#pragma once
#include "hlx/properties.h"
#include "hlx/setting.h"

#include <string>

inline void OverrideMacroSettings()
{
    const char *const settings[][2] = {
        {SETTING_HOST_NAME, "fuzzhost"},
        {SETTING_MACHINE_SITE, "fuzzsite"},
        {SETTING_DOMAIN_NAME, "fuzz.example"},
        {SETTING_ZONE_REALNAME, "CN=fuzzzone"},
    };
    for (const auto &setting : settings)
        hlx::Properties::instance()->setStringList(std::string("kset.") + setting[0], {setting[1]}, true);
}
