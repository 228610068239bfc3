// The test root: the folder under the build tree where test programs find the
// system's fixed paths ("/etc/quillmesh/quillmesh.conf" and the rest). A
// TestRoot object empties it on construction and destruction so each test
// starts from nothing. Test programs that use it are never run concurrently.
#pragma once

#include <string>

namespace testsupport {

class TestRoot {
public:
    TestRoot();
    ~TestRoot();
    TestRoot(const TestRoot &) = delete;
    TestRoot &operator=(const TestRoot &) = delete;

    // The root itself (no trailing slash).
    static std::string path();
    // The test location of a fixed path: TestRoot::at("/etc/quillrec/quillrec.conf").
    static std::string at(const std::string &fixed_path);
    // Writes a file at the test location of a fixed path.
    static void write(const std::string &fixed_path, const std::string &content, int mode = 0644);
};

} // namespace testsupport
