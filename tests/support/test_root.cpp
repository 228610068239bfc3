#include "support/test_root.h"

#include "client_common/well_known_paths.h"
#include "support/temp_dir.h"

namespace testsupport {

namespace {

void Reset()
{
    RemoveTree(TestRoot::path());
    for (const char *dir : {"/etc/quillmesh", "/etc/quillrec", "/var/quillmesh", "/var/log", "/tmp"})
        MakeDirectories(TestRoot::path() + dir);
}

} // namespace

TestRoot::TestRoot() { Reset(); }
TestRoot::~TestRoot() { Reset(); }

std::string TestRoot::path() { return WELL_KNOWN_ROOT_PATH; }

std::string TestRoot::at(const std::string &fixed_path) { return path() + fixed_path; }

void TestRoot::write(const std::string &fixed_path, const std::string &content, int mode)
{
    WriteFile(at(fixed_path), content, mode);
}

} // namespace testsupport
