#include "hlx/common.h"

#include <string.h>

namespace hlx {

// Other units' static initialisers may already hand it out, so it is built
// first.
__attribute__((init_priority(101))) const std::string EMPTY_STRING;

namespace {

const char WHITESPACE[] = " \t\n\r\v\f";

} // namespace

// Not tolower()/toupper(): the "C" locale's rules whatever locale the
// program set, without a call per byte.
std::string lowerCase(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string upperCase(std::string text)
{
    for (char &c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
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
