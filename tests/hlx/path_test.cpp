#include "hlx/path.h"

#include "hlx/exceptions.h"
#include "hlx/file_util.h"
#include "support/expect_throw.h"
#include "support/forked_steps.h"
#include "support/temp_dir.h"
#include "support/test_root.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <sstream>

using hlx::path;
using testsupport::ExpectThrow;
using testsupport::ReadFile;
using testsupport::RunAsNobody;
using testsupport::TempDir;
using testsupport::WriteFile;
using ::testing::HasSubstr;

namespace {

bool Exists(const std::string &name)
{
    struct stat info;
    return lstat(name.c_str(), &info) == 0;
}

mode_t Mode(const std::string &name)
{
    struct stat info;
    if (stat(name.c_str(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

} // namespace

TEST(PathTest, ParsesComponentsAndGivesTextForms)
{
    struct Case {
        const char *text;
        bool absolute;
        std::vector<std::string> directories;
        std::string name;
        std::string portable;
        std::string native;
        std::string os;
    } cases[] = {
        {"//a///b/", true, {"a", "b"}, "", "/a/b", "/a\\b", "/a/b"},
        {"a/b/c", false, {"a", "b"}, "c", "a/b/c", "a\\b\\c", "a/b/c"},
        {"a/b/", false, {"a", "b"}, "", "a/b", "a\\b", "a/b"},
        {"/", true, {}, "", "/", "/", "/"},
        {"", false, {}, "", "", "", ""},
        {"name", false, {}, "name", "name", "name", "name"},
        {"a\\b", false, {"a"}, "b", "a/b", "a\\b", "a/b"},
        {"/tmp/my file", true, {"tmp"}, "my file", "/tmp/my_file", "/tmp\\my file", "/tmp/my file"},
        {"/my dir/ x ", true, {"my dir"}, " x ", "/my_dir/_x_", "/my dir\\ x ", "/my dir/ x "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        path p(c.text);
        EXPECT_EQ(c.absolute, p.is_absolute());
        EXPECT_EQ(c.directories, p.directories());
        EXPECT_EQ(c.name, p.name());
        EXPECT_EQ(c.portable, p.string());
        EXPECT_EQ(c.native, p.native_string());
        EXPECT_EQ(c.os, p.os_string());
        std::ostringstream out;
        out << p;
        EXPECT_EQ(c.portable, out.str());
    }
    EXPECT_TRUE(path("").empty());
    EXPECT_FALSE(path("/").empty());
    EXPECT_EQ("", path(static_cast<const char *>(nullptr)).string());
}

TEST(PathTest, JoinsRelativePathsAndRefusesAbsoluteOnes)
{
    struct Case {
        const char *left;
        const char *right;
        const char *joined;
    } cases[] = {
        {"a/b", "c/d", "a/b/c/d"},
        {"a/b/", "c", "a/b/c"},
        {"", "c/d/", "c/d"},
        {"/", "x", "/x"},
        {"/a", "", "/a"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.left) + " / " + c.right);
        EXPECT_EQ(c.joined, (path(c.left) / path(c.right)).string());
        path p(c.left);
        p /= path(c.right);
        EXPECT_EQ(c.joined, p.string());
    }
    ExpectThrow<hlx::BadDataException>([] { path("a/b") / path("/c"); }, "Attempt to append root path", -1);
}

TEST(PathTest, ActsOnNameWithSpaceNotOnItsPortableTwin)
{
    TempDir dir;
    std::string spaced = dir.write("my file", "real", 0600);
    std::string twin = dir.write("my_file", "twin", 0600);
    path p(spaced);

    EXPECT_TRUE(p.exists());
    EXPECT_FALSE(p.is_directory());
    p.chmod(0640);
    EXPECT_EQ(0640u, Mode(spaced));
    EXPECT_EQ(0600u, Mode(twin));
    p.chown(getuid(), getgid());

    path moved(dir.file("moved file"));
    p.rename(moved);
    EXPECT_EQ("real", ReadFile(dir.file("moved file")));
    EXPECT_EQ("twin", ReadFile(twin));

    moved.remove(false);
    EXPECT_FALSE(Exists(dir.file("moved file")));
    EXPECT_EQ("twin", ReadFile(twin));

    path tree(dir.file("a dir/sub dir"));
    tree.create_directories(0755);
    EXPECT_TRUE(Exists(dir.file("a dir/sub dir")));
    EXPECT_FALSE(Exists(dir.file("a_dir")));
    WriteFile(dir.file("a dir/sub dir/x"), "x");
    // Messages show the portable form.
    ExpectThrow<hlx::IOException>([&] { path(dir.file("a dir")).remove(false); },
                                  "Cannot remove directory " + path(dir.file("a dir")).string() +
                                      ": Directory not empty",
                                  -1);
    path(dir.file("a dir")).remove(true);
    EXPECT_FALSE(Exists(dir.file("a dir")));
}

TEST(PathTest, CreatesMissingParentsWithExactMode)
{
    TempDir dir;
    mode_t old = umask(022);
    path(dir.file("x/y/z")).create_directories(0775);
    umask(old);
    for (const char *name : {"x", "x/y", "x/y/z"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(unsigned(S_IFDIR | 0775), unsigned(Mode(dir.file(name)) | S_IFDIR));
    }
    // A path with an empty name names its last directory.
    path(dir.file("p/q/")).create_directories(0700);
    EXPECT_EQ(0700u, Mode(dir.file("p/q")));
}

TEST(PathTest, CreatingAnExistingDirectoryChangesItsModeAndFails)
{
    TempDir dir;
    std::string existing = dir.file("x");
    mkdir(existing.c_str(), 0700);
    ExpectThrow<hlx::IOException>([&] { path(existing).create_directories(0751); },
                                  "Cannot create directory " + existing + ": File exists", -1);
    EXPECT_EQ(0751u, Mode(existing));
}

TEST(PathTest, CreatingOverAnExistingFileLeavesItsModeAlone)
{
    TempDir dir;
    std::string file = dir.write("f", "data", 0600);
    ExpectThrow<hlx::IOException>([&] { path(file).create_directories(0777); },
                                  "Cannot create directory " + file + ": File exists", -1);
    EXPECT_EQ(0600u, Mode(file));
}

TEST(PathTest, RefusesEmptyPaths)
{
    const std::vector<std::function<void()>> actions = {
        [] { path().is_directory(); },
        [] { path().create_directories(0755); },
        [] { path().remove(true); },
        [] { path().rename(path("x")); },
        [] { path("x").rename(path()); },
        // The parent chain of a relative path whose first directory does not
        // exist ends at the empty path.
        [] { path("no-such-first-component.d/b").create_directories(0755); },
    };
    for (size_t i = 0; i < actions.size(); ++i) {
        SCOPED_TRACE(i);
        ExpectThrow<hlx::BadDataException>(actions[i], "Empty path", -1);
    }
    EXPECT_FALSE(path().exists());
}

TEST(PathTest, ReportsMissingFilesWithSystemText)
{
    TempDir dir;
    std::string missing = dir.file("missing");
    ExpectThrow<hlx::NotFoundException>([&] { path(missing).is_directory(); },
                                        "Cannot stat " + missing + ": No such file or directory", -1);
    ExpectThrow<hlx::IOException>([&] { path(missing).rename(path(dir.file("to"))); },
                                  "Cannot rename " + missing + " to " + dir.file("to") +
                                      ": No such file or directory",
                                  -1);
    ExpectThrow<hlx::IOException>([&] { path(missing).chmod(0755); },
                                  "Can't change permissions of " + missing + " to 1ed: No such file or directory",
                                  0);
    ExpectThrow<hlx::IOException>([&] { path(missing).chown(12, 34); },
                                  "Can't change owner of " + missing + " to 12/34: No such file or directory", 0);
    EXPECT_FALSE(path(missing).exists());
}

TEST(PathTest, RemovesFilesAndDirectories)
{
    TempDir dir;
    path(dir.file("missing")).remove(false);

    std::string file = dir.write("f", "x");
    path(file).remove(false);
    EXPECT_FALSE(Exists(file));

    std::string empty = dir.file("empty");
    mkdir(empty.c_str(), 0755);
    path(empty).remove(false);
    EXPECT_FALSE(Exists(empty));

    dir.write("tree/a/b/c", "x");
    dir.write("tree/a/d", "x");
    dir.write("tree/e", "x");
    ExpectThrow<hlx::IOException>([&] { path(dir.file("tree")).remove(false); },
                                  "Cannot remove directory " + dir.file("tree") + ": Directory not empty", -1);
    EXPECT_TRUE(Exists(dir.file("tree/a/b/c")));
    path(dir.file("tree/")).remove(true);
    EXPECT_FALSE(Exists(dir.file("tree")));
}

TEST(PathTest, RemovesSymbolicLinksNeverTheirTargets)
{
    TempDir dir;
    std::string keep = dir.write("outside/keep", "precious");
    dir.write("tree/file", "x");
    ASSERT_EQ(0, symlink(dir.file("outside").c_str(), dir.file("tree/link").c_str()));
    ASSERT_EQ(0, symlink(dir.file("nowhere").c_str(), dir.file("tree/dangling").c_str()));
    ASSERT_EQ(0, symlink(dir.file("outside").c_str(), dir.file("dirlink").c_str()));

    path(dir.file("tree")).remove(true);
    EXPECT_FALSE(Exists(dir.file("tree")));
    EXPECT_EQ("precious", ReadFile(keep));

    path(dir.file("dirlink")).remove(false);
    EXPECT_FALSE(Exists(dir.file("dirlink")));
    EXPECT_EQ("precious", ReadFile(keep));
}

TEST(PathTest, RecursiveRemovalTakesEntryNamesLiterally)
{
    TempDir dir;
    std::string victim = dir.write("victim", "precious");
    dir.write("tree/sub/x", "x");
    // A legal Linux file name that would climb out of the tree if it were
    // parsed as a path.
    dir.write("tree/sub/..\\..\\victim", "bait");
    path(dir.file("tree")).remove(true);
    EXPECT_FALSE(Exists(dir.file("tree")));
    EXPECT_EQ("precious", ReadFile(victim));
}

TEST(PathTest, TellsDirectoriesFromFiles)
{
    TempDir dir;
    std::string file = dir.write("f", "x");
    ASSERT_EQ(0, symlink(dir.path().c_str(), dir.file("link").c_str()));
    EXPECT_TRUE(path(dir.path()).is_directory());
    EXPECT_TRUE(path(dir.file("link")).is_directory());
    EXPECT_FALSE(path(file).is_directory());
}

TEST(PathTest, TempNameFollowsTemplateAndLeavesNoFile)
{
    testsupport::TestRoot root;
    const std::string prefix = testsupport::TestRoot::at("/tmp/vexa");
    std::string first = path::temp_name();
    std::string second = path::temp_name();
    for (const std::string &name : {first, second}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(prefix.size() + 6, name.size());
        EXPECT_EQ(prefix, name.substr(0, prefix.size()));
        EXPECT_FALSE(Exists(name));
    }
    EXPECT_NE(first, second);
}

TEST(DirectoryIteratorTest, ListsEntriesWithoutDotEntries)
{
    TempDir dir;
    dir.write("a", "");
    dir.write("b c", "");
    dir.write("sub/d", "");
    std::set<std::string> seen;
    for (hlx::directory_iterator it(path(dir.path())); it != hlx::directory_iterator::end(); ++it)
        seen.insert(it->os_string());
    EXPECT_EQ((std::set<std::string>{dir.file("a"), dir.file("b c"), dir.file("sub")}), seen);
}

TEST(DirectoryIteratorTest, EmptyDirectoryEqualsEndAtOnce)
{
    TempDir dir;
    hlx::directory_iterator it{path(dir.path() + "/")};
    EXPECT_TRUE(it == hlx::directory_iterator::end());
    ++it;
    EXPECT_TRUE(it == hlx::directory_iterator::end());
}

TEST(DirectoryIteratorTest, ReportsMissingAndUnreadableDirectories)
{
    TempDir dir;
    std::string missing = dir.file("missing 1");
    ExpectThrow<hlx::NotFoundException>([&] { hlx::directory_iterator it{path(missing)}; },
                                        path(missing).string() + ": No such directory", 0);

    std::string locked = dir.file("locked%s");
    mkdir(locked.c_str(), 0);
    chmod(dir.path().c_str(), 0755);
    int result = RunAsNobody([&] {
        try {
            hlx::directory_iterator it{path(locked)};
        } catch (const hlx::SystemException &e) {
            return (e.what() == locked + ": Failed to open" && e.rc() == EACCES) ? 0 : 1;
        }
        return 2;
    });
    EXPECT_EQ(0, result);
}

// File utilities

TEST(FileUtilTest, MakesTemporaryFilesFromTemplate)
{
    TempDir dir;
    std::string name = dir.file("t.XXXXXX");
    int fd = hlx::file_util::make_temp(name);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(dir.file("t.").size() + 6, name.size());
    EXPECT_NE(dir.file("t.XXXXXX"), name);
    EXPECT_TRUE(Exists(name));
    EXPECT_EQ(FD_CLOEXEC, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);

    std::string created = dir.file("c.XXXXXX");
    fd = hlx::file_util::create_temp(created, 0640, getuid(), getgid());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0640u, hlx::file_util::file_permissions(created));
    close(fd);

    const std::string pattern = dir.file("o.XXXXXX");
    std::vector<char> opened(pattern.c_str(), pattern.c_str() + pattern.size() + 1);
    FILE *out = hlx::file_util::open_temp(opened.data(), 0604);
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(FD_CLOEXEC, fcntl(fileno(out), F_GETFD) & FD_CLOEXEC);
    fputs("hello", out);
    fclose(out);
    EXPECT_EQ("hello", ReadFile(opened.data()));
    EXPECT_EQ(5, hlx::file_util::file_size(std::string(opened.data())));
    EXPECT_EQ(0604u, hlx::file_util::file_permissions(opened.data()));
}

TEST(FileUtilTest, ReportsFailedCallsAsSystemExceptions)
{
    TempDir dir;
    const std::string missing = dir.file("missing");
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { hlx::file_util::file_size(missing); }, "No such file or directory"},
        {[&] { hlx::file_util::file_permissions(missing.c_str()); }, "No such file or directory"},
        {[&] {
             std::string bad = dir.file("no-template");
             hlx::file_util::make_temp(bad);
         },
         "Invalid argument"},
        {[&] {
             std::string bad = dir.file("missing/t.XXXXXX");
             hlx::file_util::make_temp(bad);
         },
         "No such file or directory"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        ExpectThrow<hlx::SystemException>(cases[i].first, "OS call failed: " + cases[i].second, -1);
    }
}

TEST(FileUtilTest, CreateTempRemovesFileWhoseOwnerCannotBeSet)
{
    TempDir dir;
    std::string shared = dir.file("shared");
    mkdir(shared.c_str(), 0777);
    chmod(shared.c_str(), 0777);
    chmod(dir.path().c_str(), 0755);
    int result = RunAsNobody([&] {
        std::string name = shared + "/t.XXXXXX";
        if (hlx::file_util::create_temp(name, 0600, 0, 0) != -1)
            return 1;
        return Exists(name) ? 2 : 0;
    });
    EXPECT_EQ(0, result);
}
