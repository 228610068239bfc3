/*
 * The process's own vsnprintf and snprintf: one pass over the format, every
 * character through one output step, all work in small buffers on the stack.
 */
#include "client_common/formatted_output.h"

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>

namespace {

enum : unsigned {
    FLAG_LEFT = 1u << 0,
    FLAG_PLUS = 1u << 1,
    FLAG_SPACE = 1u << 2,
    FLAG_ZERO = 1u << 3,
};

enum class Length { NONE, SHORT, LONG, LONG_LONG, LONG_DOUBLE };

/* "*" with -1 and no precision at all are the same thing. */
const int PRECISION_UNSET = -1;
const int DEFAULT_FIXED_PRECISION = 6;
/* 10^16 still fits the 64-bit mantissa of a long double exactly. */
const int MAX_FIXED_PRECISION = 16;
/* What "%s" shows for a null pointer. */
const char NULL_TEXT[] = "(NULL)";
/* Enough for any 64-bit value in octal. */
const int INTEGER_DIGITS = 22;

struct Conversion {
    unsigned flags = 0;
    int width = 0;
    int precision = PRECISION_UNSET;
    Length length = Length::NONE;
};

/*
 * The one output step: a character is stored while the running count is
 * below the size, and always counted.
 */
class Sink {
public:
    Sink(char *buffer, size_t size) : m_buffer(buffer), m_size(buffer ? size : 0) {}

    void put(char c)
    {
        if (m_count < m_size)
            m_buffer[m_count] = c;
        ++m_count;
    }

    void putRepeated(char c, size_t n)
    {
        if (n == 0)
            return;
        if (m_count < m_size)
            memset(m_buffer + m_count, c, room(n));
        m_count += n;
    }

    void putText(const char *text, size_t n)
    {
        if (n == 0)
            return;
        if (m_count < m_size)
            memcpy(m_buffer + m_count, text, room(n));
        m_count += n;
    }

    size_t count() const { return m_count; }

    void terminate()
    {
        if (m_size > 0)
            m_buffer[m_count < m_size ? m_count : m_size - 1] = '\0';
    }

private:
    size_t room(size_t n) const { return n < m_size - m_count ? n : m_size - m_count; }

    char *m_buffer;
    size_t m_size;
    size_t m_count = 0;
};

const char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

/* Writes the digits of value backwards, ending at end; returns the first. */
char *DecimalDigits(uint64_t value, char *end)
{
    while (value >= 100) {
        const char *pair = DIGIT_PAIRS + 2 * (value % 100);
        value /= 100;
        *--end = pair[1];
        *--end = pair[0];
    }
    if (value >= 10) {
        *--end = DIGIT_PAIRS[2 * value + 1];
        *--end = DIGIT_PAIRS[2 * value];
    } else {
        *--end = static_cast<char>('0' + value);
    }
    return end;
}

char *Digits(uint64_t value, unsigned base, bool upper, char *end)
{
    if (base == 10)
        return DecimalDigits(value, end);
    const char *symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    const unsigned shift = base == 16 ? 4 : 3;
    do {
        *--end = symbols[value & (base - 1)];
        value >>= shift;
    } while (value != 0);
    return end;
}

char SignFor(bool negative, unsigned flags)
{
    if (negative)
        return '-';
    if (flags & FLAG_PLUS)
        return '+';
    if (flags & FLAG_SPACE)
        return ' ';
    return '\0';
}

size_t Excess(long long available, long long used)
{
    return available > used ? static_cast<size_t>(available - used) : 0;
}

void FormatInteger(Sink &out, const Conversion &conv, uint64_t magnitude, char sign, unsigned base,
                   bool upper)
{
    char buffer[INTEGER_DIGITS];
    char *end = buffer + sizeof buffer;
    const char *digits = Digits(magnitude, base, upper, end);
    const long long count = end - digits;
    const long long precision = conv.precision > 0 ? conv.precision : 0;

    size_t zeros = Excess(precision, count);
    size_t spaces = Excess(conv.width, (precision > count ? precision : count) + (sign ? 1 : 0));
    /* The zeros take the place of all the spaces, so that a precision does
     * not shorten a zero-padded field below its width. */
    if (conv.flags & FLAG_ZERO) {
        zeros += spaces;
        spaces = 0;
    }
    const bool left = (conv.flags & FLAG_LEFT) != 0;
    if (!left)
        out.putRepeated(' ', spaces);
    if (sign)
        out.put(sign);
    out.putRepeated('0', zeros);
    out.putText(digits, static_cast<size_t>(count));
    if (left)
        out.putRepeated(' ', spaces);
}

void FormatText(Sink &out, const Conversion &conv, const char *text)
{
    if (!text)
        text = NULL_TEXT;
    const long long width = conv.width;
    long long limit;
    size_t length;
    if (conv.precision == PRECISION_UNSET) {
        length = strlen(text);
        limit = static_cast<long long>(length);
        if (limit < width)
            limit = width;
    } else {
        limit = conv.precision;
        if (width > 0 && limit >= 0 && limit < width)
            limit = width;
        if (limit <= 0)
            return;
        /* Nothing past the limit is output, and the padding only asks whether
         * the text is shorter than the width (never above the limit): a
         * precision may bound an array that has no NUL. */
        const size_t bound = static_cast<size_t>(limit);
        length = 0;
        while (length < bound && text[length] != '\0')
            length++;
    }

    size_t remaining = static_cast<size_t>(limit);
    const size_t pad = Excess(width, static_cast<long long>(length));
    const bool left = (conv.flags & FLAG_LEFT) != 0;
    if (!left) {
        const size_t n = pad < remaining ? pad : remaining;
        out.putRepeated(' ', n);
        remaining -= n;
    }
    const size_t n = length < remaining ? length : remaining;
    out.putText(text, n);
    remaining -= n;
    if (left)
        out.putRepeated(' ', pad < remaining ? pad : remaining);
}

/*
 * Lays out one fixed-point field. The integer digits come from the caller as
 * a writer so that values of any size share the padding rules; pad counts the
 * decimal point only when there is one.
 */
template <typename WriteInteger>
void LayOutFixed(Sink &out, const Conversion &conv, char sign, size_t integerDigits,
                 WriteInteger writeInteger, int precision, const char *fraction)
{
    const long long used = static_cast<long long>(integerDigits) + (precision > 0 ? precision + 1 : 0) +
                           (sign ? 1 : 0);
    const size_t pad = Excess(conv.width, used);
    const bool left = (conv.flags & FLAG_LEFT) != 0;
    if (!left && (conv.flags & FLAG_ZERO)) {
        if (sign)
            out.put(sign);
        out.putRepeated('0', pad);
    } else {
        if (!left)
            out.putRepeated(' ', pad);
        if (sign)
            out.put(sign);
    }
    writeInteger();
    if (precision > 0) {
        out.put('.');
        if (fraction)
            out.putText(fraction, static_cast<size_t>(precision));
        else
            out.putRepeated('0', static_cast<size_t>(precision));
    }
    if (left)
        out.putRepeated(' ', pad);
}

/* Infinities and NaN: the word, with the sign and width rules of numbers; a
 * "0" flag pads with spaces, as leading zeros would make them look numeric. */
void FormatNonNumber(Sink &out, const Conversion &conv, char sign, const char *word)
{
    const size_t length = strlen(word);
    const size_t pad = Excess(conv.width, static_cast<long long>(length) + (sign ? 1 : 0));
    const bool left = (conv.flags & FLAG_LEFT) != 0;
    if (!left)
        out.putRepeated(' ', pad);
    if (sign)
        out.put(sign);
    out.putText(word, length);
    if (left)
        out.putRepeated(' ', pad);
}

/* Decimal limbs of 10^9 enough for the largest long double (4933 digits). */
const uint32_t LIMB_BASE = 1000000000u;
const int LIMB_DIGITS = 9;
const size_t LARGE_LIMBS = 552;

/*
 * Values from 2^63 up have no fractional part in a double or a long double;
 * they are printed with their exact integer digits, worked out in decimal
 * limbs from the binary mantissa and exponent. Kept apart so that the common
 * path does not carry the 2 KB of limbs on its stack.
 */
__attribute__((noinline)) void FormatLargeFixed(Sink &out, const Conversion &conv, char sign,
                                                long double magnitude, int precision)
{
    int exponent = 0;
    while (magnitude >= 0x1p96L) {
        magnitude *= 0x1p-32L;
        exponent += 32;
    }
    while (magnitude >= 0x1p64L) {
        magnitude *= 0.5L;
        ++exponent;
    }
    /* Scaling by powers of two is exact, and a value in [2^63, 2^64) is the
     * whole 64-bit mantissa. */
    uint64_t mantissa = static_cast<uint64_t>(magnitude);

    uint32_t limbs[LARGE_LIMBS];
    size_t used = 0;
    do {
        limbs[used++] = static_cast<uint32_t>(mantissa % LIMB_BASE);
        mantissa /= LIMB_BASE;
    } while (mantissa != 0);
    while (exponent > 0) {
        const int shift = exponent < 28 ? exponent : 28;
        exponent -= shift;
        uint64_t carry = 0;
        for (size_t i = 0; i < used; ++i) {
            const uint64_t value = (static_cast<uint64_t>(limbs[i]) << shift) + carry;
            limbs[i] = static_cast<uint32_t>(value % LIMB_BASE);
            carry = value / LIMB_BASE;
        }
        while (carry != 0 && used < LARGE_LIMBS) {
            limbs[used++] = static_cast<uint32_t>(carry % LIMB_BASE);
            carry /= LIMB_BASE;
        }
    }

    char top[LIMB_DIGITS];
    char *topEnd = top + sizeof top;
    const char *topDigits = DecimalDigits(limbs[used - 1], topEnd);
    const size_t topCount = static_cast<size_t>(topEnd - topDigits);
    LayOutFixed(out, conv, sign, topCount + (used - 1) * LIMB_DIGITS, [&] {
        out.putText(topDigits, topCount);
        for (size_t i = used - 1; i-- > 0;) {
            char limb[LIMB_DIGITS];
            char *limbEnd = limb + sizeof limb;
            char *first = DecimalDigits(limbs[i], limbEnd);
            while (first > limb)
                *--first = '0';
            out.putText(limb, sizeof limb);
        }
    }, precision, nullptr);
}

/*
 * The integer part of a non-negative long double below 2^63. A plain cast
 * switches the x87 rounding mode to truncation and back, which costs more
 * than the rest of a conversion; below 2^62, adding 2^63 instead leaves the
 * nearest integer (whatever the rounding mode) in the 64-bit significand, and
 * one comparison turns it into the integer part.
 */
uint64_t IntegerPart(long double value)
{
#if __LDBL_MANT_DIG__ == 64 && (defined(__x86_64__) || defined(__i386__))
    if (value < 0x1p62L) {
        const long double shifted = value + 0x1p63L;
        uint64_t significand;
        memcpy(&significand, &shifted, sizeof significand);
        uint64_t integer = significand - (UINT64_C(1) << 63);
        if (static_cast<long double>(static_cast<int64_t>(integer)) > value)
            --integer;
        return integer;
    }
#endif
    return static_cast<uint64_t>(value);
}

void FormatFixed(Sink &out, const Conversion &conv, long double value)
{
    int precision = conv.precision;
    if (precision < 0)
        precision = DEFAULT_FIXED_PRECISION;
    else if (precision > MAX_FIXED_PRECISION)
        precision = MAX_FIXED_PRECISION;

    /* A negative zero compares equal to zero and prints without "-". */
    const char sign = SignFor(value < 0, conv.flags);
    const long double magnitude = value < 0 ? -value : value;
    if (magnitude != magnitude) {
        FormatNonNumber(out, conv, sign, "nan");
        return;
    }
    if (magnitude > __LDBL_MAX__) {
        FormatNonNumber(out, conv, sign, "inf");
        return;
    }
    if (magnitude >= 0x1p63L) {
        FormatLargeFixed(out, conv, sign, magnitude, precision);
        return;
    }

    uint64_t integer = IntegerPart(magnitude);
    uint64_t limit = 1;
    for (int i = 0; i < precision; ++i)
        limit *= 10;
    const long double scale = static_cast<long double>(limit);
    /* Both the difference and the scale are exact; the product is rounded
     * once, in long double, and then rounded half up. */
    const long double scaled = scale * (magnitude - static_cast<long double>(integer));
    uint64_t fraction = IntegerPart(scaled);
    if (scaled - static_cast<long double>(fraction) >= 0.5L)
        ++fraction;
    if (fraction >= limit) {
        ++integer;
        fraction -= limit;
    }

    char integerBuffer[INTEGER_DIGITS];
    char *integerEnd = integerBuffer + sizeof integerBuffer;
    const char *integerDigits = DecimalDigits(integer, integerEnd);
    const size_t integerCount = static_cast<size_t>(integerEnd - integerDigits);

    char fractionBuffer[MAX_FIXED_PRECISION];
    char *fractionEnd = fractionBuffer + precision;
    char *fractionDigits = fraction != 0 ? DecimalDigits(fraction, fractionEnd) : fractionEnd;
    while (fractionDigits > fractionBuffer)
        *--fractionDigits = '0';

    LayOutFixed(out, conv, sign, integerCount, [&] { out.putText(integerDigits, integerCount); },
                precision, fractionBuffer);
}

/* Width and precision digits saturate instead of overflowing. */
int Accumulate(int value, char digit)
{
    const int d = digit - '0';
    return value > (INT_MAX - d) / 10 ? INT_MAX : value * 10 + d;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

void Format(Sink &out, const char *format, va_list *args)
{
    for (;;) {
        const char *text = format;
        format = strchrnul(format, '%');
        out.putText(text, static_cast<size_t>(format - text));
        if (*format == '\0')
            return;
        ++format;

        /* The conversions most formats use, bare: no flag, width, precision
         * or length to read, nothing to pad. */
        if (*format == 's') {
            ++format;
            const char *argument = va_arg(*args, const char *);
            if (!argument)
                argument = NULL_TEXT;
            out.putText(argument, strlen(argument));
            continue;
        }
        if (*format == 'd') {
            ++format;
            const int value = va_arg(*args, int);
            char buffer[INTEGER_DIGITS];
            char *end = buffer + sizeof buffer;
            const char *digits =
                DecimalDigits(value < 0 ? 0 - static_cast<uint64_t>(static_cast<int64_t>(value)) : value, end);
            if (value < 0)
                out.put('-');
            out.putText(digits, static_cast<size_t>(end - digits));
            continue;
        }

        Conversion conv;
        for (;; ++format) {
            if (*format == '-')
                conv.flags |= FLAG_LEFT;
            else if (*format == '+')
                conv.flags |= FLAG_PLUS;
            else if (*format == ' ')
                conv.flags |= FLAG_SPACE;
            else if (*format == '0')
                conv.flags |= FLAG_ZERO;
            else if (*format != '#')
                break;
        }

        for (; IsDigit(*format); ++format)
            conv.width = Accumulate(conv.width, *format);
        if (*format == '*') {
            conv.width = va_arg(*args, int);
            ++format;
        }

        if (*format == '.') {
            ++format;
            conv.precision = 0;
            for (; IsDigit(*format); ++format)
                conv.precision = Accumulate(conv.precision, *format);
            if (*format == '*') {
                conv.precision = va_arg(*args, int);
                ++format;
            }
        }

        if (*format == 'h') {
            conv.length = Length::SHORT;
            ++format;
        } else if (*format == 'l') {
            conv.length = Length::LONG;
            ++format;
            if (*format == 'l') {
                conv.length = Length::LONG_LONG;
                ++format;
            }
        } else if (*format == 'L') {
            conv.length = Length::LONG_DOUBLE;
            ++format;
        }

        const char conversion = *format;
        if (conversion == '\0')
            return;
        ++format;
        const bool wide = conv.length == Length::LONG || conv.length == Length::LONG_LONG;
        switch (conversion) {
        case 'd':
        case 'i': {
            const int64_t value = wide ? va_arg(*args, long) : va_arg(*args, int);
            const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            FormatInteger(out, conv, magnitude, SignFor(value < 0, conv.flags), 10, false);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            const uint64_t value = wide ? va_arg(*args, unsigned long) : va_arg(*args, unsigned int);
            const unsigned base = conversion == 'u' ? 10 : conversion == 'o' ? 8 : 16;
            FormatInteger(out, conv, value, '\0', base, conversion == 'X');
            break;
        }
        case 'p': {
            const int64_t value = static_cast<int64_t>(reinterpret_cast<intptr_t>(va_arg(*args, void *)));
            const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            FormatInteger(out, conv, magnitude, SignFor(value < 0, conv.flags), 16, false);
            break;
        }
        case 'c':
            out.put(static_cast<char>(va_arg(*args, int)));
            break;
        case 's':
            FormatText(out, conv, va_arg(*args, const char *));
            break;
        case 'f':
        case 'e':
        case 'g':
        case 'E':
        case 'G':
            if (conv.length == Length::LONG_DOUBLE)
                FormatFixed(out, conv, va_arg(*args, long double));
            else
                FormatFixed(out, conv, va_arg(*args, double));
            break;
        case 'n':
            if (conv.length == Length::SHORT)
                *va_arg(*args, short *) = static_cast<short>(out.count());
            else if (wide)
                *va_arg(*args, long *) = static_cast<long>(out.count());
            else
                *va_arg(*args, int *) = static_cast<int>(out.count());
            break;
        case '%':
            out.put('%');
            break;
        case 'w':
            if (*format != '\0')
                ++format;
            break;
        default:
            break;
        }
    }
}

int FormatToBuffer(char *buffer, size_t size, const char *format, va_list args)
{
    Sink out(buffer, size);
    if (!format) {
        out.terminate();
        errno = EINVAL;
        return -1;
    }
    va_list copy;
    va_copy(copy, args);
    Format(out, format, &copy);
    va_end(copy);
    out.terminate();
    if (out.count() > INT_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    return static_cast<int>(out.count());
}

} // namespace

/*
 * Every program's link names this symbol with -u. Under the sanitizers the
 * runtime, linked ahead of our libraries, already defines snprintf and
 * vsnprintf as weak interceptors, so asking for those names alone no longer
 * pulls this unit out of the archive; once it is pulled, its strong
 * definitions win over the weak ones.
 */
extern "C" void FormattedOutputLinked(void) {}

extern "C" int vsnprintf(char *buffer, size_t size, const char *format, va_list args) noexcept
{
    return FormatToBuffer(buffer, size, format, args);
}

extern "C" int snprintf(char *buffer, size_t size, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    const int result = FormatToBuffer(buffer, size, format, args);
    va_end(args);
    return result;
}
