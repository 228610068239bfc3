#include "hlx/logger.h"
#include "hlx/properties.h"
#include "support/syslog_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

using testsupport::ReadFile;
using testsupport::SyslogCapture;
using testsupport::TempDir;

namespace {

void loadInto(hlx::Properties &store, const std::string &text)
{
    std::istringstream in(text);
    store.load(in, true);
}

bool exists(const std::string &path)
{
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> errorLines(const SyslogCapture &capture)
{
    std::vector<std::string> errors;
    for (const std::string &line : capture.lines())
        if (line.compare(0, 5, "ERROR") == 0)
            errors.push_back(line);
    return errors;
}

} // namespace

TEST(PropertiesSave, RewritesLinesKeepingLayoutOrderAndComments)
{
    const struct {
        const char *what;
        const char *file;
        const char *store;
        const char *saved;
        bool rereadsAsStored = true;
    } cases[] = {
        {"unchanged values, blank runs shrink to one", "# head\na: 1\n\n\n\nb: 2\n\n", "a: 1\nb: 2\n",
         "# head\na: 1\n\nb: 2\n\n"},
        {"changed value keeps its place and the comments", "# c1\na: 1\n# c2\nb = 2\n", "a: 9\nb: 2\n",
         "# c1\na: 9\n# c2\nb = 2\n"},
        {"name the store lacks is removed", "a: 1\ngone: 2\nb: 3\n", "a: 1\nb: 3\n", "a: 1\nb: 3\n"},
        {"names the file lacks are appended in name order", "m: 1\n", "m: 1\nz: 26\nb: 2\n", "m: 1\nb: 2\nz: 26\n"},
        {"a name twice gets the stored value twice", "a: 1\na: 2\n", "a: 3\n", "a: 3\na: 3\n"},
        {"continued line is joined", "a: x \\\n  y\n", "a: x y\n", "a: x    y\n"},
        {"comment ending in a backslash takes the next line", "# note \\\nb: 1\n", "b: 2\n",
         "# note  b: 1\nb: 2\n"},
        {"quoted value equal to the store stays as written", "q: \"v  w\"\n", "q: \"v  w\"\n", "q: \"v  w\"\n"},
        // Values are written as stored, without quoting: this one reads back folded.
        {"changed value is written as stored", "q: 1\n", "q: \"v  w\"\n", "q: v  w\n", false},
        {"name with an escaped space", "a\\ b: 1\nc: 1\n", "a\\ b: 2\nc: 1\n", "a\\ b: 2\nc: 1\n"},
        {"appended names keep separators, backslashes and quotes escaped", "",
         "x\\:y: 1\nk\\=v: 2\nback\\\\slash: 3\nq\\\"uote: 4\n \\#hash: 5\n",
         "\\#hash: 5\nback\\\\slash: 3\nk\\=v: 2\nq\\\"uote: 4\nx\\:y: 1\n"},
    };
    for (const auto &c : cases) {
        TempDir dir;
        std::string path = dir.write("quillrec.conf", c.file, 0600);
        hlx::Properties store;
        loadInto(store, c.store);
        ASSERT_EQ(store.save(path), 0) << c.what;
        std::string saved = ReadFile(path);
        EXPECT_EQ(saved, c.saved) << c.what;

        if (!c.rereadsAsStored)
            continue;
        // What was saved reads back as the same names and values.
        hlx::Properties reread;
        loadInto(reread, saved);
        std::ostringstream want, got;
        store.dump(want, "");
        reread.dump(got, "");
        EXPECT_EQ(got.str(), want.str()) << c.what;
    }
}

TEST(PropertiesSave, SuccessLeavesMode0644AndNoSideOrLockFile)
{
    TempDir dir;
    std::string path = dir.write("quillrec.conf", "a: 1\n", 0600);
    hlx::Properties store;
    loadInto(store, "a: 2\n");
    ASSERT_EQ(store.save(path), 0);
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    EXPECT_FALSE(exists(path + ".new"));
    EXPECT_FALSE(exists(path + ".lock"));
}

TEST(PropertiesSave, FreshLockOfAnotherWriterMakesSaveFail)
{
    TempDir dir;
    std::string path = dir.write("quillrec.conf", "a: 1\n");
    std::string lock = dir.write("quillrec.conf.lock", "");
    hlx::Properties store;
    loadInto(store, "a: 2\n");
    SyslogCapture capture;
    EXPECT_EQ(store.save(path), -1);
    EXPECT_EQ(ReadFile(path), "a: 1\n");
    EXPECT_TRUE(exists(lock));
    EXPECT_FALSE(exists(path + ".new"));
    EXPECT_EQ(errorLines(capture),
              std::vector<std::string>{"ERROR util.properties Unable to create lock file " + lock + ": File exists"});
}

TEST(PropertiesSave, StaleLockIsRemovedAndTheSaveProceeds)
{
    TempDir dir;
    std::string path = dir.write("quillrec.conf", "a: 1\n");
    std::string lock = dir.write("quillrec.conf.lock", "");
    struct timeval old[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
    ASSERT_EQ(utimes(lock.c_str(), old), 0);
    hlx::Properties store;
    loadInto(store, "a: 2\n");
    EXPECT_EQ(store.save(path), 0);
    EXPECT_EQ(ReadFile(path), "a: 2\n");
    EXPECT_FALSE(exists(lock));
}

TEST(PropertiesSave, OpenFailuresReleaseTheLockAndLeaveTheFile)
{
    TempDir dir;
    hlx::Properties store;
    loadInto(store, "a: 2\n");
    {
        std::string missing = dir.file("missing.conf");
        SyslogCapture capture;
        EXPECT_EQ(store.save(missing), -1);
        EXPECT_FALSE(exists(missing));
        EXPECT_FALSE(exists(missing + ".lock"));
        EXPECT_EQ(errorLines(capture),
                  std::vector<std::string>{"ERROR util.properties Unable to open config file " + missing});
    }
    {
        // The side file's path is taken by a directory.
        std::string path = dir.write("quillrec.conf", "a: 1\n");
        ASSERT_EQ(mkdir((path + ".new").c_str(), 0755), 0);
        SyslogCapture capture;
        EXPECT_EQ(store.save(path), -1);
        EXPECT_EQ(ReadFile(path), "a: 1\n");
        EXPECT_FALSE(exists(path + ".lock"));
        EXPECT_EQ(errorLines(capture),
                  std::vector<std::string>{"ERROR util.properties Unable to open temporary config file " + path +
                                           ".new"});
    }
}

TEST(PropertiesSave, FullDiskLeavesTheOldFileIntact)
{
    TempDir dir;
    std::string path = dir.write("quillrec.conf", "a: 1\n");
    SyslogCapture capture;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        hlx::Properties store;
        loadInto(store, "a: 1\nbig: " + std::string(4096, 'x') + "\n");
        // Writing past the limit fails with EFBIG instead of killing the process.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1024, 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(10);
        _exit(store.save(path) == -1 ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(path), "a: 1\n");
    EXPECT_FALSE(exists(path + ".new"));
    EXPECT_FALSE(exists(path + ".lock"));
    EXPECT_EQ(errorLines(capture), std::vector<std::string>{"ERROR util.properties Unable to write temporary "
                                                            "config file " +
                                                            path + ".new: File too large"});
}

TEST(PropertiesSave, RefusedReplacementLeavesTheOldFileIntact)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to own the file that an unprivileged writer may not replace";
    TempDir dir;
    // A sticky directory: anyone may create files in it, but only the owner
    // may replace root's configuration file.
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    std::string path = dir.write("quillrec.conf", "a: 1\n", 0644);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        // The lock and side files can be made: what fails is the rename.
        int probe = open((path + ".probe").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (probe < 0 || close(probe) != 0 || unlink((path + ".probe").c_str()) != 0)
            _exit(12);
        hlx::Properties store;
        loadInto(store, "a: 2\n");
        _exit(store.save(path) == -1 ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(path), "a: 1\n");
    EXPECT_FALSE(exists(path + ".new"));
    EXPECT_FALSE(exists(path + ".lock"));
}
