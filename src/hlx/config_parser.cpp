#include "hlx/config_parser.h"

#include "hlx/common.h"
#include "hlx/file_util.h"
#include "hlx/logger.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hlx {
namespace config {

namespace {

bool isListSeparator(char c)
{
    return isWhitespace(c) || c == ',';
}

// Quote state of a text read left to right: an unescaped '"' toggles the
// double-quote region unless a single-quote region is open, and the other way
// round. `backslashes` is the run of backslashes just before the next byte.
struct QuoteTracker {
    bool inDouble = false;
    bool inSingle = false;
    size_t backslashes = 0;

    bool inQuotes() const { return inDouble || inSingle; }
    bool nextIsEscaped() const { return backslashes % 2 == 1; }

    void feed(char c)
    {
        if (c == '\\') {
            ++backslashes;
            return;
        }
        bool escaped = nextIsEscaped();
        backslashes = 0;
        if (escaped)
            return;
        if (c == '"' && !inSingle)
            inDouble = !inDouble;
        else if (c == '\'' && !inDouble)
            inSingle = !inSingle;
    }
};

// What the scan of a line needs to know of a byte, in one table look-up.
enum : unsigned char {
    CHAR_WHITESPACE = 1,
    CHAR_NAME_SEPARATOR = 2,
    // A backslash, a quote or '$': the line needs more than a split.
    CHAR_SPECIAL = 4,
    CHAR_QUOTE = 8,
};

struct CharClasses {
    unsigned char of[256];
};

constexpr CharClasses makeCharClasses()
{
    CharClasses classes{};
    for (int c = 0; c < 256; ++c) {
        if (isWhitespace(static_cast<char>(c)))
            classes.of[c] |= CHAR_WHITESPACE | CHAR_NAME_SEPARATOR;
    }
    classes.of[static_cast<unsigned char>(':')] |= CHAR_NAME_SEPARATOR;
    classes.of[static_cast<unsigned char>('=')] |= CHAR_NAME_SEPARATOR;
    for (char c : {'\\', '"', '\'', '$'})
        classes.of[static_cast<unsigned char>(c)] |= CHAR_SPECIAL;
    classes.of[static_cast<unsigned char>('"')] |= CHAR_QUOTE;
    classes.of[static_cast<unsigned char>('\'')] |= CHAR_QUOTE;
    return classes;
}

constexpr CharClasses CHAR_CLASSES = makeCharClasses();

inline unsigned char charClass(char c)
{
    return CHAR_CLASSES.of[static_cast<unsigned char>(c)];
}

char controlForEscapeLetter(char c)
{
    switch (c) {
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'v': return '\v';
    default: return 0;
    }
}

int statusForErrno(int error)
{
    if (error == ENOENT)
        return LIST_FILE_MISSING;
    if (error == EACCES)
        return LIST_FILE_NO_PERMISSION;
    return LIST_FILE_UNKNOWN_ERROR;
}

} // namespace

bool isEscapedAt(const std::string &text, size_t pos, size_t from)
{
    size_t run = 0;
    while (pos > from && text[pos - 1] == '\\') {
        --pos;
        ++run;
    }
    return run % 2 == 1;
}

bool endsWithEscape(const std::string &text)
{
    return isEscapedAt(text, text.size());
}

bool hasOpenQuote(const std::string &text)
{
    QuoteTracker quotes;
    for (char c : text)
        quotes.feed(c);
    return quotes.inQuotes();
}

bool LineReader::readLine(std::string_view &line)
{
    if (atEnd())
        return false;
    const char *newline = static_cast<const char *>(memchr(m_next, '\n', size_t(m_end - m_next)));
    const char *lineEnd = newline != nullptr ? newline : m_end;
    line = std::string_view(m_next, size_t(lineEnd - m_next));
    m_next = newline != nullptr ? newline + 1 : m_end;
    return true;
}

bool LineReader::readLine(std::string &line)
{
    std::string_view view;
    if (!readLine(view))
        return false;
    line.assign(view);
    return true;
}

void readLogicalLine(LineReader &in, std::string &line, bool skipComments)
{
    if (!in.readLine(line))
        return;
    if (line.empty())
        return;
    if (skipComments && (line[0] == '#' || line[0] == '!'))
        return;
    std::string next;
    while (endsWithEscape(line) && in.readLine(next)) {
        line.pop_back();
        line += ' ';
        line += next;
    }
}

namespace {

bool hasByteOfClass(const char *p, const char *end, unsigned char classes)
{
    for (; p != end; ++p)
        if (charClass(*p) & classes)
            return true;
    return false;
}

// Whether text[0, length) ends with an odd run of backslashes.
bool endsWithEscape(const char *text, size_t length)
{
    size_t run = 0;
    while (run < length && text[length - 1 - run] == '\\')
        ++run;
    return run % 2 == 1;
}

// The value steps below rewrite a text in place, as none makes it longer,
// and return its new length.

// normalizeWhitespace()
size_t foldRange(char *text, size_t size)
{
    size_t length = 0;
    if (!hasByteOfClass(text, text + size, CHAR_QUOTE)) {
        // Without quotes, folding joins the words with single spaces, and
        // whitespace at the end stays (as one space) only after an escape.
        bool spacePending = false;
        for (size_t i = 0; i < size; ++i) {
            const char c = text[i];
            if (charClass(c) & CHAR_WHITESPACE) {
                spacePending = length > 0;
                continue;
            }
            if (spacePending) {
                text[length++] = ' ';
                spacePending = false;
            }
            text[length++] = c;
        }
        if (spacePending && endsWithEscape(text, length))
            text[length++] = ' ';
        return length;
    }
    QuoteTracker quotes;
    bool afterFoldedSpace = false;
    for (size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (!quotes.inQuotes() && isWhitespace(c)) {
            if (length > 0 && !afterFoldedSpace)
                text[length++] = ' ';
            afterFoldedSpace = true;
            quotes.feed(' ');
            continue;
        }
        afterFoldedSpace = false;
        text[length++] = c;
        quotes.feed(c);
    }
    if (length > 0 && isWhitespace(text[length - 1]) && !endsWithEscape(text, length - 1))
        --length;
    return length;
}

// decodeEscapes()
size_t decodeRange(char *text, size_t size)
{
    const char *first = static_cast<const char *>(memchr(text, '\\', size));
    if (first == nullptr)
        return size;
    size_t length = size_t(first - text);
    size_t backslashes = 0;
    for (size_t i = length; i < size; ++i) {
        const char c = text[i];
        if (backslashes % 2 == 1) {
            const char control = controlForEscapeLetter(c);
            if (control != 0) {
                text[length - 1] = control;
                backslashes = 0;
                continue;
            }
        }
        backslashes = c == '\\' ? backslashes + 1 : 0;
        text[length++] = c;
    }
    return length;
}

// unescape()
size_t unescapeRange(char *text, size_t size)
{
    const char *first = static_cast<const char *>(memchr(text, '\\', size));
    if (first == nullptr)
        return size;
    size_t length = size_t(first - text);
    if (!hasByteOfClass(text, text + size, CHAR_QUOTE)) {
        for (size_t i = length; i < size; ++i) {
            if (text[i] == '\\' && ++i == size)
                break;
            text[length++] = text[i];
        }
        return length;
    }
    // Quote regions are judged on the output, so a quote freed from its
    // backslash opens a region for what follows.
    QuoteTracker quotes;
    length = 0;
    for (size_t i = 0; i < size; ++i) {
        char c = text[i];
        if (c == '\\' && !quotes.inQuotes()) {
            if (++i == size)
                break;
            c = text[i];
        }
        text[length++] = c;
        quotes.feed(c);
    }
    return length;
}

// unquote()
size_t unquoteRange(char *text, size_t size)
{
    if (size < 2 || (text[0] != '"' && text[0] != '\''))
        return size;
    const char quote = text[0];
    size_t closing = std::string::npos;
    size_t backslashes = 0;
    for (size_t i = 1; i < size; ++i) {
        if (text[i] == quote && backslashes % 2 == 0) {
            closing = i;
            break;
        }
        backslashes = text[i] == '\\' ? backslashes + 1 : 0;
    }
    if (closing != size - 1)
        return size;

    size_t length = 0;
    bool inDouble = false;
    bool inSingle = false;
    backslashes = 0;
    for (size_t i = 0; i < size; ++i) {
        char c = text[i];
        if (inDouble && c == '\\') {
            if (++i == size)
                break;
            char control = controlForEscapeLetter(text[i]);
            text[length++] = control != 0 ? control : text[i];
            backslashes = 0;
            continue;
        }
        bool escaped = backslashes % 2 == 1;
        backslashes = c == '\\' ? backslashes + 1 : 0;
        if (c == '"' && !escaped && !inSingle) {
            inDouble = !inDouble;
            continue;
        }
        if (c == '\'' && !escaped && !inDouble) {
            inSingle = !inSingle;
            continue;
        }
        text[length++] = c;
    }
    return length;
}

// parseLine() of a logical line held in working space, which it rewrites.
bool splitLogicalLine(char *line, size_t size, std::string &name, std::string &value)
{
    name.clear();
    value.clear();
    if (size == 0 || line[0] == '#' || line[0] == '!')
        return false;
    size_t start = 0;
    while (start < size && isWhitespace(line[start]))
        ++start;
    if (start == size)
        return false;

    // Escaped separators belong to the name; quotes do not protect them.
    size_t separator = size;
    size_t backslashes = line[start] == '\\' ? 1 : 0;
    for (size_t i = start + 1; i < size; ++i) {
        const char c = line[i];
        if ((charClass(c) & CHAR_NAME_SEPARATOR) && backslashes % 2 == 0) {
            separator = i;
            break;
        }
        backslashes = c == '\\' ? backslashes + 1 : 0;
    }
    size_t valueStart = separator + 1;
    if (separator < size) {
        const char c = line[separator];
        if ((isWhitespace(c) || c == ':') && valueStart < size && line[valueStart] == '=')
            ++valueStart;
    }
    // The name is rewritten where it stands, before the value.
    size_t nameLength = unescapeRange(line + start, separator - start);
    nameLength = unquoteRange(line + start, nameLength);
    if (nameLength == 0)
        return false;
    name.assign(line + start, nameLength);
    if (separator < size && valueStart < size) {
        size_t valueLength = foldRange(line + valueStart, size - valueStart);
        valueLength = decodeRange(line + valueStart, valueLength);
        value.assign(line + valueStart, valueLength);
    }
    return true;
}

enum PlainLine { PLAIN_PROPERTY, PLAIN_NO_PROPERTY, NOT_PLAIN };

// parseLine() of a physical line straight from the text, as long as the
// line holds no backslash, quote or '$' (NOT_PLAIN otherwise, with `name`
// and `value` undefined). With nothing escaped the name ends at the first
// separator and needs no unescaping, and with nothing quoted folding the
// value only joins its words with single spaces.
PlainLine parsePlainLine(const char *p, const char *end, std::string &name, std::string &value)
{
    if (p == end || *p == '#' || *p == '!')
        return PLAIN_NO_PROPERTY;
    while (p != end && (charClass(*p) & CHAR_WHITESPACE))
        ++p;
    if (p == end)
        return PLAIN_NO_PROPERTY;
    const char *nameStart = p;
    if (charClass(*p++) & CHAR_SPECIAL)
        return NOT_PLAIN;
    unsigned char stop = 0;
    while (p != end && !(stop = charClass(*p) & (CHAR_NAME_SEPARATOR | CHAR_SPECIAL)))
        ++p;
    if (stop & CHAR_SPECIAL)
        return NOT_PLAIN;
    name.assign(nameStart, size_t(p - nameStart));
    value.clear();
    if (p == end)
        return PLAIN_PROPERTY;
    const char separator = *p++;
    if ((isWhitespace(separator) || separator == ':') && p != end && *p == '=')
        ++p;
    while (p != end && (charClass(*p) & CHAR_WHITESPACE))
        ++p;
    // Words mostly stand one space apart already: the value is then copied
    // at once.
    const char *valueStart = p;
    const char *valueEnd = p;
    bool folded = true;
    bool afterSpace = false;
    for (; p != end; ++p) {
        const unsigned char classes = charClass(*p);
        if (classes & CHAR_SPECIAL)
            return NOT_PLAIN;
        if (classes & CHAR_WHITESPACE) {
            folded = folded && *p == ' ' && !afterSpace;
            afterSpace = true;
        } else {
            afterSpace = false;
            valueEnd = p + 1;
        }
    }
    if (folded) {
        value.assign(valueStart, size_t(valueEnd - valueStart));
        return PLAIN_PROPERTY;
    }
    for (p = valueStart; p != valueEnd;) {
        const char *word = p;
        while (p != valueEnd && !(charClass(*p) & CHAR_WHITESPACE))
            ++p;
        if (!value.empty())
            value += ' ';
        value.append(word, size_t(p - word));
        while (p != valueEnd && (charClass(*p) & CHAR_WHITESPACE))
            ++p;
    }
    return PLAIN_PROPERTY;
}

} // namespace

bool parseLine(const std::string &line, std::string &name, std::string &value)
{
    std::string text = line;
    return splitLogicalLine(&text[0], text.size(), name, value);
}

bool readProperty(LineReader &in, std::string &line, std::string &name, std::string &value, bool &plain)
{
    std::string_view physical;
    while (in.readLine(physical)) {
        const char *begin = physical.data();
        const char *end = begin + physical.size();
        // Most lines are names and words: split from the text, and only a
        // line with an escape, a quote or a macro goes the whole way. A line
        // without a backslash cannot be continued, so it is a logical line
        // of its own.
        PlainLine split = parsePlainLine(begin, end, name, value);
        if (split == PLAIN_PROPERTY) {
            plain = true;
            return true;
        }
        if (split == PLAIN_NO_PROPERTY)
            continue;
        // Neither empty nor a comment, so it may be continued.
        line.assign(physical);
        while (endsWithEscape(line) && in.readLine(physical)) {
            line.pop_back();
            line += ' ';
            line.append(physical);
        }
        if (splitLogicalLine(&line[0], line.size(), name, value)) {
            plain = !hasByteOfClass(value.data(), value.data() + value.size(), CHAR_SPECIAL);
            return true;
        }
    }
    return false;
}

std::string normalizeWhitespace(const std::string &text)
{
    std::string out = text;
    out.resize(foldRange(&out[0], out.size()));
    return out;
}

std::string decodeEscapes(const std::string &text)
{
    std::string out = text;
    out.resize(decodeRange(&out[0], out.size()));
    return out;
}

namespace {

// Length of the macro name that starts at text[pos]: one digit, or the
// longest run of macro name characters.
size_t macroNameLength(const std::string &text, size_t pos)
{
    if (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
        return 1;
    size_t end = pos;
    while (end < text.size() && isMacroNameChar(text[end]))
        ++end;
    return end - pos;
}

} // namespace

std::string expandMacros(const std::string &text, const MacroLookup &lookup)
{
    if (text.find('$') == std::string::npos)
        return text;
    std::string out;
    out.reserve(text.size());
    QuoteTracker quotes;
    size_t copied = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '$' || quotes.inSingle || quotes.nextIsEscaped()) {
            quotes.feed(c);
            continue;
        }
        out.append(text, copied, i - copied);
        size_t length = macroNameLength(text, i + 1);
        std::string replacement = lookup(text.substr(i + 1, length));
        unquoteInPlace(replacement);
        out += replacement;
        i += length;
        copied = i + 1;
        // The reference is gone: what follows is judged as if after a plain byte.
        quotes.feed('$');
    }
    out.append(text, copied, std::string::npos);
    return out;
}

std::string rewriteMacros(const std::string &text)
{
    if (text.find('$') == std::string::npos)
        return text;
    std::string out;
    out.reserve(text.size() + 8);
    QuoteTracker quotes;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '$') {
            out += c;
            quotes.feed(c);
            continue;
        }
        if (quotes.nextIsEscaped()) {
            out += "$\\$";
        } else if (quotes.inSingle) {
            out += "$$";
        } else {
            size_t length = macroNameLength(text, i + 1);
            out += '$';
            out.append(text, i + 1, length);
            out += '$';
            i += length;
        }
        quotes.feed('$');
    }
    return out;
}

void unescapeInPlace(std::string &text)
{
    text.resize(unescapeRange(&text[0], text.size()));
}

void unquoteInPlace(std::string &text)
{
    text.resize(unquoteRange(&text[0], text.size()));
}

std::string unescape(const std::string &text)
{
    std::string out = text;
    unescapeInPlace(out);
    return out;
}

std::string unquote(const std::string &text)
{
    std::string out = text;
    unquoteInPlace(out);
    return out;
}

void splitList(const std::string &text, std::list<std::string> &items)
{
    size_t pos = 0;
    for (;;) {
        while (pos < text.size() && isListSeparator(text[pos]))
            ++pos;
        if (pos == text.size())
            return;
        // An item runs to the next separator that is neither escaped nor
        // inside quotes opened within the item.
        QuoteTracker quotes;
        size_t end = pos;
        for (; end < text.size(); ++end) {
            char c = text[end];
            if (isListSeparator(c) && !quotes.nextIsEscaped() && !quotes.inQuotes())
                break;
            quotes.feed(c);
        }
        std::string item = text.substr(pos, end - pos);
        unescapeInPlace(item);
        unquoteInPlace(item);
        items.push_back(std::move(item));
        pos = end;
    }
}

namespace {

// openSecure on a descriptor: -1 with `status` set on failure.
int openListFile(const std::string &path, int &status, bool checked)
{
    status = LIST_FILE_OK;
    if (!checked) {
        int fd = file_util::open_regular(path.c_str());
        if (fd < 0)
            status = statusForErrno(errno);
        return fd;
    }
    struct stat before;
    if (lstat(path.c_str(), &before) != 0) {
        status = statusForErrno(errno);
        return -1;
    }
    if (S_ISLNK(before.st_mode))
        status = LIST_FILE_SYMLINK;
    // Only a regular file is a list: opening a FIFO would block, and a
    // device could be read without end.
    else if (!S_ISREG(before.st_mode))
        status = LIST_FILE_UNKNOWN_ERROR;
    else if (before.st_nlink >= 2)
        status = LIST_FILE_HARD_LINKED;
    else if (before.st_uid != 0)
        status = LIST_FILE_NOT_ROOT_OWNED;
    else if (before.st_mode & S_IWOTH)
        status = LIST_FILE_WORLD_WRITABLE;
    if (status != LIST_FILE_OK)
        return -1;

    // The name may have been replaced between the check and the open: never
    // follow a link or wait on a FIFO put there, and read only the file that
    // was checked.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        status = errno == ELOOP ? LIST_FILE_SYMLINK : statusForErrno(errno);
        return -1;
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0 || opened.st_dev != before.st_dev || opened.st_ino != before.st_ino) {
        close(fd);
        status = LIST_FILE_UNKNOWN_ERROR;
        return -1;
    }
    return fd;
}

} // namespace

FILE *openSecure(const std::string &path, int &status, bool checked)
{
    int fd = openListFile(path, status, checked);
    if (fd < 0)
        return nullptr;
    FILE *file = fdopen(fd, "r");
    if (file == nullptr) {
        status = statusForErrno(errno);
        close(fd);
    }
    return file;
}

std::list<std::string> readListFile(const std::string &text)
{
    std::list<std::string> items;
    LineReader lines(text);
    std::string line;
    while (lines.readLine(line)) {
        std::string item = trim(line);
        if (item.empty() || item[0] == '#' || item[0] == '!')
            continue;
        items.push_back(unquote(item));
    }
    return items;
}

bool isListFileValue(const std::string &value, std::string &path)
{
    // Unescaping keeps the first byte unless it is a backslash.
    if (value.empty() || (value[0] != 'f' && value[0] != '\\'))
        return false;
    std::string text = unescape(value);
    if (text.size() < 5 || text.compare(0, 5, "file:") != 0)
        return false;
    path = text.substr(5);
    return true;
}

bool readListFileValue(const std::string &path, const std::string &name, std::list<std::string> &items)
{
    LoggerPtr log = Logger::getLogger("util.properties");
    int status = LIST_FILE_OK;
    int fd = openListFile(path, status, true);
    if (fd >= 0) {
        log->log(LEVEL_DEBUG, "Opening config file [%s].", path.c_str());
        std::string text;
        bool read = file_util::read_to_end(fd, CONFIG_FILE_MAX_SIZE, text);
        close(fd);
        if (!read) {
            // A read error, or a file beyond any list's size.
            log->log(LEVEL_ERROR, "Unable to open config file: %s", path.c_str());
            return false;
        }
        std::list<std::string> fileItems = readListFile(text);
        items.splice(items.end(), fileItems);
        return true;
    }
    const char *p = path.c_str();
    const char *n = name.c_str();
    switch (status) {
    case LIST_FILE_MISSING:
        log->log(LEVEL_DEBUG, "Config file [%s] does not exist.", p);
        break;
    case LIST_FILE_NOT_ROOT_OWNED:
        log->log(LEVEL_WARN, "Config file [%s] is not owned by root. Skip reading config file for property %s. "
                 "Please change its owner to root to enhance security.", p, n);
        break;
    case LIST_FILE_WORLD_WRITABLE:
        log->log(LEVEL_WARN, "Config file [%s] is world writable. Skip reading config file for property %s. "
                 "Please ensure the file is not world writable to enhance security.", p, n);
        break;
    case LIST_FILE_NO_PERMISSION:
        log->log(LEVEL_WARN, "No permission to access config file [%s]. Skip reading config file for property %s. "
                 "Please ensure the file is accessible.", p, n);
        break;
    case LIST_FILE_SYMLINK:
        log->log(LEVEL_WARN, "Config file [%s] is symlink. Skip reading config file for property %s. "
                 "Please ensure the file is not symlink", p, n);
        break;
    case LIST_FILE_HARD_LINKED:
        log->log(LEVEL_WARN, "Config file [%s] has more than one hardlinks. Skip reading config file for property %s. "
                 "Please ensure the file has only one hardlink", p, n);
        break;
    default:
        log->log(LEVEL_DEBUG, "Cannot open config file [%s] due to unknown error. Skip reading config file for property %s.",
                 p, n);
        break;
    }
    return false;
}

} // namespace config
} // namespace hlx
