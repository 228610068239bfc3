// Small definitions shared by every framework unit.
#pragma once

#include <string>

namespace hlx {

// The framework's shared empty string, for operations that return a
// reference to a string they may not have (a missing property, an unnamed
// thread). Constructed before any other static object of the framework.
extern const std::string EMPTY_STRING;

} // namespace hlx
