// Syntax of the framework configuration file: logical lines, the split of a
// line into name and value, and the value transformations a load applies
// (folding, escape decoding, macro expansion, backslash removal, unquoting),
// plus list values and the "file:" list files they may name.
//
// Everything here is byte-oriented in the "C" locale. Whitespace is
// " \t\n\r\v\f"; a name ends at whitespace, ':' or '='; list items end at
// whitespace or ','. A character is escaped when an odd run of backslashes
// stands right before it.
#pragma once

#include <cstdio>
#include <functional>
#include <list>
#include <string>
#include <string_view>

namespace hlx {
namespace config {

// The largest configuration or list file read, in bytes. Real files are a
// few kilobytes; the limit keeps a runaway file from exhausting memory, as a
// load holds the text and two maps of its values.
const size_t CONFIG_FILE_MAX_SIZE = 16 * 1024 * 1024;

// Inline: a load tests every byte of the file.
constexpr bool isWhitespace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}
constexpr bool isMacroNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether text[pos] (or the end, for pos == text.size()) is preceded by an
// odd run of backslashes that starts no earlier than `from`.
bool isEscapedAt(const std::string &text, size_t pos, size_t from = 0);
// Whether the text ends with an odd run of backslashes.
bool endsWithEscape(const std::string &text);
// Whether an unescaped double or single quote is still open at the end.
bool hasOpenQuote(const std::string &text);

// A configuration text in memory, read one physical line at a time. The text
// must outlive the reader.
class LineReader {
public:
    LineReader(const char *text, size_t size) : m_next(text), m_end(text + size) {}
    explicit LineReader(const std::string &text) : LineReader(text.data(), text.size()) {}

    // True when nothing is left to read.
    bool atEnd() const { return m_next == m_end; }
    // The next line without its LF (a CR before it stays); at the end the
    // line is left as it was and the result is false.
    bool readLine(std::string &line);
    // The same, as a view into the text.
    bool readLine(std::string_view &line);

private:
    const char *m_next;
    const char *m_end;
};

// Reads one logical line. At the end nothing is read and `line` is left as it
// was. Physical lines that end with an escape are joined with one space
// (their final backslash dropped); with `skipComments`, a line starting with
// '#' or '!' is returned as is and never continued. (config_stream.h has the
// same for a stream.)
void readLogicalLine(LineReader &in, std::string &line, bool skipComments);

// Splits a logical line into name (unescaped, unquoted) and value (folded and
// escape-decoded). False when the line defines no property.
bool parseLine(const std::string &line, std::string &name, std::string &value);

// What a load does line by line: reads logical lines, comments skipped, up
// to the next one that defines a property and splits it as parseLine()
// does. `plain` tells that the value holds no backslash, quote or '$', so
// that macro expansion, unescape() and unquote() would leave it as it is.
// `line` is working space. False at the end of the text.
bool readProperty(LineReader &in, std::string &line, std::string &name, std::string &value, bool &plain);

// Outside quotes: drops leading whitespace, folds every run of whitespace to
// one space; then removes one unescaped trailing whitespace character.
std::string normalizeWhitespace(const std::string &text);
// Replaces escaped f, n, r, t, v (with their backslash) by FF, LF, CR, TAB, VT.
std::string decodeEscapes(const std::string &text);

// Replaces each unescaped `$name` outside single quotes by the unquoted
// result of `lookup(name)`. A name is one digit, or the longest run of
// letters, digits and '_' (possibly empty).
typedef std::function<std::string(const std::string &)> MacroLookup;
std::string expandMacros(const std::string &text, const MacroLookup &lookup);
// The non-expanding form that quoteValue(..., false) turns back:
// `$name` -> `$name$`, `$` inside single quotes -> `$$`, `\$` -> `\$\$`.
std::string rewriteMacros(const std::string &text);

// Removes each backslash outside quote regions, keeping the next character.
std::string unescape(const std::string &text);
void unescapeInPlace(std::string &text);
// Removes the enclosing quotes of a fully quoted text and decodes the escapes
// inside double quotes; any other text comes back unchanged.
std::string unquote(const std::string &text);
void unquoteInPlace(std::string &text);

// Splits a raw list value into unescaped, unquoted items, appending them.
void splitList(const std::string &text, std::list<std::string> &items);

// Status of openSecure.
enum ListFileStatus {
    LIST_FILE_OK = 0,
    LIST_FILE_MISSING = 1,
    LIST_FILE_NOT_ROOT_OWNED = 2,
    LIST_FILE_WORLD_WRITABLE = 3,
    LIST_FILE_NO_PERMISSION = 4,
    LIST_FILE_SYMLINK = 5,
    LIST_FILE_HARD_LINKED = 6,
    LIST_FILE_UNKNOWN_ERROR = 7,
};

// Opens a list file for reading. Only a regular file is opened, never
// waiting for a FIFO. With `checked`, refuses a symbolic link, a file with
// several hard links, one not owned by root or a world-writable one, and
// makes sure the file opened is the one examined. Returns null and sets
// `status` on failure.
FILE *openSecure(const std::string &path, int &status, bool checked = true);

// One item per physical line of a list file's text: trimmed, blank lines and
// lines starting with '#' or '!' skipped, the rest unquoted.
std::list<std::string> readListFile(const std::string &text);

// The value names a list file when, unescaped, it starts with "file:" (at
// least 5 characters); `path` receives the unescaped text after "file:".
bool isListFileValue(const std::string &value, std::string &path);

// Opens and reads a list file (at most CONFIG_FILE_MAX_SIZE bytes) for the
// property `name`, appending its items. Each failure is logged on
// "util.properties" and returns false.
bool readListFileValue(const std::string &path, const std::string &name, std::list<std::string> &items);

} // namespace config
} // namespace hlx
