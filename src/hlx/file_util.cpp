#include "hlx/file_util.h"

#include "hlx/exceptions.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>

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

int open_regular(const char *name)
{
    int descriptor = ::open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        return -1;
    struct stat info;
    int error = 0;
    if (::fstat(descriptor, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        // Reading a FIFO would wait for a writer, and a device may never end.
        error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    if (error == 0)
        return descriptor;
    ::close(descriptor);
    errno = error;
    return -1;
}

namespace {

// The loop of read_to_end() on any buffer that grows keeping its content:
// grow(capacity) gives room for `capacity` bytes, or null when memory runs
// out; release() empties it. `used` receives the length read.
template <class Buffer> bool readToEnd(int descriptor, size_t limit, Buffer &buffer, size_t &used)
{
    used = 0;
    // The size is only a hint: the file may grow or shrink while it is read.
    // One byte more than expected shows the end without a second pass. The
    // buffer never exceeds limit + 1 bytes, so a full one is a file too long.
    struct stat info;
    size_t capacity = std::min<size_t>(4096, limit) + 1;
    if (::fstat(descriptor, &info) == 0 && info.st_size > 0)
        capacity = (uint64_t(info.st_size) < limit ? size_t(info.st_size) : limit) + 1;
    for (;;) {
        char *data = buffer.grow(capacity);
        if (data == nullptr) {
            buffer.release();
            errno = ENOMEM;
            return false;
        }
        used += transferAll(descriptor, data + used, capacity - used, READING);
        if (used < capacity) {
            if (errno != 0) {
                buffer.release();
                return false;
            }
            return true;
        }
        if (used > limit) {
            buffer.release();
            errno = EFBIG;
            return false;
        }
        capacity = std::min(limit + 1, capacity * 2);
    }
}

struct StringBuffer {
    std::string &text;

    char *grow(size_t capacity)
    {
        try {
            text.resize(capacity);
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
        return &text[0];
    }
    void release() { std::string().swap(text); }
};

template <class Read> bool readRegularFile(const std::string &name, Read read)
{
    int descriptor = open_regular(name.c_str());
    if (descriptor < 0)
        return false;
    bool done = read(descriptor);
    int error = errno;
    ::close(descriptor);
    errno = error;
    return done;
}

} // namespace

bool read_to_end(int descriptor, size_t limit, std::string &text)
{
    text.clear();
    StringBuffer buffer{text};
    size_t used = 0;
    if (!readToEnd(descriptor, limit, buffer, used))
        return false;
    text.resize(used);
    return true;
}

bool read_regular_file(const std::string &name, size_t limit, std::string &text)
{
    text.clear();
    return readRegularFile(name, [&](int descriptor) { return read_to_end(descriptor, limit, text); });
}

FileText::~FileText()
{
    clear();
}

char *FileText::grow(size_t capacity)
{
    void *pages = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        return nullptr;
    if (m_data != nullptr) {
        memcpy(pages, m_data, m_capacity);
        ::munmap(m_data, m_capacity);
    }
    m_data = static_cast<char *>(pages);
    m_capacity = capacity;
    return m_data;
}

void FileText::clear()
{
    if (m_data != nullptr)
        ::munmap(m_data, m_capacity);
    m_data = nullptr;
    m_size = 0;
    m_capacity = 0;
}

bool FileText::read(int descriptor, size_t limit)
{
    clear();
    struct Pages {
        FileText &text;
        char *grow(size_t capacity) { return text.grow(capacity); }
        void release() { text.clear(); }
    } pages{*this};
    return readToEnd(descriptor, limit, pages, m_size);
}

bool read_regular_file(const std::string &name, size_t limit, FileText &text)
{
    text.clear();
    return readRegularFile(name, [&](int descriptor) { return text.read(descriptor, limit); });
}

struct flock whole_file_lock(short type)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
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
