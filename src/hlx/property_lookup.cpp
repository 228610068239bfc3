#include "hlx/property_lookup.h"

#include "hlx/properties.h"

namespace hlx {

std::string lookupProperty(const std::string &key)
{
    // The first lookup creates the store, which loads the configuration file.
    return Properties::instance()->getString(key);
}

void loadProperties()
{
    Properties::instance();
}

} // namespace hlx
