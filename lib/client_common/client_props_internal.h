// Character rules shared by the configuration reader and its accessors; not
// part of the client library's interface.
#ifndef CLIENT_COMMON_CLIENT_PROPS_INTERNAL_H
#define CLIENT_COMMON_CLIENT_PROPS_INTERNAL_H

namespace clientprops {


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

// A class of bytes as a table, one look-up a byte. The readers keep, for
// each of their states, the class of bytes that end a run of ordinary bytes,
// so that a run is found quickly and handled at once. The entries are bytes,
// not bools, so that a sanitizer build has no value check to make on them.
struct ByteClass {
    unsigned char member[256]; // 1 for a member
};

constexpr ByteClass ClassOf(const char *bytes)
{
    ByteClass byteClass{};
    for (; *bytes != '\0'; bytes++)
        byteClass.member[static_cast<unsigned char>(*bytes)] = 1;
    return byteClass;
}

// In a NUL-terminated text the terminator ends every run too.
constexpr ByteClass AndAtNul(ByteClass byteClass)
{
    byteClass.member[0] = 1;
    return byteClass;
}

constexpr ByteClass kLineEndBytes = ClassOf("\n\r\f");
constexpr ByteClass kBlankBytes = ClassOf(" \t\n\r\f");
// The space class of the POSIX locale, independent of the process locale.
constexpr ByteClass kWhiteSpaceBytes = ClassOf(" \t\n\v\f\r");

// Tests of a byte (0 to 255) or of the end of the text (-1).
inline bool IsMember(const ByteClass &byteClass, int c)
{
    return static_cast<unsigned>(c) < 256 && byteClass.member[c] != 0;
}
inline bool IsLineEnd(int c) { return IsMember(kLineEndBytes, c); }
inline bool IsBlank(int c) { return IsMember(kBlankBytes, c); }
inline bool IsWhiteSpace(int c) { return IsMember(kWhiteSpaceBytes, c); }

// The bytes that separate the items of a list: commas and blanks.
constexpr ByteClass kListSeparators = ClassOf(", \t\n\r\f");

}  // namespace clientprops

#endif
