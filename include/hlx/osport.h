// The framework's thin layer over Linux calls: the program's short name,
// whole-file advisory locks, file-system identity, pselect, host look-up with
// a process-wide memory of whether DNS is usable, and child processes.
//
// Apart from EnsureProgramName (whose lock failure throws
// hlx::SystemException) these report through return values and error
// outputs only and never throw.
#pragma once

#include <netdb.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/types.h>
#include <time.h>

namespace hlx {

// Fills in the C library's short program name (__progname) from the
// process's status record when it is null or empty, else with "unknown".
void EnsureProgramName();

// Write-locks / unlocks the whole file without waiting: 0 on success, the pid
// of the process holding a conflicting lock, or -1 on other errors.
int LockFile(int descriptor);
int UnlockFile(int descriptor);

// Opens (creating with mode 0700) `name` read-write and tries LockFile on it.
// A symbolic link at `name` is not followed (the open fails with ELOOP).
// Returns the descriptor or -1; `lockResult` receives LockFile's result
// (-1 when the file could not be opened).
int OpenLockFile(const char *name, int &lockResult);
// The same, first changing the file's permissions to `mode` when it is not 0.
int OpenLockFileMode(const char *name, int &lockResult, mode_t mode);

// setfsuid / setfsgid: return the previous file-system id.
int SetFsUid(uid_t uid);
int SetFsGid(gid_t gid);
// The current file-system ids.
uid_t GetFsUid();
gid_t GetFsGid();

// pselect(); `error` is errno when the result is negative, else 0.
int PSelect(int count, fd_set *readable, fd_set *writable, fd_set *exceptional, const struct timespec *timeout,
            const sigset_t *mask, int &error);

// IPv4 look-up of `name` into `result`, whose texts and addresses live in
// `buffer`: the canonical name first, then the address pointer array (8-byte
// aligned, null-terminated), the addresses themselves stored from the end of
// the buffer downward (4-byte aligned, duplicates dropped). Returns `result`,
// or null with `error` set to one of <netdb.h>'s codes:
//   HOST_NOT_FOUND  the name is unknown;
//   TRY_AGAIN       a temporary failure, and at once while DNS is considered down;
//   NO_RECOVERY     a permanent failure, or no answers;
//   NO_DATA         the name has no address;
//   NETDB_INTERNAL  internal: errno tells why (ENOSPC: the buffer is too small).
// h_aliases is null.
struct hostent *ResolveHostByName(const char *name, struct hostent *result, char *buffer, size_t size,
                                  int &error);

// Whether look-ups should be tried. After a slow failing look-up DNS is
// considered down; the owner thread retries after its own stale period (60 s
// unless changed), any other thread resets the state to up after the other
// stale period (300 s unless changed).
bool IsDnsUp();
void SetDnsUp(bool up);
void SetDnsStaleTimes(int otherSeconds, int ownerSeconds);
// Registers the calling thread as the owner of the DNS state.
void SetDnsOwnerThread();

// Modes of SpawnProcess.
enum {
    SPAWN_WAIT = 0,    // run the program and wait: returns its wait status
    SPAWN_ASYNC = 1,   // start it and register it for ReapChildren: returns its pid
    SPAWN_REPLACE = 2, // replace the current process
};

// Runs the program `path` with `argv`. With `count` > 0 the program gets
// exactly the listed descriptors, renumbered 0, 1, ... count - 1 in list
// order (a negative entry leaves that number closed); every other descriptor
// is closed. Returns -1 when the program is not executable or fork fails.
// A program that cannot be executed exits with the negated errno.
int SpawnProcess(int mode, int count, const int *descriptors, const char *path, char *const argv[]);

// Collects every registered child that has ended (or stopped) without waiting.
void ReapChildren();

} // namespace hlx
