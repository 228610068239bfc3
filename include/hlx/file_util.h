// Temporary files, file attributes, and the framework's one loop for
// reading or writing a whole buffer.
//
// Failures of the underlying calls throw hlx::SystemException
// ("OS call failed: <error text>", result code -1); create_temp alone reports
// a failed permission or ownership change by returning -1, and read_all and
// write_all never throw.
#pragma once

#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>

namespace hlx {
namespace file_util {

// mkstemp() on a copy of `name_template` (ending in "XXXXXX"); on success the
// template receives the created name. Returns the open descriptor
// (close-on-exec).
int make_temp(std::string &name_template);

// make_temp(), then fchmod() to `mode` and fchown() to uid/gid. If either
// change fails the file is closed and unlinked and -1 is returned.
int create_temp(std::string &name_template, mode_t mode, uid_t uid, gid_t gid);

// mkstemp() on `name_template` in place, fchmod() to `mode`, and a stream
// for writing on the created file's own (close-on-exec) descriptor, so the
// stream writes the very file that was created. Null, with errno set and the
// file removed, when no stream can be made.
FILE *open_temp(char *name_template, mode_t mode);
// The same with fchown() to uid/gid after the fchmod().
FILE *open_temp(char *name_template, mode_t mode, uid_t uid, gid_t gid);

// Opens `name` for reading the way the framework opens every file it reads:
// close-on-exec, never as the controlling terminal, and without waiting for
// the writer of a FIFO (O_NONBLOCK). Only a regular file is kept; any other
// type gives -1 with errno EISDIR (a directory) or EINVAL.
int open_regular(const char *name);
// Reads from `descriptor` to the end into `text`. False, with errno set and
// `text` empty, when a read fails, when there are more than `limit` bytes
// (EFBIG) or when memory runs out (ENOMEM).
bool read_to_end(int descriptor, size_t limit, std::string &text);
// open_regular() and read_to_end() in one, closing the file again.
bool read_regular_file(const std::string &name, size_t limit, std::string &text);

// A file's text in pages of its own instead of on the heap. A large
// configuration read again after the values of the last one were freed
// then costs no gathering of the freed blocks, which any large heap block
// would ask of the allocator first.
class FileText {
public:
    FileText() = default;
    ~FileText();
    FileText(const FileText &) = delete;
    FileText &operator=(const FileText &) = delete;

    const char *data() const { return m_data; }
    size_t size() const { return m_size; }

    // read_to_end() into this text.
    bool read(int descriptor, size_t limit);
    void clear();

private:
    char *grow(size_t capacity);

    char *m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

// read_regular_file() into a FileText.
bool read_regular_file(const std::string &name, size_t limit, FileText &text);

// The record of an fcntl() lock on the whole file, from its first byte to
// any end it may grow to; `type` is F_RDLCK, F_WRLCK or F_UNLCK.
struct flock whole_file_lock(short type);

off_t file_size(const char *name);
off_t file_size(const std::string &name);

// Permission bits (mode & 0777).
mode_t file_permissions(const char *name);
mode_t file_permissions(const std::string &name);

// Read or write until `size` bytes are moved, in the same loop:
//   EINTR        the call is made again;
//   EAGAIN       (a non-blocking descriptor) poll() waits until it is ready;
//   short count  the rest is asked for at once;
//   0            the end: end of file or a closed peer for reading, a
//                descriptor that takes nothing more for writing (a write to
//                a closed peer fails with EPIPE instead); errno is then 0.
// Return the bytes moved: `size`, or fewer when an end or a failed call
// (errno tells which) stopped the loop; what was moved before stays moved.
size_t read_all(int descriptor, void *buffer, size_t size);
size_t write_all(int descriptor, const void *buffer, size_t size);

} // namespace file_util
} // namespace hlx
