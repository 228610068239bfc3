#include "hlx/common.h"

#include <string.h>

#include <new>

namespace hlx {

namespace {

// Storage without a destructor: nothing is registered to run at exit, so a
// program that never uses the framework touches none of its code or the C++
// library's when it ends.
alignas(std::string) unsigned char gEmptyStringStorage[sizeof(std::string)];

// Other units' static initialisers may already hand it out, so it is built
// first.
struct EmptyStringMaker {
    EmptyStringMaker() { ::new (static_cast<void *>(gEmptyStringStorage)) std::string(); }
};
__attribute__((init_priority(101))) EmptyStringMaker gEmptyStringMaker;

} // namespace

// An address constant: bound before any initialiser runs.
const std::string &EMPTY_STRING = reinterpret_cast<const std::string &>(gEmptyStringStorage);

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
