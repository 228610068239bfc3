#include "support/temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testsupport {

TempDir::TempDir()
{
    std::string base = std::string(TRAILSEND_BUILD_DIR) + "/tmp";
    MakeDirectories(base);
    std::vector<char> name(base.begin(), base.end());
    const char suffix[] = "/t.XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    if (!mkdtemp(name.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(strerror(errno)));
    m_path = name.data();
}

TempDir::~TempDir()
{
    RemoveTree(m_path);
}

std::string TempDir::write(const std::string &name, const std::string &content, int mode) const
{
    std::string path = file(name);
    WriteFile(path, content, mode);
    return path;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string &path, const std::string &content, int mode)
{
    auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        MakeDirectories(path.substr(0, slash));
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        throw std::runtime_error("cannot write " + path + ": " + strerror(errno));
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            close(fd);
            throw std::runtime_error("cannot write " + path + ": " + strerror(errno));
        }
        done += static_cast<size_t>(n);
    }
    fchmod(fd, static_cast<mode_t>(mode));
    close(fd);
}

void MakeDirectories(const std::string &path)
{
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    if (!path.empty() && path[0] == '/')
        partial = "";
    while (std::getline(parts, part, '/')) {
        if (part.empty())
            continue;
        partial += "/" + part;
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("mkdir " + partial + ": " + strerror(errno));
    }
}

void RemoveTree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR *dir = opendir(path.c_str())) {
            while (struct dirent *entry = readdir(dir)) {
                if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
                    continue;
                RemoveTree(path + "/" + entry->d_name);
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

} // namespace testsupport
