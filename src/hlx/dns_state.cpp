// Host look-up and the process-wide memory of whether DNS is usable.
//
// A look-up that fails slowly (more than 10 seconds) marks DNS down, so that
// later callers fail at once with TRY_AGAIN instead of each waiting for the
// resolver's time-outs. The state heals by itself: the owner thread (the one
// that registered itself, typically the one that checks connectivity) retries
// after its own stale period without changing the state; any other thread
// resets the state to up after the longer stale period.
#include "hlx/osport.h"

#include "hlx/logger.h"
#include "hlx/mutex.h"

#include <arpa/inet.h>
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

namespace hlx {

namespace {

struct DnsState {
    bool up = true;
    time_t lastChange = 0;
    int staleOtherSeconds = 300;
    int staleOwnerSeconds = 60;
    pthread_t owner{};
    bool ownerRegistered = false;
};

LazyMutex gDnsMutex;
DnsState gDns;

// A failing look-up slower than this marks DNS down.
const double kSlowLookupSeconds = 10.0;

double monotonicSeconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// True while `seconds` have not yet passed since the last change. A clock
// that went back past the last change makes the state stale at once, so a
// time step can never keep DNS down for longer than the period.
bool withinPeriod(time_t now, int seconds) { return now >= gDns.lastChange && now - gDns.lastChange <= seconds; }

int mapLookupError(int result)
{
    switch (result) {
    case EAI_NONAME:
        return HOST_NOT_FOUND;
    case EAI_AGAIN:
        return TRY_AGAIN;
    case EAI_NODATA:
        return NO_DATA;
    case EAI_SYSTEM:
        return NETDB_INTERNAL;
    default:
        return NO_RECOVERY;
    }
}

// Lays the answers out in the caller's buffer:
//   [canonical name NUL][pad to 8][address pointers ... NULL][free][addresses]
// with the 4-byte addresses stored from the (4-byte aligned) end downward.
// Returns false (ENOSPC) when pointers and addresses would meet.
bool fillHostEntry(const struct addrinfo *answers, const char *name, struct hostent *result, char *buffer,
                   size_t size)
{
    if (size == 0)
        return false;
    const char *canonical = answers->ai_canonname ? answers->ai_canonname : name;
    snprintf(buffer, size, "%s", canonical);
    const uintptr_t start = reinterpret_cast<uintptr_t>(buffer);
    const uintptr_t pointers = (start + strlen(buffer) + 1 + 7) & ~uintptr_t(7);
    uintptr_t lowest = (start + size) & ~uintptr_t(3);
    char **list = reinterpret_cast<char **>(pointers);
    size_t stored = 0;
    for (const struct addrinfo *answer = answers; answer; answer = answer->ai_next) {
        if (answer->ai_family != AF_INET || !answer->ai_addr)
            continue;
        const struct in_addr &address = reinterpret_cast<const struct sockaddr_in *>(answer->ai_addr)->sin_addr;
        bool seen = false;
        for (size_t i = 0; i < stored && !seen; ++i)
            seen = memcmp(list[i], &address, sizeof address) == 0;
        if (seen)
            continue;
        // Room for this pointer, the terminator and the address itself.
        const uintptr_t needed = pointers + (stored + 2) * sizeof(char *) + sizeof address;
        if (lowest < needed)
            return false;
        lowest -= sizeof address;
        memcpy(reinterpret_cast<void *>(lowest), &address, sizeof address);
        list[stored++] = reinterpret_cast<char *>(lowest);
    }
    if (stored == 0 && pointers + sizeof(char *) > lowest)
        return false;
    list[stored] = nullptr;
    result->h_name = buffer;
    result->h_aliases = nullptr;
    result->h_addrtype = AF_INET;
    result->h_length = sizeof(struct in_addr);
    result->h_addr_list = list;
    return true;
}

LoggerPtr dnsLogger() { return Logger::getLogger("dns.state"); }

} // namespace

bool IsDnsUp()
{
    ScopedLock lock(gDnsMutex.get());
    if (gDns.up)
        return true;
    const time_t now = time(nullptr);
    if (gDns.ownerRegistered && pthread_equal(gDns.owner, pthread_self()))
        return !withinPeriod(now, gDns.staleOwnerSeconds);
    if (withinPeriod(now, gDns.staleOtherSeconds))
        return false;
    gDns.up = true;
    dnsLogger()->log(LEVEL_INFO, "Cached DNS state is stale, resetting to: DNS is up");
    return true;
}

void SetDnsUp(bool up)
{
    ScopedLock lock(gDnsMutex.get());
    if (up != gDns.up)
        dnsLogger()->log(LEVEL_INFO, "DNS is %s", up ? "up" : "down");
    gDns.up = up;
    gDns.lastChange = time(nullptr);
}

void SetDnsStaleTimes(int otherSeconds, int ownerSeconds)
{
    ScopedLock lock(gDnsMutex.get());
    gDns.staleOtherSeconds = otherSeconds;
    gDns.staleOwnerSeconds = ownerSeconds;
}

void SetDnsOwnerThread()
{
    ScopedLock lock(gDnsMutex.get());
    gDns.owner = pthread_self();
    gDns.ownerRegistered = true;
}

struct hostent *ResolveHostByName(const char *name, struct hostent *result, char *buffer, size_t size, int &error)
{
    if (!name || !result || !buffer) {
        error = NETDB_INTERNAL;
        errno = EINVAL;
        return nullptr;
    }
    if (!IsDnsUp()) {
        error = TRY_AGAIN;
        return nullptr;
    }
    const double started = monotonicSeconds();
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo *answers = nullptr;
    const int lookup = getaddrinfo(name, nullptr, &hints, &answers);
    const bool failed = lookup != 0;
    const int lookupErrno = errno;

    struct hostent *found = nullptr;
    if (lookup == 0 && answers) {
        if (fillHostEntry(answers, name, result, buffer, size)) {
            error = 0;
            found = result;
        } else {
            error = NETDB_INTERNAL;
        }
    } else {
        error = lookup == 0 ? NO_RECOVERY : mapLookupError(lookup);
    }
    if (answers)
        freeaddrinfo(answers);
    SetDnsUp(!(failed && monotonicSeconds() - started > kSlowLookupSeconds));
    // Callers read errno for the internal errors: ENOSPC for a short buffer,
    // the resolver's own for EAI_SYSTEM.
    if (error == NETDB_INTERNAL)
        errno = failed ? lookupErrno : ENOSPC;
    return found;
}

} // namespace hlx
