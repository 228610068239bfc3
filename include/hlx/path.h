// hlx::path: a file-system path as a value (directory components, a last
// name, an absolute flag) and hlx::directory_iterator over a directory.
//
// Text forms:
//   string()        portable form: '/' separators, every space shown as '_';
//                   used for display, stream output and exception messages.
//   native_string() backslash separators, spaces kept.
//   os_string()     '/' separators, spaces kept: the name every system call
//                   is given, so "/tmp/my file" is never confused with
//                   "/tmp/my_file".
//
// Failures throw hlx::BadDataException (misuse), hlx::NotFoundException
// (missing file), hlx::IOException (a failed change to the file system) or
// hlx::SystemException (other system failures).
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <iosfwd>
#include <string>
#include <vector>

namespace hlx {

class path {
public:
    path();
    path(const char *text);
    path(const std::string &text);

    const std::vector<std::string> &directories() const { return m_directories; }
    const std::string &name() const { return m_name; }
    bool is_absolute() const { return m_absolute; }
    // No directories, an empty name and not absolute.
    bool empty() const;

    std::string string() const;
    std::string native_string() const;
    std::string os_string() const;

    // False for an empty path; otherwise whether stat() succeeds (links followed).
    bool exists() const;
    // Throws BadDataException "Empty path" or NotFoundException "Cannot stat ...".
    bool is_directory() const;

    // Appends a relative path: the current name becomes a directory.
    // Appending an absolute path throws BadDataException.
    path &operator/=(const path &other);
    bool operator<(const path &other) const;

    void chmod(mode_t mode) const;
    void chown(uid_t uid, gid_t gid) const;
    // mkdir -p; every directory created gets exactly `mode`, whatever the umask.
    void create_directories(mode_t mode) const;
    void rename(const path &to) const;
    // Removes a file, a symbolic link (never its target) or a directory; with
    // `recursive` also everything in the directory. A missing path is no error.
    void remove(bool recursive) const;

    // A name from the temporary-file template that did not exist when it was
    // returned (the file made to reserve it is removed again).
    static std::string temp_name();

private:
    friend class directory_iterator;
    std::string text(char separator, bool portable) const;

    std::vector<std::string> m_directories;
    std::string m_name;
    bool m_absolute;
};

path operator/(const path &a, const path &b);
// Writes string(). Defined apart (path_stream.cpp), so that programs that
// never print a path never link iostreams.
std::ostream &operator<<(std::ostream &out, const path &p);

// Iterates over the entries of one directory ("." and ".." skipped).
//
//   for (directory_iterator it(dir); it != directory_iterator::end(); ++it)
//       use(*it);
class directory_iterator {
public:
    // Throws NotFoundException "<dir>: No such directory" or SystemException
    // "<dir>: Failed to open".
    explicit directory_iterator(const path &directory);
    ~directory_iterator();
    directory_iterator(const directory_iterator &) = delete;
    directory_iterator &operator=(const directory_iterator &) = delete;

    // The shared iterator every finished iterator compares equal to.
    static const directory_iterator &end();

    directory_iterator &operator++();
    // The current entry: the directory path with the entry's name as its name.
    const path &operator*() const { return m_current; }
    const path *operator->() const { return &m_current; }

    bool operator==(const directory_iterator &other) const;
    bool operator!=(const directory_iterator &other) const { return !(*this == other); }

private:
    directory_iterator();

    path m_directory;
    path m_current;
    DIR *m_handle;
};

} // namespace hlx
