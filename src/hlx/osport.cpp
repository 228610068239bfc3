#include "hlx/osport.h"

#include "hlx/file_util.h"
#include "hlx/mutex.h"
#include "osport_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <vector>

namespace hlx {

namespace {

const char kUnit[] = "osport";

// Program name: a plain POSIX mutex (see OsPortLock), usable before any
// framework object exists.
pthread_mutex_t gProgramNameMutex = PTHREAD_MUTEX_INITIALIZER;
char gProcessStatus[4096];
char gUnknownProgramName[] = "unknown";

// Children started with SPAWN_ASYNC, collected by ReapChildren.
// Constant-initialised, so that a unit's static initialiser may already spawn.
LazyMutex gChildMutex;
std::vector<pid_t> &childRegistry()
{
    static std::vector<pid_t> children;
    return children;
}
std::atomic<long> gOpenMax{0};

bool isEmptyName(const char *name) { return name == nullptr || name[0] == '\0'; }

void readProcessStatus()
{
    int descriptor = ::open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return;
    // Whatever was read before a failure is kept.
    size_t used = file_util::read_all(descriptor, gProcessStatus, sizeof gProcessStatus - 1);
    gProcessStatus[used] = '\0';
    ::close(descriptor);
}

// F_SETLK on the whole file; a conflict is answered with the holder's pid.
int setWholeFileLock(int descriptor, short type)
{
    // The holder may let go between our attempt and the question who holds
    // it; then the lock is simply tried again, a few times.
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct flock lock = file_util::whole_file_lock(type);
        if (::fcntl(descriptor, F_SETLK, &lock) == 0)
            return 0;
        if (errno != EACCES && errno != EAGAIN)
            return -1;
        struct flock holder = file_util::whole_file_lock(F_WRLCK);
        if (::fcntl(descriptor, F_GETLK, &holder) != 0)
            return -1;
        if (holder.l_type != F_UNLCK)
            return holder.l_pid;
    }
    return -1;
}

// Closes the descriptors lo..hi. Runs between fork and exec: system calls only.
void closeRange(int lo, int hi)
{
    if (lo > hi)
        return;
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, unsigned(lo), unsigned(hi), 0u) == 0)
        return;
#endif
    for (int descriptor = lo; descriptor <= hi; ++descriptor)
        ::close(descriptor);
}

// Gives the process exactly the listed descriptors as 0 .. count - 1. Runs
// between fork and exec: system calls only, no allocation.
void remapDescriptors(int count, const int *descriptors, long openMax)
{
    // Everything not listed is closed, in the gaps between listed descriptors.
    int next = 0;
    while (next < openMax) {
        long kept = openMax;
        for (int i = 0; i < count; ++i) {
            if (descriptors[i] >= next && descriptors[i] < kept)
                kept = descriptors[i];
        }
        closeRange(next, int(kept - 1));
        next = int(kept + 1);
    }
    int highest = -1;
    for (int i = 0; i < count; ++i) {
        if (descriptors[i] > highest)
            highest = descriptors[i];
    }
    // Park every listed descriptor above all of them first, so that moving
    // one into place never overwrites another still to be moved; the same
    // descriptor may be listed twice, so the originals are closed only after
    // all are parked. dup2 also clears close-on-exec on the copies.
    for (int i = 0; i < count; ++i) {
        if (descriptors[i] >= 0)
            ::dup2(descriptors[i], highest + i + 1);
    }
    for (int i = 0; i < count; ++i) {
        if (descriptors[i] >= 0)
            ::close(descriptors[i]);
    }
    for (int i = 0; i < count; ++i) {
        if (descriptors[i] >= 0) {
            ::dup2(highest + i + 1, i);
            ::close(highest + i + 1);
        }
    }
}

// setfsuid() and setfsgid() only report the previous id: set the effective
// id and put the previous one back when it differed.
template <typename Id> Id currentFileSystemId(Id effective, int (*change)(Id))
{
    Id previous = Id(change(effective));
    if (previous != effective)
        change(previous);
    return previous;
}

[[noreturn]] void execInThisProcess(int count, const int *descriptors, long openMax, const char *path,
                                    char *const argv[])
{
    if (count > 0 && descriptors)
        remapDescriptors(count, descriptors, openMax);
    ::execv(path, argv);
    ::_exit(-errno);
}

} // namespace

// program_invocation_short_name is the C library's __progname, the name
// syslog uses as its default ident; the logger reads it under that name too,
// so one name is imported, not two.
void EnsureProgramName()
{
    OsPortLock lock(gProgramNameMutex, kUnit, __LINE__);
    if (isEmptyName(program_invocation_short_name)) {
        readProcessStatus();
        // The record reads "<pid> (<command>) <state> ...".
        char *open = strchr(gProcessStatus, '(');
        if (open) {
            char *close = strchr(open + 1, ')');
            if (close) {
                *close = '\0';
                program_invocation_short_name = open + 1;
            }
        }
        if (isEmptyName(program_invocation_short_name))
            program_invocation_short_name = gUnknownProgramName;
    }
}

int LockFile(int descriptor) { return setWholeFileLock(descriptor, F_WRLCK); }

int UnlockFile(int descriptor) { return setWholeFileLock(descriptor, F_UNLCK); }

int OpenLockFile(const char *name, int &lockResult) { return OpenLockFileMode(name, lockResult, 0); }

int OpenLockFileMode(const char *name, int &lockResult, mode_t mode)
{
    lockResult = -1;
    if (!name) {
        errno = EINVAL;
        return -1;
    }
    // Not through a link: one planted at the name would have the fchmod
    // below change the permissions of whatever file it points at.
    int descriptor = ::open(name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0700);
    if (descriptor < 0)
        return -1;
    if (mode != 0)
        ::fchmod(descriptor, mode);
    lockResult = LockFile(descriptor);
    return descriptor;
}

int SetFsUid(uid_t uid) { return ::setfsuid(uid); }

int SetFsGid(gid_t gid) { return ::setfsgid(gid); }

uid_t GetFsUid() { return currentFileSystemId(::geteuid(), ::setfsuid); }

gid_t GetFsGid() { return currentFileSystemId(::getegid(), ::setfsgid); }

int PSelect(int count, fd_set *readable, fd_set *writable, fd_set *exceptional, const struct timespec *timeout,
            const sigset_t *mask, int &error)
{
    int result = ::pselect(count, readable, writable, exceptional, timeout, mask);
    error = result < 0 ? errno : 0;
    return result;
}

int SpawnProcess(int mode, int count, const int *descriptors, const char *path, char *const argv[])
{
    if (mode < SPAWN_WAIT || mode > SPAWN_REPLACE || !path || !argv) {
        errno = EINVAL;
        return -1;
    }
    int executable = ::access(path, X_OK);
    if (executable != 0)
        return executable;
    long openMax = gOpenMax.load();
    if (openMax == 0) {
        openMax = ::sysconf(_SC_OPEN_MAX);
        gOpenMax.store(openMax);
    }

    if (mode == SPAWN_REPLACE)
        execInThisProcess(count, descriptors, openMax, path, argv);

    ScopedLock lock(gChildMutex.get());
    pid_t child = ::fork();
    if (child == 0)
        execInThisProcess(count, descriptors, openMax, path, argv);
    if (child < 0)
        return -1;
    if (mode == SPAWN_ASYNC) {
        childRegistry().push_back(child);
        return child;
    }
    lock.release();
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

void ReapChildren()
{
    ScopedLock lock(gChildMutex.get());
    std::vector<pid_t> &children = childRegistry();
    for (auto it = children.begin(); it != children.end();) {
        int status = 0;
        pid_t reported = ::waitpid(*it, &status, WNOHANG | WUNTRACED);
        // ECHILD: someone else collected it; it will never be reported here.
        if (reported == *it || (reported < 0 && errno == ECHILD))
            it = children.erase(it);
        else
            ++it;
    }
}

} // namespace hlx
