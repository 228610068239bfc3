/*
 * The client's reader of the daemon's configuration file.
 *
 * The file is read once into a ClientPropertyTable that keeps only the keys
 * beginning with one of the prefixes the caller asks for. Values are stored
 * as written and evaluated lazily on first access: variables ($NAME: the
 * built-in JOINNAME, SITE, DOMAIN and ZONE, environment variables, other
 * entries; a process running with raised privileges, AT_SECURE, reads no
 * environment variables), escapes, trailing white space, and "file:/"
 * references whose value is a list read from a root-owned file that others
 * cannot write.
 *
 * File syntax, one entry a line:
 *   '#' or '!' as the first byte of a line starts a comment;
 *   key, then '=', ':', space or tab (":=", " =", "\t=" count as one);
 *   the value runs to the line end; double quotes keep blanks and
 *   backslashes literal; a backslash before the line end continues the
 *   value on the next line with one space.
 *
 * Strings handed out (evaluated values, keys) belong to the table and stay
 * valid until FreeClientPropertyTable.
 */
#ifndef CLIENT_COMMON_CLIENT_PROPS_H
#define CLIENT_COMMON_CLIENT_PROPS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Configuration reader status codes (0 = success); texts from
 * ClientPropertyStatusText. */
enum ClientPropertyStatus {
    PROP_OUT_OF_MEMORY = 300,
    PROP_NOT_ABSOLUTE = 301,
    PROP_NO_PERMISSION = 302,
    PROP_NOT_FOUND = 303,
    PROP_SYSTEM_ERROR = 304,
    PROP_INSECURE_FILE = 305
};

/* ClientProperty flags. */
enum {
    PROP_FLAG_UNDER_EVALUATION = 0x01, /* guards against reference cycles */
    PROP_FLAG_NUMBER_DONE = 0x02,      /* shared by the integer and time conversions */
    PROP_FLAG_NUMBER_VALID = 0x04,
    PROP_FLAG_BOOL_DONE = 0x08,
    PROP_FLAG_BOOL_VALID = 0x10,
    PROP_FLAG_REFERENCE_RESOLVED = 0x20, /* "file:/" resolution done or attempted */
    PROP_FLAG_BOOL_TRUE = 0x40
};

/* Slots of the built-in variables, in the order of ClientPropertyTable. */
enum {
    PROP_BUILTIN_JOINNAME = 0,
    PROP_BUILTIN_SITE = 1,
    PROP_BUILTIN_DOMAIN = 2,
    PROP_BUILTIN_ZONE = 3,
    PROP_BUILTIN_COUNT = 4
};

typedef struct ClientProperty {
    struct ClientProperty *next; /* the following (older) entry */
    char *key;                   /* exactly as read; case is significant */
    char *rawValue;              /* as read, or the joined list of a file reference */
    char *evaluatedValue;        /* null until first evaluated */
    int32_t referenceStatus;     /* outcome of the file reference, reported again later */
    uint8_t flags;               /* PROP_FLAG_* */
    /* The record, its key and the raw value as read lie together in one of
     * the table's entry blocks; a raw value replaced later (the joined list)
     * is a heap block of its own: then 1. */
    uint8_t rawValueSeparate;
    int32_t cachedNumber;        /* shared by the integer and time conversions */
} ClientProperty;

/* Look-up index of a table, private to the reader. */
struct ClientPropertyIndex;
/* Memory of a table's entries, private to the reader. */
struct ClientPropertyBlock;

typedef struct ClientPropertyTable {
    ClientProperty *first;                   /* newest entry; the last one in the file */
    char *builtins[PROP_BUILTIN_COUNT];      /* null until read; then kept for the table's life */
    /* Bounds the work of nested references: depth of evaluations in progress
     * and bytes substituted so far, so that a chain or a doubling of
     * references cannot exhaust the stack or memory. */
    unsigned evaluationDepth;
    uint64_t substitutedBytes;
    /* The newest entry of each key by hash, so that a look-up need not walk
     * the list: built on the first look-up that passes a few dozen entries,
     * dropped when an entry is added; null until then. */
    struct ClientPropertyIndex *index;
    /* Where the entries are: blocks of growing size, each holding many of them,
     * freed with the table. */
    struct ClientPropertyBlock *blocks;
} ClientPropertyTable;

/*
 * Reads a configuration file. `prefixes` is a null-terminated array of key
 * prefixes in ascending byte order, or null to keep every key. Returns the
 * table with *status 0, or null with *status a ClientPropertyStatus.
 */
ClientPropertyTable *ParseClientConfigFile(const char *path, const char *const *prefixes, int *status);

/*
 * Reads a configuration from `length` bytes in memory, as ParseClientConfigFile
 * reads the bytes of its file (which it does through this function). The
 * table keeps no reference to the bytes. A null text with a length other
 * than 0 gives PROP_NOT_FOUND, like a missing file.
 */
ClientPropertyTable *ParseClientConfigText(const char *text, size_t length, const char *const *prefixes,
                                           int *status);

/* Releases every entry, the built-in slots and the table. Accepts null. */
void FreeClientPropertyTable(ClientPropertyTable *table);

/* The newest entry whose key equals `key` byte for byte, or null. May build
 * the table's look-up index, which changes nothing else. */
ClientProperty *FindClientProperty(const ClientPropertyTable *table, const char *key);

/*
 * Adds an entry at the head with copies of key and raw value.
 * Returns it, or null when out of memory.
 */
ClientProperty *AddClientProperty(ClientPropertyTable *table, const char *key, const char *rawValue);

/*
 * Resolves a file reference, then computes the evaluated value once.
 * *status is 0 or the ClientPropertyStatus of the failure.
 */
void EvaluateClientProperty(ClientProperty *entry, ClientPropertyTable *table, int *status);

/*
 * Replaces the raw value of a "file:/" entry by the joined list of the
 * referenced file, once; later calls report the stored outcome. Leaves
 * *status untouched for values that are not file references.
 */
void ResolveFileReference(ClientProperty *entry, ClientPropertyTable *table, int *status);

/* 1 when the text, after blanks, begins with "file:/". */
int IsClientFileReference(const char *text);

/*
 * Substitutes variables, decodes escapes and trims the text. Returns a new
 * heap string, or null with *status set.
 */
char *ExpandPropertyValue(const char *text, ClientPropertyTable *table, int *status);

/* Text of a ClientPropertyStatus; null for any other code. */
const char *ClientPropertyStatusText(int code);

#ifdef __cplusplus
}
#endif

#endif
