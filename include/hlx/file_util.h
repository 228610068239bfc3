// Temporary files and file attributes.
//
// Failures of the underlying calls throw hlx::SystemException
// ("OS call failed: <error text>", result code -1); create_temp alone reports
// a failed permission or ownership change by returning -1.
#pragma once

#include <sys/types.h>

#include <fstream>
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

// mkstemp() on `name_template` in place, fchmod() to `mode`, then opens `out`
// on the created name for writing (a failed open sets its failbit). The
// descriptor used to create the file is closed again.
void open_temp(char *name_template, mode_t mode, std::ofstream &out);
// The same with fchown() to uid/gid after the fchmod().
void open_temp(char *name_template, mode_t mode, uid_t uid, gid_t gid, std::ofstream &out);

off_t file_size(const char *name);
off_t file_size(const std::string &name);

// Permission bits (mode & 0777).
mode_t file_permissions(const char *name);
mode_t file_permissions(const std::string &name);

} // namespace file_util
} // namespace hlx
