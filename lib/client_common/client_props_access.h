/*
 * Typed reads of the client configuration held by a ClientContext.
 *
 * Every accessor takes the context (its configuration table and client log),
 * a key and a default. The entry is evaluated on first use and the converted
 * value is cached in it: the boolean conversion on its own, the integer and
 * the time conversions sharing one cached number, so whichever of the two
 * reads a key first fixes the number both return afterwards. A missing key,
 * or a value that does not convert, gives the default; a failed evaluation (a
 * "file:/" reference refused, memory exhausted) gives 0 / null / not a member
 * and a failure line in the client log. Every call writes a TRACE line.
 */
#ifndef CLIENT_COMMON_CLIENT_PROPS_ACCESS_H
#define CLIENT_COMMON_CLIENT_PROPS_ACCESS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct ClientContext;
struct ClientProperty;

/* The evaluated value (owned by the table) or the default; null on failure. */
const char *ClientGetProperty(struct ClientContext *context, const char *key, const char *defaultValue);

/* strtol in base 0 within the signed 32-bit range; 0 on failure. */
int ClientGetPropertyInt(struct ClientContext *context, const char *key, int defaultValue);

/* true/yes/y/1 and false/no/n/0 (case ignored); 1 or 0, 0 on failure. */
int ClientGetPropertyBool(struct ClientContext *context, const char *key, int defaultValue);

/*
 * Seconds. The value is a count optionally followed directly by a unit:
 * s, m (60), h, d, w, M (2628000), y; a count alone is in the default unit.
 * A negative count, an unknown unit or a result outside the int range gives
 * defaultCount in the default unit. 0 on failure.
 */
int ClientGetPropertyTime(struct ClientContext *context, const char *key, char defaultUnit, int defaultCount);

/*
 * Membership of `text` in a list of items separated by commas and blanks,
 * with backslash escapes. Without an entry the default list is used; a
 * default list that is a "file:/" reference is added to the table. 1 member,
 * 0 not (and on failure).
 */
int ClientIsStringInPropertyList(struct ClientContext *context, const char *key, const char *text,
                                 const char *defaultList);

/* Membership of `number` in a comma-separated list of numbers and ranges
 * ("1, 5-10, 20 - 30"). 1 member, 0 not (and on failure). */
int ClientIsIntegerInPropertyList(struct ClientContext *context, const char *key, int number,
                                  const char *defaultList);

/* Where the value an accessor gave for a key came from. */
enum ClientPropertyOriginKind {
    CLIENT_PROPERTY_DEFAULT = 0, /* no entry: the caller's default */
    CLIENT_PROPERTY_FILE = 1,    /* the entry's value */
    CLIENT_PROPERTY_INVALID = 2, /* an entry whose value does not convert: the default */
    CLIENT_PROPERTY_FAILED = 3   /* an entry that could not be evaluated: 0, null or not a member
                                  * (the context and the sender then take their default) */
};

/* The origin of the value the last accessor call returned for key; ask after
 * that call. *referenceStatus (when not null) receives the stored status of
 * a failed "file:/" reference of the entry, else 0. */
int ClientPropertyOrigin(struct ClientContext *context, const char *key, int *referenceStatus);

/* Iterator over the keys that begin with a prefix, newest entry first (the
 * reverse of the file order; a key given twice comes twice). */
typedef struct ClientPropertyIter {
    struct ClientProperty *next; /* next entry to visit */
    size_t prefixLength;
    const char *prefix;          /* borrowed from the caller; null when empty */
} ClientPropertyIter;

/* Null when the context has no configuration or out of memory. */
ClientPropertyIter *ClientPropertyIterator(struct ClientContext *context, const char *prefix);
/* The next matching key (owned by the table), or null at the end. */
const char *ClientPropertyNext(struct ClientContext *context, ClientPropertyIter *iterator);
/* Frees the iterator record. Accepts null. */
void ClientPropertyIteratorFree(ClientPropertyIter *iterator);

#ifdef __cplusplus
}
#endif

#endif
