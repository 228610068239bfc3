#include "client_common/client_context.h"

#include "client_common/client_props.h"
#include "client_common/client_props_access.h"
#include "client_common/log_buffer.h"
#include "client_common/lrpc2_session.h"
#include "client_common/lrpc2_status.h"
#include "client_common/msg_type_table.h"
#include "client_common/well_known_paths.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// Source unit of this unit's log lines.
const char kUnit[] = "client_context";

const char kSocketKey[] = CLIENT_SOCKET_PATH_KEY;
const char kTimeoutKey[] = CLIENT_TIMEOUT_KEY;
const int kDefaultTimeout = 300;
const char kOverrideVariable[] = "QMC_OVERRIDE_MODE";
// /proc/self/stat is read this far; the name is the second field.
const size_t kStatReadSize = 4095;
const size_t kProcessNameMax = 63;

const char *SocketPath(ClientContext *context)
{
    const char *path = ClientGetProperty(context, kSocketKey, DAEMON_SOCKET_PATH);
    return path != nullptr ? path : DAEMON_SOCKET_PATH;
}

// The configured level name: the level key, then the key cut at its last '.'
// ("log.audittrail", then "log"), and the default when no '.' is left.
// *keyLength (when not null) becomes the length of the key that held the
// name, 0 for the default.
const char *LevelName(ClientContext *context, const char *levelKey, const char *levelDefault, size_t *keyLength)
{
    if (keyLength != nullptr)
        *keyLength = 0;
    if (levelKey == nullptr)
        return levelDefault;
    char *key = strdup(levelKey);
    if (key == nullptr)
        return levelDefault;
    const char *name = nullptr;
    size_t length = strlen(key);
    for (;;) {
        name = ClientGetProperty(context, key, nullptr);
        if (name != nullptr) {
            if (keyLength != nullptr)
                *keyLength = length;
            break;
        }
        // Cut at the last '.' of what is left.
        while (length > 0 && key[length - 1] != '.')
            length--;
        if (length == 0) {
            name = levelDefault;
            break;
        }
        key[--length] = '\0';
    }
    free(key);
    return name;
}

// The text between the first '(' and the next ')' of /proc/self/stat, or
// an empty string.
void ReadProcessName(char *name)
{
    name[0] = '\0';
    int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char stat[kStatReadSize + 1];
    size_t length = 0;
    // What came before a failed read is still used.
    RecvUpTo(fd, stat, kStatReadSize, 0, 0, &length);
    close(fd);
    stat[length] = '\0';
    const char *open = static_cast<const char *>(memchr(stat, '(', length));
    if (open == nullptr)
        return;
    open++;
    size_t rest = length - static_cast<size_t>(open - stat);
    const char *close = static_cast<const char *>(memchr(open, ')', rest));
    size_t nameLength = close != nullptr ? static_cast<size_t>(close - open) : rest;
    if (nameLength > kProcessNameMax)
        nameLength = kProcessNameMax;
    memcpy(name, open, nameLength);
    name[nameLength] = '\0';
}

} // namespace

extern "C" {

CleanupList *CleanupListNew(void)
{
    return static_cast<CleanupList *>(calloc(1, sizeof(CleanupList)));
}

void CleanupListAdd(CleanupList *list, CleanupFunction release, void *object)
{
    if (list == nullptr)
        return;
    if (list->last == nullptr || list->last->count == CLEANUP_CHUNK_PAIRS) {
        CleanupChunk *chunk = static_cast<CleanupChunk *>(calloc(1, sizeof(CleanupChunk)));
        if (chunk == nullptr)
            return;
        chunk->previous = list->last;
        list->last = chunk;
    }
    CleanupPair *pair = &list->last->pairs[list->last->count++];
    pair->release = release;
    pair->object = object;
}

void CleanupListRun(CleanupList *list)
{
    if (list == nullptr)
        return;
    CleanupChunk *chunk = list->last;
    while (chunk != nullptr) {
        for (int i = chunk->count - 1; i >= 0; i--)
            if (chunk->pairs[i].release != nullptr)
                chunk->pairs[i].release(chunk->pairs[i].object);
        CleanupChunk *previous = chunk->previous;
        free(chunk);
        chunk = previous;
    }
    free(list);
}

int InitClientContext(ClientContext *context, ClientPropertyTable *configuration, const char *const *prefixes,
                      const char *destinationKey, const char *destinationDefault, const char *levelKey,
                      const char *levelDefault)
{
    static const char kOperation[] = "InitClientContext";
    if (context == nullptr)
        return 0;
    memset(context, 0, sizeof *context);
    context->contextCleanup = CleanupListNew();

    int status = 0;
    if (configuration != nullptr)
        context->configuration = configuration;
    else
        context->configuration = ParseClientConfigFile(CLIENT_CONFIG_PATH, prefixes, &status);
    context->configurationStatus = status;

    // An unreadable file is not reported here: the context runs on the
    // defaults, and the log destination and level are not looked up.
    const char *destination = destinationDefault;
    const char *levelName = levelDefault;
    if (status == 0) {
        destination = ClientGetProperty(context, destinationKey, destinationDefault);
        levelName = LevelName(context, levelKey, levelDefault, nullptr);
    }
    uint32_t level = ClientLogLevelFromName(levelName);

    const char *socketPath = SocketPath(context);
    int configuredTimeout = ClientGetPropertyTime(context, kTimeoutKey, 's', kDefaultTimeout);
    // A value that cannot be evaluated reads as 0, which would mean waiting
    // without limit: only a value the administrator wrote may lift the bound.
    const bool unreadable =
        configuredTimeout == 0 && ClientPropertyOrigin(context, kTimeoutKey, nullptr) == CLIENT_PROPERTY_FAILED;
    const bool illegal = configuredTimeout < 0 || unreadable;
    context->timeout = illegal ? kDefaultTimeout : configuredTimeout;

    context->messageTable = GetMessageTable();
    const char *processName = GetClientProcessName(context);
    context->log = ClientLogCreate(processName != nullptr ? processName : "unknown", destination, level, socketPath,
                                   context->timeout, context->messageTable);
    if (illegal)
        CLIENT_LOG(context->log, CLIENT_LOG_DEBUG, kUnit, kOperation,
                   "Illegal value for property %s: %d -- value must be non-negative. Using %d", kTimeoutKey,
                   configuredTimeout, kDefaultTimeout);
    return context->contextCleanup != nullptr && context->log != nullptr;
}

const char *GetClientLogLevelName(ClientContext *context, const char *levelKey, const char *levelDefault,
                                  size_t *keyLength)
{
    return LevelName(context, levelKey, levelDefault, keyLength);
}

int OpenLRPC2Session(ClientContext *context)
{
    static const char kOperation[] = "OpenLRPC2Session";
    if (context == nullptr)
        return 0;
    // A second open replaces the session rather than leaking it.
    SessionClose(context->session);
    context->session = nullptr;

    const char *path = SocketPath(context);
    int status = 0;
    // The handshake is bounded like every other wait of the context: a daemon
    // that accepts and never answers must not hold the caller for good.
    context->session = SessionOpen(path, context->messageTable, context->timeout, &status);
    if (context->session == nullptr) {
        int error = errno;
        char errorText[128];
        CLIENT_LOG(context->log, CLIENT_LOG_DEBUG, kUnit, kOperation,
                   "Failed to open connection to dirsvcd through '%s' %s (%s)", path, LRPC2StatusText(status),
                   strerror_r(error, errorText, sizeof errorText));
        return 0;
    }
    return 1;
}

int IsOverrideEnabled(ClientContext *context)
{
    static const char kOperation[] = "IsOverrideEnabled";
    const char *mode = getenv(kOverrideVariable);
    if (mode == nullptr || strcmp(mode, "1") != 0)
        return 0;
    CLIENT_LOG(context != nullptr ? context->log : nullptr, CLIENT_LOG_TRACE, kUnit, kOperation,
               "%s=1, assuming override mode", kOverrideVariable);
    return 1;
}

void AddCallCleanup(ClientContext *context, CleanupFunction release, void *object)
{
    if (context == nullptr)
        return;
    if (context->callCleanup == nullptr)
        context->callCleanup = CleanupListNew();
    CleanupListAdd(context->callCleanup, release, object);
}

void ReleaseCallMessages(ClientContext *context)
{
    if (context == nullptr)
        return;
    CleanupListRun(context->callCleanup);
    context->callCleanup = nullptr;
}

void ReleaseClientContext(ClientContext *context)
{
    if (context == nullptr)
        return;
    SessionClose(context->session);
    context->session = nullptr;
    FreeClientPropertyTable(context->configuration);
    context->configuration = nullptr;
    ReleaseCallMessages(context);
    CleanupListRun(context->contextCleanup);
    context->contextCleanup = nullptr;
    free(context->processName);
    context->processName = nullptr;
    ClientLogClose(context->log);
    context->log = nullptr;
}

const char *GetClientProcessName(ClientContext *context)
{
    if (context == nullptr)
        return nullptr;
    if (context->processName != nullptr)
        return context->processName;
    char name[kProcessNameMax + 1];
    ReadProcessName(name);
    context->processName = strdup(name[0] != '\0' ? name : "unknown");
    return context->processName;
}

} // extern "C"
