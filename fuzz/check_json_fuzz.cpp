// trailsend-check's string escapes over arbitrary bytes: a JSON string
// literal must be well formed, carry nothing but escapes, printable ASCII and
// valid UTF-8, and give back exactly the input bytes when its escapes and raw
// sequences are read back; the terminal form must carry no control byte.
#include "../cli/check_report.h"

#include <stdint.h>
#include <stdlib.h>

#include <string>

namespace {

// The length of a valid UTF-8 sequence at `at`, worked out from its code
// point (shortest form, no surrogate, at most U+10FFFF), or 0.
size_t ValidSequence(const std::string &text, size_t at)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || lead >= 0xf8 || text.size() - at < length)
        return 0;
    uint32_t point = lead & (0x7f >> length);
    for (size_t i = 1; i < length; i++) {
        const unsigned char c = static_cast<unsigned char>(text[at + i]);
        if ((c & 0xc0) != 0x80)
            return 0;
        point = (point << 6) | (c & 0x3f);
    }
    static const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < shortest[length] || (point >= 0xd800 && point <= 0xdfff) || point > 0x10ffff)
        return 0;
    return length;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::string json = JsonString(input);
    if (json.size() < 2 || json.front() != '"' || json.back() != '"')
        abort();
    const size_t end = json.size() - 1;
    std::string back;
    for (size_t at = 1; at < end;) {
        const unsigned char c = static_cast<unsigned char>(json[at]);
        if (c == '\\') {
            if (at + 1 >= end)
                abort();
            const char escape = json[at + 1];
            const char *plain = "\"\\nrtbf";
            const char *meaning = "\"\\\n\r\t\b\f";
            bool known = false;
            for (int i = 0; plain[i]; i++)
                if (escape == plain[i]) {
                    back += meaning[i];
                    known = true;
                }
            if (known) {
                at += 2;
                continue;
            }
            if (escape != 'u' || at + 6 > end)
                abort();
            int value = 0;
            for (size_t i = at + 2; i < at + 6; i++) {
                const int digit = HexDigit(json[i]);
                if (digit < 0)
                    abort();
                value = value * 16 + digit;
            }
            if (value > 0xff)
                abort();
            back += static_cast<char>(value);
            at += 6;
        } else if (c == '"' || c < 0x20 || c == 0x7f) {
            abort();
        } else if (c < 0x80) {
            back += static_cast<char>(c);
            at++;
        } else {
            const size_t length = ValidSequence(json, at);
            if (length == 0 || at + length > end)
                abort();
            back.append(json, at, length);
            at += length;
        }
    }
    if (back != input)
        abort();
    for (unsigned char c : DisplayString(input))
        if (c < 0x20 || c == 0x7f)
            abort();
    return 0;
}
