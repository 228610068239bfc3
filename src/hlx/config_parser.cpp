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

bool isNameSeparator(char c)
{
    return isWhitespace(c) || c == ':' || c == '=';
}

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

bool isWhitespace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isMacroNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

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

bool LineReader::readLine(std::string &line)
{
    if (atEnd())
        return false;
    const char *newline = static_cast<const char *>(memchr(m_next, '\n', size_t(m_end - m_next)));
    const char *lineEnd = newline != nullptr ? newline : m_end;
    line.assign(m_next, size_t(lineEnd - m_next));
    m_next = newline != nullptr ? newline + 1 : m_end;
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

bool parseLine(const std::string &line, std::string &name, std::string &value)
{
    name.clear();
    value.clear();
    if (line.empty() || line[0] == '#' || line[0] == '!')
        return false;
    size_t start = 0;
    while (start < line.size() && isWhitespace(line[start]))
        ++start;
    if (start == line.size())
        return false;

    // Escaped separators belong to the name; quotes do not protect them.
    size_t separator = line.size();
    size_t backslashes = line[start] == '\\' ? 1 : 0;
    for (size_t i = start + 1; i < line.size(); ++i) {
        char c = line[i];
        if (isNameSeparator(c) && backslashes % 2 == 0) {
            separator = i;
            break;
        }
        backslashes = c == '\\' ? backslashes + 1 : 0;
    }
    name = unquote(unescape(line.substr(start, separator - start)));
    if (name.empty())
        return false;
    if (separator == line.size())
        return true;

    size_t valueStart = separator + 1;
    char c = line[separator];
    if ((isWhitespace(c) || c == ':') && valueStart < line.size() && line[valueStart] == '=')
        ++valueStart;
    if (valueStart < line.size())
        value = decodeEscapes(normalizeWhitespace(line.substr(valueStart)));
    return true;
}

std::string normalizeWhitespace(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    QuoteTracker quotes;
    bool afterFoldedSpace = false;
    for (char c : text) {
        if (!quotes.inQuotes() && isWhitespace(c)) {
            if (!out.empty() && !afterFoldedSpace)
                out += ' ';
            afterFoldedSpace = true;
            quotes.feed(' ');
            continue;
        }
        afterFoldedSpace = false;
        out += c;
        quotes.feed(c);
    }
    if (!out.empty() && isWhitespace(out.back()) && !isEscapedAt(out, out.size() - 1))
        out.pop_back();
    return out;
}

std::string decodeEscapes(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    size_t backslashes = 0;
    for (char c : text) {
        char control = controlForEscapeLetter(c);
        if (control != 0 && backslashes % 2 == 1) {
            out.back() = control;
            backslashes = 0;
            continue;
        }
        backslashes = c == '\\' ? backslashes + 1 : 0;
        out += c;
    }
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
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '$' || quotes.inSingle || quotes.nextIsEscaped()) {
            out += c;
            quotes.feed(c);
            continue;
        }
        size_t length = macroNameLength(text, i + 1);
        out += unquote(lookup(text.substr(i + 1, length)));
        i += length;
        // The reference is gone: what follows is judged as if after a plain byte.
        quotes.feed('$');
    }
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

std::string unescape(const std::string &text)
{
    if (text.find('\\') == std::string::npos)
        return text;
    std::string out;
    out.reserve(text.size());
    // Quote regions are judged on the output, so a quote freed from its
    // backslash opens a region for what follows.
    QuoteTracker quotes;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && !quotes.inQuotes()) {
            if (++i == text.size())
                break;
            c = text[i];
        }
        out += c;
        quotes.feed(c);
    }
    return out;
}

std::string unquote(const std::string &text)
{
    if (text.size() < 2 || (text[0] != '"' && text[0] != '\''))
        return text;
    const char quote = text[0];
    size_t closing = std::string::npos;
    size_t backslashes = 0;
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == quote && backslashes % 2 == 0) {
            closing = i;
            break;
        }
        backslashes = text[i] == '\\' ? backslashes + 1 : 0;
    }
    if (closing != text.size() - 1)
        return text;

    std::string out;
    out.reserve(text.size());
    bool inDouble = false;
    bool inSingle = false;
    backslashes = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inDouble && c == '\\') {
            if (++i == text.size())
                break;
            char control = controlForEscapeLetter(text[i]);
            out += control != 0 ? control : text[i];
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
        out += c;
    }
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
        items.push_back(unquote(unescape(text.substr(pos, end - pos))));
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
