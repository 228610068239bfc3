// A temporary folder under the build tree, removed with everything in it
// when the object goes out of scope.
#pragma once

#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return m_path; }
    // Path of a name inside the folder.
    std::string file(const std::string &name) const { return m_path + "/" + name; }
    // Writes a file inside the folder (creating parent folders) and returns its path.
    std::string write(const std::string &name, const std::string &content, int mode = 0644) const;

private:
    std::string m_path;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string &path);
// Writes a whole file, creating parent folders; throws std::runtime_error on failure.
void WriteFile(const std::string &path, const std::string &content, int mode = 0644);
// mkdir -p.
void MakeDirectories(const std::string &path);
// rm -rf.
void RemoveTree(const std::string &path);

} // namespace testsupport
