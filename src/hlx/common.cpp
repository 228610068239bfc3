#include "hlx/common.h"

#include <ctype.h>
#include <string.h>

namespace hlx {

// Other units' static initialisers may already hand it out, so it is built
// first.
__attribute__((init_priority(101))) const std::string EMPTY_STRING;

namespace {

const char WHITESPACE[] = " \t\n\r\v\f";

} // namespace

std::string lowerCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string upperCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string trim(const std::string &text)
{
    size_t first = text.find_first_not_of(WHITESPACE);
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of(WHITESPACE);
    return text.substr(first, last - first + 1);
}

std::string errorText(int error)
{
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

} // namespace hlx
