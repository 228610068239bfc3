/*
 * The client context: everything one client call needs. The daemon's
 * configuration, the client log, the process name, the LRPC2 time-out, the
 * message type table, the session to the daemon, and two cleanup lists that
 * free what the call allocated.
 *
 *   InitClientContext -> OpenLRPC2Session -> send operations -> ReleaseClientContext
 *
 * A context whose session never opened must still be released.
 */
#ifndef CLIENT_COMMON_CLIENT_CONTEXT_H
#define CLIENT_COMMON_CLIENT_CONTEXT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct ClientPropertyTable;
struct ClientLog;
struct MsgTypeTable;
struct LRPC2Session;

/* Keys of the daemon's socket path (default DAEMON_SOCKET_PATH) and of the
 * LRPC2 time-out (seconds, default 300) a context reads. */
#define CLIENT_SOCKET_PATH_KEY "dirsvcd.clients.socket2"
#define CLIENT_TIMEOUT_KEY "lrpc.timeout"

/* Release function of a cleanup list entry. */
typedef void (*CleanupFunction)(void *object);

/* (release function, object) pairs, kept in chunks of CLEANUP_CHUNK_PAIRS. */
#define CLEANUP_CHUNK_PAIRS 50

typedef struct CleanupPair {
    CleanupFunction release;
    void *object;
} CleanupPair;

typedef struct CleanupChunk {
    struct CleanupChunk *previous; /* the chunk filled before this one */
    int count;                     /* pairs used in this chunk */
    CleanupPair pairs[CLEANUP_CHUNK_PAIRS];
} CleanupChunk;

typedef struct CleanupList {
    CleanupChunk *last; /* the chunk being filled; null until the first add */
} CleanupList;

/* An empty list, or null when out of memory. */
CleanupList *CleanupListNew(void);
/* Registers a pair. A null list, or a chunk that cannot be allocated, drops
 * the pair silently. */
void CleanupListAdd(CleanupList *list, CleanupFunction release, void *object);
/* Calls the release functions, the last registered first, and frees the
 * chunks and the list. Accepts null. */
void CleanupListRun(CleanupList *list);

typedef struct ClientContext {
    struct ClientPropertyTable *configuration; /* owned */
    struct ClientLog *log;                     /* owned */
    char *processName;                         /* cached by GetClientProcessName; owned */
    int timeout;                               /* LRPC2 time-out in seconds; 0 waits without limit */
    const struct MsgTypeTable *messageTable;
    struct LRPC2Session *session;              /* null until OpenLRPC2Session succeeds */
    CleanupList *contextCleanup;               /* run at tear-down */
    CleanupList *callCleanup;                  /* messages and replies of the call; created on first use */
    int configurationStatus;                   /* outcome of reading the configuration file: 0, or the
                                                * ClientPropertyStatus (PROP_NOT_FOUND: no file) */
} ClientContext;

/*
 * Fills a context (zeroing it first). `configuration` is a preloaded table
 * the context takes over, or null to read the daemon's configuration file
 * keeping the keys that begin with one of `prefixes` (null-terminated, in
 * ascending byte order). The log destination and level come from their keys
 * (the level key falls back to shorter dotted keys: "log.audittrail", then
 * "log"), else from the defaults; levelDefault must not be null. A file that
 * cannot be read leaves the context on the defaults. A time-out that is
 * negative or cannot be evaluated is replaced by the default, 300 seconds.
 * Returns 1 when the context is complete, 0 when the context is null or its
 * cleanup list or client log could not be created (the context must still
 * be released).
 */
int InitClientContext(ClientContext *context, struct ClientPropertyTable *configuration,
                      const char *const *prefixes, const char *destinationKey,
                      const char *destinationDefault, const char *levelKey, const char *levelDefault);

/* The client log level name a context is set up with: the value of
 * levelKey, or while that key is absent, of the key cut at its last '.'
 * ("log.audittrail", then "log"); levelDefault when no '.' is left. When
 * keyLength is not null it receives the length of the key that held the
 * name (a prefix of levelKey), 0 for the default. */
const char *GetClientLogLevelName(ClientContext *context, const char *levelKey, const char *levelDefault,
                                  size_t *keyLength);

/* Connects the context to the daemon's socket, the handshake bounded by the
 * context's time-out. 1 connected, 0 failed. */
int OpenLRPC2Session(ClientContext *context);

/* 1 when the environment variable QMC_OVERRIDE_MODE is exactly "1", else 0. */
int IsOverrideEnabled(ClientContext *context);

/* Registers an object of the current call (a message, a reply) in the call
 * cleanup list, creating the list on first use. */
void AddCallCleanup(ClientContext *context, CleanupFunction release, void *object);

/* Frees everything registered in the call cleanup list and forgets the list. */
void ReleaseCallMessages(ClientContext *context);

/* Closes the session and frees the configuration, the call and context
 * cleanup lists, the process name and finally the client log (which writes
 * what it still holds). Accepts null. */
void ReleaseClientContext(ClientContext *context);

/* The process's short name from /proc/self/stat (at most 63 bytes), read once
 * and cached in the context; "unknown" when it cannot be read. Null only for
 * a null context or when out of memory. */
const char *GetClientProcessName(ClientContext *context);

#ifdef __cplusplus
}
#endif

#endif
