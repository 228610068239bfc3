#include "client_common/client_props_access.h"

#include "client_common/client_context.h"
#include "client_common/client_props.h"
#include "client_common/client_props_internal.h"
#include "client_common/log_buffer.h"
#include "client_common/well_known_paths.h"

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Source unit of the accessors' log lines: they belong to the configuration
// reader's family and carry its unit name.
const char kUnit[] = "client_props";

ClientPropertyTable *TableOf(ClientContext *context)
{
    return context != nullptr ? context->configuration : nullptr;
}

ClientLog *LogOf(ClientContext *context)
{
    return context != nullptr ? context->log : nullptr;
}

const char *StatusText(int status)
{
    const char *text = ClientPropertyStatusText(status);
    return text != nullptr ? text : "";
}

const char *TrueFalse(int value) { return value ? "true" : "false"; }

// The entry a value accessor reads: null when there is none, or when it is
// being expanded right now (a read made while evaluating that same entry).
ClientProperty *EntryToRead(ClientContext *context, const char *key)
{
    ClientProperty *entry = FindClientProperty(TableOf(context), key);
    if (entry == nullptr || (entry->flags & PROP_FLAG_UNDER_EVALUATION) != 0)
        return nullptr;
    return entry;
}

using clientprops::DecodeEscape;
using clientprops::IsWhiteSpace;

// ASCII comparison without regard to case, independent of the locale.
bool EqualsIgnoringCase(const char *a, const char *b)
{
    for (;; a++, b++) {
        int x = static_cast<unsigned char>(*a);
        int y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z')
            x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z')
            y += 'a' - 'A';
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

// Reads what "%d" would: white space, an optional sign and at least one
// digit. A number outside the int range is no number. Advances *text past it.
bool ScanInt(const char **text, int *number)
{
    const char *p = *text;
    while (IsWhiteSpace(static_cast<unsigned char>(*p)))
        p++;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9')
        return false;
    int64_t value = 0;
    bool overflow = false;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (!overflow)
            value = value * 10 + (*p - '0');
        if (value > static_cast<int64_t>(INT_MAX) + 1)
            overflow = true;
    }
    if (negative)
        value = -value;
    if (overflow || value > INT_MAX || value < INT_MIN)
        return false;
    *number = static_cast<int>(value);
    *text = p;
    return true;
}

int64_t UnitSeconds(char unit)
{
    switch (unit) {
    case 's': return 1;
    case 'm': return 60;
    case 'h': return 3600;
    case 'd': return 86400;
    case 'w': return 604800;
    case 'M': return 2628000;
    case 'y': return 31536000;
    default: return 0;
    }
}

bool FitsInt(int64_t value) { return value >= INT_MIN && value <= INT_MAX; }

bool ConvertInt(const char *text, int *number)
{
    char *end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 0);
    if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return false;
    *number = static_cast<int>(value);
    return true;
}

bool ConvertTime(const char *text, int64_t defaultMultiplier, int *seconds)
{
    int count = 0;
    const char *p = text;
    if (!ScanInt(&p, &count) || count < 0)
        return false;
    int64_t product;
    if (*p == '\0') {
        product = static_cast<int64_t>(count) * defaultMultiplier;
    } else {
        int64_t multiplier = UnitSeconds(*p);
        if (multiplier == 0)
            return false;
        product = static_cast<int64_t>(count) * multiplier;
    }
    if (!FitsInt(product))
        return false;
    *seconds = static_cast<int>(product);
    return true;
}

bool ConvertBool(const char *text, bool *value)
{
    static const char *const trueWords[] = {"true", "yes", "y", "1"};
    static const char *const falseWords[] = {"false", "no", "n", "0"};
    for (const char *word : trueWords)
        if (EqualsIgnoringCase(text, word)) {
            *value = true;
            return true;
        }
    for (const char *word : falseWords)
        if (EqualsIgnoringCase(text, word)) {
            *value = false;
            return true;
        }
    return false;
}

// Reads the number of the entry of `key` into *result through the entry's
// shared cache, converting it once with `convert`. *result keeps the default
// when there is no entry or its value is not a number, and becomes 0 when the
// value cannot be evaluated. Returns the evaluation status.
template <typename Convert>
int ReadCachedNumber(ClientContext *context, const char *key, Convert convert, int *result)
{
    ClientProperty *entry = key != nullptr ? EntryToRead(context, key) : nullptr;
    if (entry == nullptr)
        return 0;
    if ((entry->flags & PROP_FLAG_NUMBER_DONE) == 0) {
        int status = 0;
        EvaluateClientProperty(entry, TableOf(context), &status);
        if (status != 0) {
            *result = 0;
            return status;
        }
        int number = 0;
        if (convert(entry->evaluatedValue, &number)) {
            entry->cachedNumber = number;
            entry->flags |= PROP_FLAG_NUMBER_VALID;
        }
        entry->flags |= PROP_FLAG_NUMBER_DONE;
    }
    if ((entry->flags & PROP_FLAG_NUMBER_VALID) != 0)
        *result = entry->cachedNumber;
    return 0;
}

// Items are separated by runs of commas and blanks; a backslash makes the
// next byte (decoded) part of the item. An item is compared run by run: a
// run ends at a separator, a backslash or the end of the list.
constexpr clientprops::ByteClass kItemStops = clientprops::AndAtNul(clientprops::ClassOf(", \t\n\r\f\\"));

bool StringInList(const char *list, const char *text)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(list);
    const size_t textLength = strlen(text);
    for (;;) {
        while (clientprops::kListSeparators.member[*p] != 0)
            p++;
        if (*p == '\0')
            return false;
        size_t matched = 0; // bytes of the text the item has matched so far
        bool equal = true;
        for (;;) {
            const unsigned char *run = p;
            while (kItemStops.member[*p] == 0)
                p++;
            size_t length = static_cast<size_t>(p - run);
            if (equal) {
                equal = length <= textLength - matched && memcmp(run, text + matched, length) == 0;
                matched += length;
            }
            if (*p != '\\' || *++p == '\0')
                break;
            int c = DecodeEscape(*p++);
            if (equal && matched < textLength && static_cast<unsigned char>(text[matched]) == c)
                matched++;
            else
                equal = false;
        }
        if (equal && matched == textLength)
            return true;
    }
}

// Items start at the beginning and after every comma; each is read as
// "%d - %d" (a range) or a single number.
bool IntegerInList(const char *list, int number)
{
    for (const char *item = list; item != nullptr;) {
        const char *p = item;
        int low = 0;
        if (ScanInt(&p, &low)) {
            while (IsWhiteSpace(static_cast<unsigned char>(*p)))
                p++;
            int high = 0;
            const char *q = p + 1;
            if (*p == '-' && ScanInt(&q, &high)) {
                if (low <= number && number <= high)
                    return true;
            } else if (low == number) {
                return true;
            }
        }
        item = strchr(item, ',');
        if (item != nullptr)
            item++;
    }
    return false;
}

// Finds the list a membership test reads: the entry's raw value (the joined
// list of a file reference), or the default list. Returns the status.
int ListToMatch(ClientContext *context, const char *key, const char *defaultList, const char **list)
{
    *list = nullptr;
    ClientPropertyTable *table = TableOf(context);
    ClientProperty *entry = FindClientProperty(table, key);
    if (entry == nullptr) {
        if (defaultList == nullptr)
            return 0;
        if (!IsClientFileReference(defaultList)) {
            *list = defaultList;
            return 0;
        }
        entry = AddClientProperty(table, key, defaultList);
        if (entry == nullptr)
            return PROP_OUT_OF_MEMORY;
    }
    int status = 0;
    ResolveFileReference(entry, table, &status);
    if (status == 0)
        *list = entry->rawValue;
    return status;
}

} // namespace

extern "C" {

const char *ClientGetProperty(ClientContext *context, const char *key, const char *defaultValue)
{
    static const char kOperation[] = "ClientGetProperty";
    int status = 0;
    const char *result = defaultValue;
    if (key != nullptr) {
        if (ClientProperty *entry = EntryToRead(context, key)) {
            EvaluateClientProperty(entry, TableOf(context), &status);
            result = status == 0 ? entry->evaluatedValue : nullptr;
        }
    }
    ClientLog *log = LogOf(context);
    CLIENT_LOG(log, CLIENT_LOG_TRACE, kUnit, kOperation, "GetProperty('%s', %s%s%s) => %d, %s%s%s", key,
               defaultValue ? "\"" : "", defaultValue ? defaultValue : "0", defaultValue ? "\"" : "", status,
               result ? "\"" : "", result ? result : "0", result ? "\"" : "");
    if (status != 0)
        CLIENT_LOG(log, CLIENT_LOG_ERROR, kUnit, kOperation, "Failed to read property '%s' from file '%s': %s",
                   key, CLIENT_CONFIG_PATH, StatusText(status));
    return result;
}

int ClientGetPropertyInt(ClientContext *context, const char *key, int defaultValue)
{
    static const char kOperation[] = "ClientGetPropertyInt";
    int result = defaultValue;
    int status = ReadCachedNumber(context, key, ConvertInt, &result);
    ClientLog *log = LogOf(context);
    CLIENT_LOG(log, CLIENT_LOG_TRACE, kUnit, kOperation, "GetPropertyInt('%s', %d) => status=%d, value=%d", key,
               defaultValue, status, result);
    if (status != 0)
        CLIENT_LOG(log, CLIENT_LOG_ERROR, kUnit, kOperation,
                   "Failed to read int property '%s' from file '%s': %s", key, CLIENT_CONFIG_PATH,
                   StatusText(status));
    return result;
}

int ClientGetPropertyBool(ClientContext *context, const char *key, int defaultValue)
{
    static const char kOperation[] = "ClientGetPropertyBool";
    int status = 0;
    int result = defaultValue != 0;
    if (key != nullptr) {
        if (ClientProperty *entry = EntryToRead(context, key)) {
            if ((entry->flags & PROP_FLAG_BOOL_DONE) == 0) {
                EvaluateClientProperty(entry, TableOf(context), &status);
                if (status == 0) {
                    bool value = false;
                    if (ConvertBool(entry->evaluatedValue, &value))
                        entry->flags |= PROP_FLAG_BOOL_VALID | (value ? PROP_FLAG_BOOL_TRUE : 0);
                    entry->flags |= PROP_FLAG_BOOL_DONE;
                }
            }
            if (status != 0)
                result = 0;
            else if ((entry->flags & PROP_FLAG_BOOL_VALID) != 0)
                result = (entry->flags & PROP_FLAG_BOOL_TRUE) != 0;
        }
    }
    ClientLog *log = LogOf(context);
    CLIENT_LOG(log, CLIENT_LOG_TRACE, kUnit, kOperation, "GetPropertyBool('%s', %s) => %d, %s", key,
               TrueFalse(defaultValue), status, TrueFalse(result));
    if (status != 0)
        CLIENT_LOG(log, CLIENT_LOG_ERROR, kUnit, kOperation,
                   "Failed to read boolean property '%s' from file '%s': %s", key, CLIENT_CONFIG_PATH,
                   StatusText(status));
    return result;
}

int ClientGetPropertyTime(ClientContext *context, const char *key, char defaultUnit, int defaultCount)
{
    static const char kOperation[] = "ClientGetPropertyTime";
    const int64_t multiplier = UnitSeconds(defaultUnit);
    // Computed in 64 bits; a default beyond the int range is held at its edge.
    int64_t defaultProduct = static_cast<int64_t>(defaultCount) * multiplier;
    int result = static_cast<int>(defaultProduct > INT_MAX ? INT_MAX : defaultProduct < INT_MIN ? INT_MIN : defaultProduct);
    int status = ReadCachedNumber(
        context, key, [multiplier](const char *text, int *seconds) { return ConvertTime(text, multiplier, seconds); },
        &result);
    ClientLog *log = LogOf(context);
    CLIENT_LOG(log, CLIENT_LOG_TRACE, kUnit, kOperation, "GetPropertyTime('%s', %d) => status=%d, value=%d", key,
               defaultCount, status, result);
    if (status != 0)
        CLIENT_LOG(log, CLIENT_LOG_ERROR, kUnit, kOperation,
                   "Failed to read time property '%s' from file '%s': %s", key, CLIENT_CONFIG_PATH,
                   StatusText(status));
    return result;
}

int ClientIsStringInPropertyList(ClientContext *context, const char *key, const char *text, const char *defaultList)
{
    static const char kOperation[] = "ClientIsStringInPropertyList";
    int status = 0;
    int result = 0;
    if (TableOf(context) != nullptr && key != nullptr && text != nullptr && text[0] != '\0') {
        const char *list = nullptr;
        status = ListToMatch(context, key, defaultList, &list);
        result = list != nullptr && StringInList(list, text);
    }
    ClientLog *log = LogOf(context);
    CLIENT_LOG(log, CLIENT_LOG_TRACE, kUnit, kOperation, "IsInListPropertyList('%s', '%s') => %d, %s", key,
               text, status, TrueFalse(result));
    if (status != 0)
        CLIENT_LOG(log, CLIENT_LOG_DEBUG, kUnit, kOperation, "Failure in list match for key '%s' from file '%s': %s",
                   key, CLIENT_CONFIG_PATH, StatusText(status));
    return result;
}

int ClientIsIntegerInPropertyList(ClientContext *context, const char *key, int number, const char *defaultList)
{
    static const char kOperation[] = "ClientIsIntegerInPropertyList";
    int status = 0;
    int result = 0;
    if (TableOf(context) != nullptr && key != nullptr) {
        const char *list = nullptr;
        status = ListToMatch(context, key, defaultList, &list);
        result = list != nullptr && IntegerInList(list, number);
    }
    ClientLog *log = LogOf(context);
    CLIENT_LOG(log, CLIENT_LOG_TRACE, kUnit, kOperation, "IsInListPropertyList('%s', '%d') => %d, %s", key,
               number, status, TrueFalse(result));
    if (status != 0)
        CLIENT_LOG(log, CLIENT_LOG_DEBUG, kUnit, kOperation, "Failure in list match for key '%s' from file '%s': %s",
                   key, CLIENT_CONFIG_PATH, StatusText(status));
    return result;
}

ClientPropertyIter *ClientPropertyIterator(ClientContext *context, const char *prefix)
{
    static const char kOperation[] = "ClientPropertyIterator";
    ClientPropertyTable *table = TableOf(context);
    if (table == nullptr)
        return nullptr;
    ClientLog *log = LogOf(context);
    ClientPropertyIter *iterator = static_cast<ClientPropertyIter *>(calloc(1, sizeof(ClientPropertyIter)));
    if (iterator == nullptr) {
        CLIENT_LOG(log, CLIENT_LOG_ERROR, kUnit, kOperation, "Failure creating PropertyIterator from file '%s': %s",
                   CLIENT_CONFIG_PATH, StatusText(PROP_OUT_OF_MEMORY));
        return nullptr;
    }
    iterator->next = table->first;
    iterator->prefixLength = prefix != nullptr ? strlen(prefix) : 0;
    iterator->prefix = iterator->prefixLength > 0 ? prefix : nullptr;
    CLIENT_LOG(log, CLIENT_LOG_TRACE, kUnit, kOperation, "PropertyIterator('%s') => %p", prefix ? prefix : "",
               static_cast<void *>(iterator));
    return iterator;
}

const char *ClientPropertyNext(ClientContext *context, ClientPropertyIter *iterator)
{
    static const char kOperation[] = "ClientPropertyNext";
    const char *key = nullptr;
    if (iterator != nullptr) {
        for (ClientProperty *entry = iterator->next; entry != nullptr; entry = entry->next) {
            if (iterator->prefix == nullptr || strncmp(entry->key, iterator->prefix, iterator->prefixLength) == 0) {
                key = entry->key;
                iterator->next = entry->next;
                break;
            }
        }
        if (key == nullptr)
            iterator->next = nullptr;
    }
    ClientLog *log = LogOf(context);
    if (key != nullptr)
        CLIENT_LOG(log, CLIENT_LOG_TRACE, kUnit, kOperation, "PropertyNext() => '%s'", key);
    else
        CLIENT_LOG(log, CLIENT_LOG_TRACE, kUnit, kOperation, "PropertyNext() => 0");
    return key;
}

void ClientPropertyIteratorFree(ClientPropertyIter *iterator) { free(iterator); }

int ClientPropertyOrigin(ClientContext *context, const char *key, int *referenceStatus)
{
    if (referenceStatus != nullptr)
        *referenceStatus = 0;
    ClientProperty *entry = key != nullptr ? FindClientProperty(TableOf(context), key) : nullptr;
    if (entry == nullptr)
        return CLIENT_PROPERTY_DEFAULT;
    if (referenceStatus != nullptr && (entry->flags & PROP_FLAG_REFERENCE_RESOLVED) != 0)
        *referenceStatus = entry->referenceStatus;
    // A conversion is cached only after a successful evaluation.
    if ((entry->flags & PROP_FLAG_NUMBER_DONE) != 0)
        return (entry->flags & PROP_FLAG_NUMBER_VALID) != 0 ? CLIENT_PROPERTY_FILE : CLIENT_PROPERTY_INVALID;
    if ((entry->flags & PROP_FLAG_BOOL_DONE) != 0)
        return (entry->flags & PROP_FLAG_BOOL_VALID) != 0 ? CLIENT_PROPERTY_FILE : CLIENT_PROPERTY_INVALID;
    return entry->evaluatedValue != nullptr ? CLIENT_PROPERTY_FILE : CLIENT_PROPERTY_FAILED;
}

} // extern "C"
