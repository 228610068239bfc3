// Character rules shared by the configuration reader and its accessors; not
// part of the client library's interface.
#ifndef CLIENT_COMMON_CLIENT_PROPS_INTERNAL_H
#define CLIENT_COMMON_CLIENT_PROPS_INTERNAL_H

namespace clientprops {

inline bool IsLineEnd(int c) { return c == '\n' || c == '\r' || c == '\f'; }
inline bool IsBlank(int c) { return c == ' ' || c == '\t' || IsLineEnd(c); }
// The space class of the POSIX locale, independent of the process locale.
inline bool IsWhiteSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The byte a backslash escape stands for: the letters f n r t v name their
// control characters, any other byte stands for itself.
inline int DecodeEscape(int c)
{
    switch (c) {
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'v': return '\v';
    default: return c;
    }
}

} // namespace clientprops

#endif
