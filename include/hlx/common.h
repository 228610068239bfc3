// Small definitions shared by every framework unit: the shared empty string
// and the text helpers the units have in common.
#pragma once

#include <string>

namespace hlx {

// The framework's shared empty string, for operations that return a
// reference to a string they may not have (a missing property, an unnamed
// thread). Constructed before any other static object of the framework and
// never destroyed, so that it outlives every static object that hands it
// out.
extern const std::string &EMPTY_STRING;

// Byte-wise case changes, as in the "C" locale.
std::string lowerCase(std::string text);
std::string upperCase(std::string text);
// The text without leading and trailing whitespace (" \t\n\r\v\f").
std::string trim(const std::string &text);
// The system's text for an error number (strerror).
std::string errorText(int error);

} // namespace hlx
