#include "hlx/logger.h"
#include "hlx/properties.h"
#include "support/syslog_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using testsupport::ReadFile;
using testsupport::SyslogCapture;
using testsupport::TempDir;

// The writer processes of the race tests below slow the calls of the lock
// file protocol down at random, to widen every window between two calls. The
// test program is linked with --wrap for these calls (tests/CMakeLists.txt),
// so the framework's own calls come through here; nothing else changes.
extern "C" {
int __real_open(const char *path, int flags, ...);
int __real_fcntl(int descriptor, int command, ...);
int __real_linkat(int fromDirectory, const char *from, int toDirectory, const char *to, int flags);
int __real_unlink(const char *path);
int __real_rename(const char *from, const char *to);
}

namespace {

bool gDelayCalls = false;
unsigned gRandom = 1;
// Makes the file system look as if it had no unnamed files (O_TMPFILE).
bool gRefuseUnnamedFiles = false;

void delayCall()
{
    if (!gDelayCalls)
        return;
    gRandom = gRandom * 1103515245u + 12345u;
    if ((gRandom >> 16) % 4 != 0)
        usleep((gRandom >> 8) % 1000);
}

// What the writers of the save race share: the saves each made and the
// renames of the configuration file each made, with the check that a rename
// moved exactly the content of its own writer into place.
struct SaveRace {
    char path[512];
    int lastRenamer;
    std::atomic<int> saved[8];
    std::atomic<int> renamed[8];
    std::atomic<int> foreignRenames;
};
SaveRace *gSaveRace = nullptr;
int gWriter = 0;

std::string SavedContent(int writer)
{
    return "writer: " + std::to_string(writer) + "\npad: " + std::string(100000, char('a' + writer)) + "\n";
}

} // namespace

extern "C" int __wrap_open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = mode_t(va_arg(arguments, int));
        va_end(arguments);
    }
    delayCall();
    if (gRefuseUnnamedFiles && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return __real_open(path, flags, mode);
}

extern "C" int __wrap_fcntl(int descriptor, int command, ...)
{
    va_list arguments;
    va_start(arguments, command);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    delayCall();
    return __real_fcntl(descriptor, command, argument);
}

extern "C" int __wrap_linkat(int fromDirectory, const char *from, int toDirectory, const char *to, int flags)
{
    delayCall();
    return __real_linkat(fromDirectory, from, toDirectory, to, flags);
}

extern "C" int __wrap_unlink(const char *path)
{
    delayCall();
    return __real_unlink(path);
}

extern "C" int __wrap_rename(const char *from, const char *to)
{
    delayCall();
    int result = __real_rename(from, to);
    if (result == 0 && gSaveRace != nullptr && strcmp(to, gSaveRace->path) == 0) {
        // The writer still holds the lock: nobody else may touch the file now.
        gSaveRace->renamed[gWriter]++;
        gSaveRace->lastRenamer = gWriter;
        if (ReadFile(to) != SavedContent(gWriter))
            gSaveRace->foreignRenames++;
    }
    return result;
}

namespace {

// Shared by a test and the processes it forks.
template <typename T>
T *SharedRecord()
{
    void *memory = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : new (memory) T();
}

// Starts `count` writer processes running `writer(index)` with delayed calls,
// all at once, and returns their ids.
std::vector<pid_t> StartWriters(int count, const std::function<void(int)> &writer)
{
    int start[2];
    if (pipe(start) != 0)
        return {};
    std::vector<pid_t> writers;
    for (int index = 0; index < count; ++index) {
        pid_t child = fork();
        if (child == 0) {
            close(start[1]);
            char go;
            if (read(start[0], &go, 1) != 0)
                _exit(20);
            gDelayCalls = true;
            gRandom = unsigned(getpid());
            writer(index);
            _exit(0);
        }
        if (child > 0)
            writers.push_back(child);
    }
    close(start[0]);
    close(start[1]);
    return writers;
}

// Waits for the writers, running `meanwhile` over and over until the last
// one has ended; returns their wait statuses in order.
std::vector<int> WaitForWriters(std::vector<pid_t> writers, const std::function<void()> &meanwhile)
{
    std::vector<int> statuses(writers.size(), -1);
    size_t running = writers.size();
    while (running > 0) {
        meanwhile();
        for (size_t i = 0; i < writers.size(); ++i) {
            if (writers[i] > 0 && waitpid(writers[i], &statuses[i], WNOHANG) == writers[i]) {
                writers[i] = 0;
                --running;
            }
        }
    }
    return statuses;
}

void Age(const std::string &path, int seconds)
{
    struct timeval old[2] = {{time(nullptr) - seconds, 0}, {time(nullptr) - seconds, 0}};
    utimes(path.c_str(), old);
}

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
        {"a macro takes the earlier value as written", "p: a\\\\b\nq: [$p]\n", "p: a\\\\b\nq: [$p]\n",
         "p: a\\\\b\nq: [$p]\n"},
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

TEST(PropertiesSave, TakesOverOnlyLocksWhoseHolderIsGone)
{
    enum Holder { WITHOUT_LOCK, LIVE, GONE };
    const struct {
        const char *what;
        Holder holder;
        int age;
        bool saves;
    } cases[] = {
        // Lock files of writers that only create the file are stale by age.
        {"young lock file of a writer without locks", WITHOUT_LOCK, 0, false},
        {"old lock file of a writer without locks", WITHOUT_LOCK, 120, true},
        // A holder's lock file is taken over the moment it is gone, never
        // before. Its descriptor closes when it dies; another descriptor of
        // this process conflicts with the save's like another process's.
        {"lock file of a live holder", LIVE, 0, false},
        {"lock file of a holder gone", GONE, 0, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string path = dir.write("quillrec.conf", "a: 1\n");
        std::string lock = path + ".lock";
        int held = c.holder == WITHOUT_LOCK ? -1 : hlx::createLockFile(lock);
        if (c.holder == WITHOUT_LOCK)
            testsupport::WriteFile(lock, "");
        if (c.holder == GONE)
            close(held);
        Age(lock, c.age);
        hlx::Properties store;
        loadInto(store, "a: 2\n");
        SyslogCapture capture;
        EXPECT_EQ(store.save(path), c.saves ? 0 : -1);
        EXPECT_EQ(ReadFile(path), c.saves ? "a: 2\n" : "a: 1\n");
        EXPECT_EQ(exists(lock), !c.saves);
        EXPECT_FALSE(exists(path + ".new"));
        std::vector<std::string> errors;
        if (!c.saves)
            errors.push_back("ERROR util.properties Unable to create lock file " + lock + ": File exists");
        EXPECT_EQ(errorLines(capture), errors);
        if (c.holder == LIVE)
            hlx::removeLockFile(lock, held);
    }
}

TEST(PropertiesSave, LockFileHasOneHolderAtATime)
{
    struct Holders {
        std::atomic<pid_t> holder;
        std::atomic<int> overlaps, acquired, lostReleases;
    };
    const int kWriters = 8;
    const int kRounds = 30;
    // Lock files made unnamed and then linked, and (as on file systems
    // without unnamed files) made under their name and then locked.
    for (bool unnamedFiles : {true, false}) {
        SCOPED_TRACE(unnamedFiles ? "unnamed files" : "no unnamed files");
        gRefuseUnnamedFiles = !unnamedFiles;
        Holders *holders = SharedRecord<Holders>();
        ASSERT_NE(holders, nullptr);
        TempDir dir;
        // Every writer starts against an abandoned lock file of a writer without locks.
        std::string lock = dir.write("quillrec.conf.lock", "");
        Age(lock, 120);
        std::vector<pid_t> writers = StartWriters(kWriters, [&](int writer) {
            for (int round = 0; round < kRounds; ++round) {
                int descriptor = hlx::createLockFile(lock);
                if (descriptor < 0)
                    continue;
                pid_t none = 0;
                if (!holders->holder.compare_exchange_strong(none, getpid()))
                    holders->overlaps++;
                holders->acquired++;
                delayCall();
                holders->holder = 0;
                // Odd writers die once, holding the lock: the others take it over.
                if (writer % 2 == 1 && round == writer * 4 + 1)
                    raise(SIGKILL);
                if (hlx::removeLockFile(lock, descriptor) != 0)
                    holders->lostReleases++;
            }
        });
        gRefuseUnnamedFiles = false;
        ASSERT_EQ(writers.size(), size_t(kWriters));
        // Meanwhile every lock file looks old, as that of a holder slow beyond
        // the age rule: a live holder must keep its lock all the same.
        std::vector<int> statuses = WaitForWriters(writers, [&] { Age(lock, 120); });
        for (int writer = 0; writer < kWriters; ++writer) {
            int status = statuses[size_t(writer)];
            if (writer % 2 == 1)
                EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << writer;
            else
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << writer;
        }
        EXPECT_EQ(holders->overlaps, 0);
        EXPECT_EQ(holders->lostReleases, 0);
        // Had a dead holder's lock waited for its age, nearly every attempt
        // after the first death would have failed.
        EXPECT_GT(holders->acquired, kWriters * kRounds / 2);
        munmap(holders, sizeof *holders);
    }
}

TEST(PropertiesSave, ConcurrentSavesNeitherMixNorLoseTheirContent)
{
    const int kWriters = 6;
    const int kSaves = 4;
    TempDir dir;
    std::string path = dir.write("quillrec.conf", SavedContent(7));
    SaveRace *race = SharedRecord<SaveRace>();
    ASSERT_NE(race, nullptr);
    snprintf(race->path, sizeof race->path, "%s", path.c_str());
    race->lastRenamer = 7;
    std::vector<std::unique_ptr<hlx::Properties>> stores;
    for (int writer = 0; writer < kWriters; ++writer) {
        stores.emplace_back(new hlx::Properties);
        loadInto(*stores.back(), SavedContent(writer));
    }
    std::vector<pid_t> writers = StartWriters(kWriters, [&](int writer) {
        gSaveRace = race;
        gWriter = writer;
        for (int save = 0; save < kSaves; ++save)
            if (stores[writer]->save(path) == 0)
                race->saved[writer]++;
    });
    ASSERT_EQ(writers.size(), size_t(kWriters));
    // Meanwhile a reader sees one whole content or another, never a mixture,
    // while every lock file looks old, as that of a holder slow beyond the
    // age rule.
    int reads = 0;
    int tornReads = 0;
    std::vector<int> statuses = WaitForWriters(writers, [&] {
        Age(path + ".lock", 120);
        std::string content = ReadFile(path);
        bool whole = false;
        for (int writer = 0; writer <= 7 && !whole; ++writer)
            whole = content == SavedContent(writer);
        tornReads += !whole;
        ++reads;
    });
    for (int status : statuses)
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(tornReads, 0) << "of " << reads;
    EXPECT_EQ(race->foreignRenames, 0);
    int saved = 0;
    for (int writer = 0; writer < kWriters; ++writer) {
        // A save returns 0 exactly when it moved its own content into place.
        EXPECT_EQ(race->saved[writer], race->renamed[writer]) << writer;
        saved += race->saved[writer];
    }
    EXPECT_GT(saved, 0);
    EXPECT_TRUE(ReadFile(path) == SavedContent(race->lastRenamer)) << "the last save's content is not in place";
    munmap(race, sizeof *race);
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
