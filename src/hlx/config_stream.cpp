#include "hlx/config_stream.h"

#include "hlx/common.h"
#include "hlx/config_parser.h"
#include "hlx/properties.h"

#include <ostream>

namespace hlx {

namespace config {

bool atEndOfStream(std::istream &in)
{
    return !in.good() || in.peek() == std::istream::traits_type::eof();
}

void readLogicalLine(std::istream &in, std::string &line, bool skipComments)
{
    if (atEndOfStream(in))
        return;
    line.clear();
    std::getline(in, line);
    if (line.empty())
        return;
    if (skipComments && (line[0] == '#' || line[0] == '!'))
        return;
    std::string next;
    while (endsWithEscape(line) && !atEndOfStream(in)) {
        next.clear();
        std::getline(in, next);
        line.pop_back();
        line += ' ';
        line += next;
    }
}

std::list<std::string> readListFile(std::istream &in)
{
    std::list<std::string> items;
    std::string line;
    while (std::getline(in, line)) {
        std::string item = trim(line);
        if (item.empty() || item[0] == '#' || item[0] == '!')
            continue;
        items.push_back(unquote(item));
    }
    return items;
}

} // namespace config

void Properties::load(std::istream &in, bool expandMacros)
{
    if (in.fail() || in.bad()) {
        loadText(nullptr, 0, expandMacros, INPUT_UNREADABLE);
        return;
    }
    std::string text;
    char buffer[8192];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
        text.append(buffer, size_t(in.gcount()));
    // A read error is not the end of the input: what was read is loaded,
    // but the load does not count as complete.
    loadText(text.data(), text.size(), expandMacros, in.bad() ? INPUT_PARTIAL : INPUT_COMPLETE);
}

void Properties::dump(std::ostream &out, const std::string &title)
{
    out << dumpText(title);
}

} // namespace hlx
