// The one way the core units (threads, the logger) read a configuration
// property, so that they need not know how the properties store is built.
#pragma once

#include <string>

namespace hlx {

// Value of the framework configuration property `key`; the empty string
// when the property is not set.
std::string lookupProperty(const std::string &key);

// Creates the properties store, loading the configuration file, unless it
// exists already.
void loadProperties();

} // namespace hlx
