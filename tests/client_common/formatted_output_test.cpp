#include "client_common/formatted_output.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>

extern "C" {
// tests/client_common/formatted_output_peer.c, a shared object.
int PeerFormat(char *buffer, size_t size, const char *format, ...);
int PeerFormatShortText(char *buffer, size_t size, const char *text);
}

namespace {

using SnprintfFunction = int (*)(char *, size_t, const char *, ...);

std::string Format(const char *format, ...)
{
    char buffer[8192];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    EXPECT_GE(length, 0) << format;
    EXPECT_LT(length, static_cast<int>(sizeof buffer)) << format;
    EXPECT_EQ(strlen(buffer), static_cast<size_t>(length)) << format;
    return buffer;
}

// Our vsnprintf into a caller's buffer, out of reach of the compiler's
// format checks.
int FormatInto(char *buffer, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(buffer, size, format, args);
    va_end(args);
    return length;
}

// The C library's own snprintf, found past the program's definition.
SnprintfFunction CLibrarySnprintf()
{
    return reinterpret_cast<SnprintfFunction>(dlsym(RTLD_NEXT, "snprintf"));
}

TEST(FormattedOutput, ReturnsFullLengthAndStoresWhatFits)
{
    char buffer[8];
    memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(snprintf(buffer, 4, "%d", 12345), 5);
    EXPECT_STREQ(buffer, "123");
    EXPECT_EQ(buffer[4], 'X');

    memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(snprintf(buffer, 0, "%d", 12345), 5);
    EXPECT_EQ(buffer[0], 'X');

    EXPECT_EQ(snprintf(buffer, 1, "%s", "abc"), 3);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(snprintf(buffer, 6, "%-8s|", "ab"), 9);
    EXPECT_STREQ(buffer, "ab   ");
    EXPECT_EQ(snprintf(buffer, sizeof buffer, "ab%c", '\0'), 3);
    EXPECT_EQ(memcmp(buffer, "ab\0", 4), 0);

    EXPECT_EQ(snprintf(nullptr, 0, "%d", 12345), 5);
    // A null buffer stores nothing whatever the size says.
    EXPECT_EQ(snprintf(nullptr, 100, "%d", 12345), 5);
}

TEST(FormattedOutput, RejectsNullFormatWithEmptyText)
{
    char buffer[4] = "abc";
    errno = 0;
    EXPECT_EQ(snprintf(buffer, sizeof buffer, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_STREQ(buffer, "");
}

TEST(FormattedOutput, ReportsOverflowOfTheIntResultAfterStoringWhatFits)
{
    char buffer[4];
    // Width digits saturate at INT_MAX; the padding is counted, not stored.
    EXPECT_EQ(FormatInto(buffer, sizeof buffer, "%99999999999d", 1), INT_MAX);
    EXPECT_STREQ(buffer, "   ");
    errno = 0;
    EXPECT_EQ(FormatInto(buffer, sizeof buffer, "ab%99999999999d", 1), -1);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_STREQ(buffer, "ab ");
}

TEST(FormattedOutput, FormatsIntegersWithFlagsWidthAndPrecision)
{
    const struct {
        const char *format;
        int value;
        const char *expected;
    } cases[] = {
        {"%d", 0, "0"},
        {"%d", INT_MIN, "-2147483648"},
        {"%d", INT_MAX, "2147483647"},
        {"%d", -9, "-9"},
        {"%i", -17, "-17"},
        {"%05d", -42, "-0042"},
        {"%-05d", 42, "00042"},
        {"%+d", 7, "+7"},
        {"% d", 7, " 7"},
        {"%+ d", 7, "+7"},
        {"%+d", -7, "-7"},
        {"%.3d", 7, "007"},
        {"%.0d", 0, "0"},
        {"%.d", 0, "0"},
        {"%5d", -42, "  -42"},
        {"%-5d|", -42, "-42  |"},
        {"%5.3d", -7, " -007"},
        {"%-6.3d|", 7, "007   |"},
        // With "0", width and precision the zeros fill the whole width.
        {"%06.3d", 7, "000007"},
        {"%+06.3d", 7, "+00007"},
        {"%-06.3d|", 7, "000007|"},
        {"%2.4d", 7, "0007"},
        {"%x", 255, "ff"},
        {"%X", 255, "FF"},
        {"%#x", 255, "ff"},
        {"%#o", 8, "10"},
        {"%o", 8, "10"},
        {"%x", -1, "ffffffff"},
        {"%u", -1, "4294967295"},
        {"%+u", 5, "5"},
        {"% x", 5, "5"},
        {"%08X", 0xbeef, "0000BEEF"},
        {"%hd", 70000, "70000"},
        {"%hu", 70000, "70000"},
        {"%Ld", -3, "-3"},
        {"%##--++  00d", 3, "+3"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Format(c.format, c.value), c.expected) << c.format;
}

TEST(FormattedOutput, Formats64BitIntegersWithLengthL)
{
    const struct {
        const char *format;
        uint64_t value;
        const char *expected;
    } cases[] = {
        {"%lu", UINT64_MAX, "18446744073709551615"},
        {"%llu", UINT64_MAX, "18446744073709551615"},
        {"%ld", static_cast<uint64_t>(INT64_MIN), "-9223372036854775808"},
        {"%lld", static_cast<uint64_t>(INT64_MAX), "9223372036854775807"},
        {"%lx", UINT64_MAX, "ffffffffffffffff"},
        {"%lo", UINT64_MAX, "1777777777777777777777"},
        {"%30lo", UINT64_MAX, "        1777777777777777777777"},
        {"%ld", 4294967296u, "4294967296"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Format(c.format, c.value), c.expected) << c.format;
}

TEST(FormattedOutput, TakesWidthAndPrecisionFromArguments)
{
    EXPECT_EQ(Format("%*d|", 5, 42), "   42|");
    // A negative width means no padding, not left-justification.
    EXPECT_EQ(Format("%*d|", -5, 42), "42|");
    EXPECT_EQ(Format("%-*d|", 4, 1), "1   |");
    EXPECT_EQ(Format("%.*d", 3, 7), "007");
    EXPECT_EQ(Format("%.*d", -3, 7), "7");
    EXPECT_EQ(Format("%*.*d|", 6, 3, -7), "  -007|");
    EXPECT_EQ(Format("%*s|", 4, "ab"), "  ab|");
    EXPECT_EQ(Format("%*s|", -4, "ab"), "ab|");
    EXPECT_EQ(Format("%.*f", -3, 1.5), "1.500000");
    EXPECT_EQ(Format("%*.*f|", 7, 1, 2.25), "    2.3|");
}

TEST(FormattedOutput, PrintsPointersAsBareSignedHexadecimal)
{
    EXPECT_EQ(Format("%p", reinterpret_cast<void *>(0x1234abcdUL)), "1234abcd");
    EXPECT_EQ(Format("%p", nullptr), "0");
    EXPECT_EQ(Format("%10p|", reinterpret_cast<void *>(0xffUL)), "        ff|");
    EXPECT_EQ(Format("%+p", reinterpret_cast<void *>(0xffUL)), "+ff");
    EXPECT_EQ(Format("%p", reinterpret_cast<void *>(-1L)), "-1");
}

TEST(FormattedOutput, FormatsTextWithWidthOverridingSmallerPrecision)
{
    const struct {
        const char *format;
        const char *text;
        const char *expected;
    } cases[] = {
        {"%s", "abc", "abc"},
        {"%s", nullptr, "(NULL)"},
        {"%8s|", nullptr, "  (NULL)|"},
        {"%.3s", nullptr, "(NU"},
        {"%.2s", "abcd", "ab"},
        {"%5.2s", "abc", "  abc"},
        {"%-5.2s|", "abc", "abc  |"},
        {"%3.2s|", "abcdef", "abc|"},
        {"%-4s|", "ab", "ab  |"},
        {"%4s|", "ab", "  ab|"},
        {"%04s|", "ab", "  ab|"},
        {"%2s|", "abcdef", "abcdef|"},
        {"%.0s|", "abc", "|"},
        {"%.s|", "abc", "|"},
        {"%5.0s|", "abc", "  abc|"},
        {"%.10s|", "abc", "abc|"},
        {"%3.5s|", "abcdefg", "abcde|"},
        {"%s|", "", "|"},
        {"%3s|", "", "   |"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Format(c.format, c.text), c.expected) << c.format;
}

TEST(FormattedOutput, PrintsNothingForNegativePrecisionOtherThanMinusOne)
{
    EXPECT_EQ(Format("[%.*s]", -2, "abc"), "[]");
    EXPECT_EQ(Format("[%5.*s]", -2, "abc"), "[]");
    EXPECT_EQ(Format("[%.*s]", -1, "abc"), "[abc]");
}

TEST(FormattedOutput, ReadsNoFurtherThanThePrecisionOfText)
{
    // No NUL in the array: a precision bounds what is read.
    const char letters[3] = {'a', 'b', 'c'};
    EXPECT_EQ(Format("%.3s|", letters), "abc|");
    EXPECT_EQ(Format("%.2s|", letters), "ab|");
    EXPECT_EQ(Format("%-3.3s|", letters), "abc|");
}

TEST(FormattedOutput, PrintsCharacterAloneIgnoringWidthAndFlags)
{
    EXPECT_EQ(Format("%c", 'A'), "A");
    EXPECT_EQ(Format("%5c|", 'A'), "A|");
    EXPECT_EQ(Format("%-05.3c|", 'A'), "A|");
    EXPECT_EQ(Format("%c", 0x141), "A");
}

TEST(FormattedOutput, FormatsFixedPointNumbers)
{
    const struct {
        const char *format;
        double value;
        const char *expected;
    } cases[] = {
        {"%f", 1.5, "1.500000"},
        {"%f", 0.0, "0.000000"},
        {"%f", -0.0, "0.000000"},
        {"%+f", -0.0, "+0.000000"},
        {"%.2f", 2.675, "2.67"},
        {"%.2f", 1.005, "1.00"},
        {"%.0f", 2.5, "3"},
        {"%.0f", 0.5, "1"},
        {"%.0f", 0.49, "0"},
        {"%.1f", 0.25, "0.3"},
        {"%.1f", 0.05, "0.1"},
        {"%.2f", 0.999, "1.00"},
        {"%.3f", 9.9996, "10.000"},
        {"%.2f", 0.001, "0.00"},
        {"%.3f", 0.05, "0.050"},
        {"%.20f", 0.1, "0.1000000000000000"},
        {"%.16f", 0.5, "0.5000000000000000"},
        {"%e", 1234.5, "1234.500000"},
        {"%E", 1234.5, "1234.500000"},
        {"%g", 1234.5, "1234.500000"},
        {"%G", 0.0001, "0.000100"},
        {"%lf", 1.25, "1.250000"},
        {"%08.2f", -3.14159, "-0003.14"},
        {"%8.2f|", -1.5, "   -1.50|"},
        {"%-8.2f|", 1.5, "1.50    |"},
        {"%-08.2f|", 1.5, "1.50    |"},
        {"%+.1f", 2.0, "+2.0"},
        {"% .1f", 2.0, " 2.0"},
        {"%.2f", -0.001, "-0.00"},
        // The field has its width also without a decimal point.
        {"%5.0f|", 3.0, "    3|"},
        {"%05.0f|", -3.0, "-0003|"},
        {"%-5.0f|", 3.0, "3    |"},
        {"%.0f", 9223372036854774784.0, "9223372036854774784"},
        {"%f", 123456789.125, "123456789.125000"},
        {"%.6f", 1e-7, "0.000000"},
        {"%.6f", 6e-7, "0.000001"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Format(c.format, c.value), c.expected) << c.format << " of " << c.value;
}

TEST(FormattedOutput, FormatsLongDoubleWithLengthL)
{
    EXPECT_EQ(Format("%Lf", 1.5L), "1.500000");
    EXPECT_EQ(Format("%.1Lf", 0.25L), "0.3");
    EXPECT_EQ(Format("%.0Lf", 18446744073709551615.0L), "18446744073709551615");
    EXPECT_EQ(Format("%.2Lf|%d", -2.5L, 7), "-2.50|7");
}

TEST(FormattedOutput, PrintsExactIntegerDigitsOfLargeValues)
{
    const struct {
        const char *format;
        double value;
        const char *expected;
    } cases[] = {
        {"%.0f", 9223372036854775808.0, "9223372036854775808"},
        {"%f", 1e20, "100000000000000000000.000000"},
        {"%.2f", -1e20, "-100000000000000000000.00"},
        {"%.0f", 0x1p200, "1606938044258990275541962092341162602522202993782792835301376"},
        {"%.0f", 1e119,
         "999999999999999944167552472549333812749728703801900068242320356076379856227603110044119496"
         "04741731366073618283536318464"},
        {"%.0f", 1.7976931348623157e308,
         "179769313486231570814527423731704356798070567525844996598917476803157260780028538760589558"
         "632766878171540458953514382464234321326889464182768467546703537516986049910576551282076245"
         "490090389328944075868508455133942304583236903222948165808559332123348274797826204144723168"
         "738177180919299881250404026184124858368"},
        {"%24.1f|", 1e20, " 100000000000000000000.0|"},
        {"%026.1f|", -1e20, "-00100000000000000000000.0|"},
        {"%-25.1f|", 1e20, "100000000000000000000.0  |"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Format(c.format, c.value), c.expected) << c.format << " of " << c.value;
}

TEST(FormattedOutput, PrintsExactIntegerDigitsOfTheLargestLongDouble)
{
    // The C library prints the exact value of a binary number as well.
    char expected[5000];
    const int expectedLength = CLibrarySnprintf()(expected, sizeof expected, "%.3Lf", __LDBL_MAX__);
    ASSERT_GT(expectedLength, 4930);
    EXPECT_EQ(Format("%.3Lf", __LDBL_MAX__), expected);
    EXPECT_EQ(Format("%.3Lf", -__LDBL_MAX__), std::string("-") + expected);
}

TEST(FormattedOutput, PrintsInfinitiesAndNanAsWords)
{
    const struct {
        const char *format;
        double value;
        const char *expected;
    } cases[] = {
        {"%f", HUGE_VAL, "inf"},
        {"%f", -HUGE_VAL, "-inf"},
        {"%f", NAN, "nan"},
        {"%f", -NAN, "nan"},
        {"%E", HUGE_VAL, "inf"},
        {"%.2f", HUGE_VAL, "inf"},
        {"%6f|", HUGE_VAL, "   inf|"},
        {"%-6f|", -HUGE_VAL, "-inf  |"},
        {"%06f|", -HUGE_VAL, "  -inf|"},
        {"%+f", HUGE_VAL, "+inf"},
        {"% f", NAN, " nan"},
        {"%5.1f|", NAN, "  nan|"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Format(c.format, c.value), c.expected) << c.format << " of " << c.value;
    EXPECT_EQ(Format("%Lf", -HUGE_VALL), "-inf");
}

TEST(FormattedOutput, StoresCountSoFarForN)
{
    int asInt = -1;
    short asShort = -1;
    long asLong = -1;
    EXPECT_EQ(Format("ab%ncd%hnef%lng", &asInt, &asShort, &asLong), "abcdefg");
    EXPECT_EQ(asInt, 2);
    EXPECT_EQ(asShort, 4);
    EXPECT_EQ(asLong, 6);

    // The count runs on past the end of the buffer.
    char buffer[2];
    EXPECT_EQ(snprintf(buffer, sizeof buffer, "abcd%n", &asInt), 4);
    EXPECT_EQ(asInt, 4);
}

TEST(FormattedOutput, SkipsUnknownConversionsWithoutReadingArguments)
{
    const struct {
        const char *format;
        const char *expected;
    } cases[] = {
        {"%zu|%d", "u|7"},
        {"%jd|%d", "d|7"},
        {"%hhd|%d", "d|7"},
        {"a%wdb%d", "ab7"},
        {"%w%d|%d", "d|7"},
        {"%5w|%d", "7"},
        {"%q%d", "7"},
        {"%F%d", "7"},
        {"%%%d", "%7"},
        {"%5%%d", "%7"},
        {"%-+ #0%%d", "%7"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Format(c.format, 7), c.expected) << c.format;
}

TEST(FormattedOutput, StopsAtTheEndOfTheFormatInEveryState)
{
    const char *formats[] = {"ab%", "ab%-", "ab%5", "ab%5.", "ab%5.3", "ab%l", "ab%ll", "ab%h", "ab%L", "ab%w"};
    for (const char *format : formats) {
        // Each format is copied to the end of a buffer of its own size, so
        // reading past its NUL is a fault the address sanitizer reports.
        const size_t size = strlen(format) + 1;
        std::unique_ptr<char[]> exact(new char[size]);
        memcpy(exact.get(), format, size);
        EXPECT_EQ(Format(exact.get(), 1), "ab") << format;
    }
}

// --- The programs' own definitions serve the whole process ---------------

TEST(FormattedOutputExport, DynamicLookupFindsTheProgramsDefinition)
{
    void *found = dlsym(RTLD_DEFAULT, "snprintf");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found, reinterpret_cast<void *>(&snprintf));
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "vsnprintf"), reinterpret_cast<void *>(&vsnprintf));

    Dl_info info{};
    ASSERT_NE(dladdr(found, &info), 0);
    EXPECT_EQ(strstr(info.dli_fname, "libc.so"), nullptr) << info.dli_fname;

    char buffer[16];
    EXPECT_EQ(reinterpret_cast<SnprintfFunction>(found)(buffer, sizeof buffer, "%5.2s|%s", "abc", nullptr), 12);
    EXPECT_STREQ(buffer, "  abc|(NULL)");
}

TEST(FormattedOutputExport, SharedLibraryCallsReachTheProgramsFormatter)
{
    char buffer[32];
    EXPECT_EQ(PeerFormatShortText(buffer, sizeof buffer, "abc"), 5);
    EXPECT_STREQ(buffer, "  abc");
    EXPECT_EQ(PeerFormat(buffer, sizeof buffer, "%-05d|%s|%zu", 42, nullptr), 14);
    EXPECT_STREQ(buffer, "00042|(NULL)|u");
}

TEST(FormattedOutputExport, OwnCallSitesReachTheProgramsFormatter)
{
    char ours[32];
    char theirs[32];
    // Literal formats, as our code writes them: a builtin or a fortified
    // wrapper would hand these to the C library, which prints them otherwise.
    EXPECT_EQ(snprintf(ours, sizeof ours, "%5.2s", "abc"), 5);
    EXPECT_STREQ(ours, "  abc");
    ASSERT_NE(CLibrarySnprintf(), nullptr);
    CLibrarySnprintf()(theirs, sizeof theirs, "%5.2s", "abc");
    EXPECT_STRNE(ours, theirs);

    const char *volatile nothing = nullptr;
    EXPECT_EQ(snprintf(ours, sizeof ours, "%s", nothing), 6);
    EXPECT_STREQ(ours, "(NULL)");
    CLibrarySnprintf()(theirs, sizeof theirs, "%s", nothing);
    EXPECT_STRNE(ours, theirs);
}

} // namespace
