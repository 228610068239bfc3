// Our vsnprintf against the C library's, found past the program's own
// definition with dlsym(RTLD_NEXT), on the formats where the two must agree:
// "d i u o x X" with the flags "- + space 0" (never "0" together with "-" or
// a precision), no "#", no length but "l" and "ll", no precision 0 with the
// value 0, widths from digits or a non-negative "*"; "%s" of non-null text
// with no precision or one at least the width; "%c" bare; "%%". Every buffer
// size from 0 up is tried, so truncation and the result must agree as well.
//
// The first byte may instead select a run of our formatter alone on an
// arbitrary short format, with arguments that are safe for every conversion,
// for the sanitizers to watch.
#include "client_common/formatted_output.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <string>

namespace {

using VsnprintfFunction = int (*)(char *, size_t, const char *, va_list);

VsnprintfFunction CLibraryVsnprintf()
{
    static const auto function = reinterpret_cast<VsnprintfFunction>(dlsym(RTLD_NEXT, "vsnprintf"));
    return function;
}

enum class ArgType { INT, UNSIGNED, LONG, UNSIGNED_LONG, TEXT };

struct Arg {
    ArgType type;
    uint64_t integer;
    const char *text;
};

const size_t MAX_ARGS = 4;
const size_t MAX_PIECES = 5;
const size_t BUFFER_SIZE = 512;
const int MAX_WIDTH = 64;

struct Case {
    std::string format;
    Arg args[MAX_ARGS];
    size_t count = 0;
    size_t size = BUFFER_SIZE;
};

int Call(VsnprintfFunction function, char *buffer, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = function(buffer, size, format, args);
    va_end(args);
    return result;
}

template <typename... Bound>
void Compare(const Case &c, Bound... bound)
{
    char ours[BUFFER_SIZE];
    char theirs[BUFFER_SIZE];
    memset(ours, 0x5a, sizeof ours);
    memset(theirs, 0x5a, sizeof theirs);
    const int oursResult = Call(vsnprintf, ours, c.size, c.format.c_str(), bound...);
    const int theirsResult = Call(CLibraryVsnprintf(), theirs, c.size, c.format.c_str(), bound...);
    if (oursResult == theirsResult && memcmp(ours, theirs, sizeof ours) == 0)
        return;
    fprintf(stderr, "format \"%s\" size %zu: ours %d \"%.*s\", C library %d \"%.*s\"\n", c.format.c_str(), c.size,
            oursResult, static_cast<int>(c.size), ours, theirsResult, static_cast<int>(c.size), theirs);
    abort();
}

// Calls both formatters with the arguments of the case, each with its own
// C type, so that every va_arg reads what was passed.
template <size_t Depth, typename... Bound>
void Dispatch(const Case &c, Bound... bound)
{
    if constexpr (Depth == MAX_ARGS) {
        Compare(c, bound...);
    } else {
        if (Depth == c.count) {
            Compare(c, bound...);
            return;
        }
        const Arg &arg = c.args[Depth];
        switch (arg.type) {
        case ArgType::INT:
            Dispatch<Depth + 1>(c, bound..., static_cast<int>(arg.integer));
            break;
        case ArgType::UNSIGNED:
            Dispatch<Depth + 1>(c, bound..., static_cast<unsigned>(arg.integer));
            break;
        case ArgType::LONG:
            Dispatch<Depth + 1>(c, bound..., static_cast<long>(arg.integer));
            break;
        case ArgType::UNSIGNED_LONG:
            Dispatch<Depth + 1>(c, bound..., static_cast<unsigned long>(arg.integer));
            break;
        case ArgType::TEXT:
            Dispatch<Depth + 1>(c, bound..., arg.text);
            break;
        }
    }
}

bool AddArg(Case &c, ArgType type, uint64_t integer, const char *text = nullptr)
{
    if (c.count == MAX_ARGS)
        return false;
    c.args[c.count++] = Arg{type, integer, text};
    return true;
}

// A width or precision as digits or as "*" with its argument.
void AddNumber(FuzzedDataProvider &data, Case &c, int value)
{
    if (c.count < MAX_ARGS && data.ConsumeBool()) {
        c.format += '*';
        AddArg(c, ArgType::INT, static_cast<uint64_t>(value));
    } else {
        c.format += std::to_string(value);
    }
}

void AddInteger(FuzzedDataProvider &data, Case &c)
{
    const char conversion = "diuoxX"[data.ConsumeIntegralInRange(0, 5)];
    bool left = data.ConsumeBool();
    const bool plus = data.ConsumeBool();
    const bool space = data.ConsumeBool();
    bool zero = data.ConsumeBool();
    const int width = data.ConsumeBool() ? data.ConsumeIntegralInRange(1, MAX_WIDTH) : 0;
    const int precisionKind = data.ConsumeIntegralInRange(0, 2);
    const int precision = data.ConsumeIntegralInRange(0, 30);
    const int length = data.ConsumeIntegralInRange(0, 2);
    uint64_t value = data.ConsumeIntegral<uint64_t>();
    if (zero && (left || precisionKind != 0)) {
        if (precisionKind == 0 && data.ConsumeBool())
            left = false;
        else
            zero = false;
    }

    c.format += '%';
    if (space)
        c.format += ' ';
    if (zero)
        c.format += '0';
    if (plus)
        c.format += '+';
    if (left)
        c.format += '-';
    if (width > 0)
        AddNumber(data, c, width);
    if (precisionKind == 1) {
        c.format += '.';
        if (precision > 0)
            c.format += std::to_string(precision);
    } else if (precisionKind == 2) {
        c.format += '.';
        AddNumber(data, c, precision);
    }
    if (length == 1)
        c.format += 'l';
    else if (length == 2)
        c.format += "ll";
    c.format += conversion;

    const bool isSigned = conversion == 'd' || conversion == 'i';
    ArgType type;
    if (length == 0) {
        type = isSigned ? ArgType::INT : ArgType::UNSIGNED;
        value = static_cast<uint32_t>(value);
    } else {
        type = isSigned ? ArgType::LONG : ArgType::UNSIGNED_LONG;
    }
    if (precisionKind != 0 && precision == 0 && value == 0)
        value = 1;
    if (!AddArg(c, type, value))
        c.format.clear();
}

void AddText(FuzzedDataProvider &data, Case &c, std::deque<std::string> &texts)
{
    const bool left = data.ConsumeBool();
    const int width = data.ConsumeBool() ? data.ConsumeIntegralInRange(1, MAX_WIDTH) : 0;
    const bool hasPrecision = data.ConsumeBool();
    const int precision = width + data.ConsumeIntegralInRange(0, 10);
    std::string text = data.ConsumeRandomLengthString(24);
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    texts.push_back(text);

    c.format += '%';
    if (left)
        c.format += '-';
    if (width > 0)
        AddNumber(data, c, width);
    if (hasPrecision) {
        c.format += '.';
        AddNumber(data, c, precision);
    }
    c.format += 's';
    if (!AddArg(c, ArgType::TEXT, 0, texts.back().c_str()))
        c.format.clear();
}

void RunDifferential(FuzzedDataProvider &data)
{
    Case c;
    std::deque<std::string> texts;
    const size_t pieces = data.ConsumeIntegralInRange<size_t>(1, MAX_PIECES);
    for (size_t i = 0; i < pieces; ++i) {
        Case attempt = c;
        switch (data.ConsumeIntegralInRange(0, 5)) {
        case 0: {
            std::string text = data.ConsumeRandomLengthString(12);
            for (char &ch : text)
                if (ch == '%' || ch == '\0')
                    ch = '.';
            attempt.format += text;
            break;
        }
        case 1:
            attempt.format += "%%";
            break;
        case 2:
        case 3:
            AddInteger(data, attempt);
            break;
        case 4:
            AddText(data, attempt, texts);
            break;
        case 5:
            attempt.format += "%c";
            if (!AddArg(attempt, ArgType::INT, data.ConsumeIntegral<uint32_t>()))
                attempt.format.clear();
            break;
        }
        // A piece whose arguments no longer fit is dropped whole.
        if (!attempt.format.empty())
            c = attempt;
    }
    c.size = data.ConsumeBool() ? BUFFER_SIZE : data.ConsumeIntegralInRange<size_t>(0, 80);
    Dispatch<0>(c);
}

// Formats of at most this many characters read fewer arguments than are
// passed below, whatever they contain.
const size_t MAX_FREE_FORMAT = 48;

void RunAlone(FuzzedDataProvider &data)
{
    // Every integer-class argument points at zeroed memory: a text for "%s",
    // room for "%n", a number for the rest.
    alignas(16) static char target[64];
    memset(target, 0, sizeof target);
    double reals[8];
    for (double &real : reals)
        real = data.ConsumeFloatingPoint<double>();
    const size_t size = data.ConsumeIntegralInRange<size_t>(0, BUFFER_SIZE);
    std::string format = data.ConsumeRandomLengthString(MAX_FREE_FORMAT);

    char buffer[BUFFER_SIZE];
    memset(buffer, 0x5a, sizeof buffer);
    void *t = target;
#define FOUR t, t, t, t
#define SIXTEEN FOUR, FOUR, FOUR, FOUR
    const int result = snprintf(buffer, size, format.c_str(), reals[0], reals[1], reals[2], reals[3], reals[4],
                                reals[5], reals[6], reals[7], SIXTEEN, SIXTEEN, SIXTEEN, SIXTEEN);
#undef SIXTEEN
#undef FOUR
    if (result < -1)
        abort();
    if (size > 0 && result >= 0 && buffer[static_cast<size_t>(result) < size ? result : size - 1] != '\0')
        abort();
    for (size_t i = size; i < sizeof buffer; ++i)
        if (buffer[i] != 0x5a)
            abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    if (data.ConsumeIntegralInRange(0, 3) == 0)
        RunAlone(data);
    else
        RunDifferential(data);
    return 0;
}
