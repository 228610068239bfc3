// Parses arbitrary bytes as hlx::path and checks the text forms against each
// other: no text form may lose or invent a component, the portable form has
// no spaces, and joining keeps both sides.
#include "hlx/exceptions.h"
#include "hlx/path.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Check(bool condition)
{
    if (!condition)
        abort();
}

void CheckForms(const hlx::path &p)
{
    const std::string os = p.os_string();
    const std::string portable = p.string();
    Check(portable.size() == os.size());
    Check(portable.find(' ') == std::string::npos);
    for (const std::string &directory : p.directories())
        Check(!directory.empty() && directory.find_first_of("/\\") == std::string::npos);
    Check(p.name().find_first_of("/\\") == std::string::npos);
    Check(p.empty() == (os.empty()));
    // Reading a text form back gives the same path.
    Check(hlx::path(os).os_string() == os);
    Check(hlx::path(p.native_string()).os_string() == os);
    Check(hlx::path(portable).string() == portable);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t split = input.find('\0');
    const hlx::path left(input.substr(0, split));
    CheckForms(left);
    if (split == std::string::npos)
        return 0;
    const hlx::path right(input.substr(split + 1));
    CheckForms(right);
    try {
        hlx::path joined = left / right;
        CheckForms(joined);
        Check(joined.directories().size() >= left.directories().size() + right.directories().size());
        Check(joined.name() == right.name());
        Check(!right.is_absolute());
    } catch (const hlx::BadDataException &) {
        Check(right.is_absolute());
    }
    (void)(left < right);
    return 0;
}
