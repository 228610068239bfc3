#include "hlx/file_util.h"

#include "hlx/exceptions.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hlx {
namespace file_util {

namespace {

const char kUnit[] = "file_util";

// Every failing call reports "OS call failed: <error text>" with the call's
// own result, -1, as the result code.
[[noreturn]] void throwCallFailed(int line, int error)
{
    throw SystemException::fromError(kUnit, line, error, -1);
}

// Removes a temporary file that could not be given its permissions or owner,
// keeping the error of the call that failed.
void discard(int descriptor, const char *name)
{
    int error = errno;
    ::close(descriptor);
    ::unlink(name);
    errno = error;
}

FILE *openTemp(char *name_template, mode_t mode, bool change_owner, uid_t uid, gid_t gid)
{
    int descriptor = ::mkostemp(name_template, O_CLOEXEC);
    if (descriptor < 0)
        throwCallFailed(__LINE__, errno);
    if (::fchmod(descriptor, mode) != 0) {
        discard(descriptor, name_template);
        throwCallFailed(__LINE__, errno);
    }
    if (change_owner && ::fchown(descriptor, uid, gid) != 0) {
        discard(descriptor, name_template);
        throwCallFailed(__LINE__, errno);
    }
    FILE *stream = ::fdopen(descriptor, "w");
    if (stream == nullptr)
        discard(descriptor, name_template);
    return stream;
}

enum Direction { READING, WRITING };

size_t transferAll(int descriptor, char *bytes, size_t size, Direction direction)
{
    size_t done = 0;
    while (done < size) {
        ssize_t moved = direction == READING ? ::read(descriptor, bytes + done, size - done)
                                             : ::write(descriptor, bytes + done, size - done);
        if (moved > 0) {
            done += size_t(moved);
            continue;
        }
        if (moved == 0) {
            errno = 0;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            break;
        struct pollfd ready = {descriptor, short(direction == READING ? POLLIN : POLLOUT), 0};
        if (::poll(&ready, 1, -1) < 0 && errno != EINTR)
            break;
    }
    return done;
}

struct stat statOrThrow(const char *name, int line)
{
    struct stat info;
    if (::stat(name, &info) != 0)
        throwCallFailed(line, errno);
    return info;
}

} // namespace

int make_temp(std::string &name_template)
{
    std::string name = name_template;
    int descriptor = ::mkostemp(&name[0], O_CLOEXEC);
    if (descriptor < 0)
        throwCallFailed(__LINE__, errno);
    name_template = name;
    return descriptor;
}

int create_temp(std::string &name_template, mode_t mode, uid_t uid, gid_t gid)
{
    int descriptor = make_temp(name_template);
    if (::fchmod(descriptor, mode) != 0 || ::fchown(descriptor, uid, gid) != 0) {
        discard(descriptor, name_template.c_str());
        return -1;
    }
    return descriptor;
}

FILE *open_temp(char *name_template, mode_t mode) { return openTemp(name_template, mode, false, 0, 0); }

FILE *open_temp(char *name_template, mode_t mode, uid_t uid, gid_t gid)
{
    return openTemp(name_template, mode, true, uid, gid);
}

off_t file_size(const char *name) { return statOrThrow(name, __LINE__).st_size; }

off_t file_size(const std::string &name) { return file_size(name.c_str()); }

mode_t file_permissions(const char *name) { return statOrThrow(name, __LINE__).st_mode & 0777; }

mode_t file_permissions(const std::string &name) { return file_permissions(name.c_str()); }

size_t read_all(int descriptor, void *buffer, size_t size)
{
    return transferAll(descriptor, static_cast<char *>(buffer), size, READING);
}

size_t write_all(int descriptor, const void *buffer, size_t size)
{
    return transferAll(descriptor, static_cast<char *>(const_cast<void *>(buffer)), size, WRITING);
}

} // namespace file_util
} // namespace hlx
