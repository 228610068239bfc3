#include "hlx/osport.h"

#include "support/syslog_capture.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern "C" char *__progname;

using testsupport::ReadFile;
using testsupport::SyslogCapture;
using testsupport::TempDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// Runs `call` on a thread of its own: the DNS state answers threads other
// than its owner differently.
template <typename Call>
auto OnOtherThread(Call call) -> decltype(call())
{
    decltype(call()) result{};
    std::thread([&] { result = call(); }).join();
    return result;
}

// Restores the DNS state's defaults after a test.
struct DnsDefaults {
    ~DnsDefaults()
    {
        hlx::SetDnsStaleTimes(300, 60);
        hlx::SetDnsUp(true);
    }
};

std::vector<std::string> DnsLines(const SyslogCapture &capture)
{
    std::vector<std::string> lines;
    for (const std::string &line : capture.lines()) {
        if (line.find("dns.state") != std::string::npos)
            lines.push_back(line);
    }
    return lines;
}

void SleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// A child process that holds a write lock on `name` until the returned pipe
// is closed.
struct LockHolder {
    pid_t pid = -1;
    int release = -1;

    explicit LockHolder(const std::string &name)
    {
        int ready[2], hold[2];
        if (pipe(ready) != 0 || pipe(hold) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(ready[0]);
            close(hold[1]);
            int descriptor = open(name.c_str(), O_RDWR | O_CREAT, 0600);
            char result = hlx::LockFile(descriptor) == 0 ? 'L' : 'F';
            if (write(ready[1], &result, 1) != 1)
                _exit(1);
            char byte;
            while (read(hold[0], &byte, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        release = hold[1];
        char result = 0;
        if (read(ready[0], &result, 1) != 1 || result != 'L')
            pid = -1;
        close(ready[0]);
    }
    ~LockHolder()
    {
        if (release >= 0)
            close(release);
        if (pid > 0)
            waitpid(pid, nullptr, 0);
    }
};

std::string ReadAll(int descriptor)
{
    std::string text;
    char buffer[256];
    ssize_t got;
    while ((got = read(descriptor, buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(got));
    return text;
}

struct Pipe {
    int read = -1, write = -1;
    Pipe()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == 0) {
            read = ends[0];
            write = ends[1];
        }
    }
    ~Pipe()
    {
        closeWrite();
        if (read >= 0)
            ::close(read);
    }
    void closeWrite()
    {
        if (write >= 0)
            ::close(write);
        write = -1;
    }
};

int RunShell(int mode, std::vector<int> descriptors, const char *script)
{
    char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(script), nullptr};
    return hlx::SpawnProcess(mode, int(descriptors.size()), descriptors.data(), "/bin/sh", argv);
}

} // namespace

TEST(ProgramNameTest, FillsMissingNameFromProcessStatus)
{
    char *saved = __progname;
    char empty[] = "";
    for (char *missing : {static_cast<char *>(nullptr), empty}) {
        __progname = missing;
        hlx::EnsureProgramName();
        ASSERT_NE(nullptr, __progname);
        EXPECT_STREQ("osport_test", __progname);
    }
    char given[] = "given";
    __progname = given;
    hlx::EnsureProgramName();
    EXPECT_STREQ("given", __progname);
    __progname = saved;
}

TEST(FileLockTest, ReportsPidOfOtherProcessHoldingTheLock)
{
    TempDir dir;
    const std::string name = dir.file("lock");
    {
        LockHolder holder(name);
        ASSERT_GT(holder.pid, 0);
        int descriptor = open(name.c_str(), O_RDWR);
        EXPECT_EQ(holder.pid, hlx::LockFile(descriptor));
        EXPECT_EQ(0, hlx::UnlockFile(descriptor));

        int lockResult = 0;
        int opened = hlx::OpenLockFile(name.c_str(), lockResult);
        EXPECT_GE(opened, 0);
        EXPECT_EQ(holder.pid, lockResult);
        close(opened);
        close(descriptor);
    }
    int descriptor = open(name.c_str(), O_RDWR);
    EXPECT_EQ(0, hlx::LockFile(descriptor));
    EXPECT_EQ(0, hlx::UnlockFile(descriptor));
    close(descriptor);
    EXPECT_EQ(-1, hlx::LockFile(-1));
}

TEST(FileLockTest, OpensLockFilesWithModeAndReportsOpenFailure)
{
    TempDir dir;
    mode_t old = umask(022);
    int lockResult = 5;
    int fresh = hlx::OpenLockFile(dir.file("fresh").c_str(), lockResult);
    umask(old);
    ASSERT_GE(fresh, 0);
    EXPECT_EQ(0, lockResult);
    struct stat info;
    ASSERT_EQ(0, stat(dir.file("fresh").c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777);
    close(fresh);

    int moded = hlx::OpenLockFileMode(dir.file("moded").c_str(), lockResult, 0640);
    ASSERT_GE(moded, 0);
    EXPECT_EQ(0, lockResult);
    ASSERT_EQ(0, stat(dir.file("moded").c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 0777);
    close(moded);

    lockResult = 5;
    EXPECT_EQ(-1, hlx::OpenLockFile(dir.file("missing/lock").c_str(), lockResult));
    EXPECT_EQ(-1, lockResult);

    // A link at the lock file's name is not followed: its target keeps its mode.
    const std::string target = dir.write("target", "", 0600);
    ASSERT_EQ(0, symlink(target.c_str(), dir.file("link").c_str()));
    lockResult = 5;
    EXPECT_EQ(-1, hlx::OpenLockFileMode(dir.file("link").c_str(), lockResult, 0666));
    EXPECT_EQ(ELOOP, errno);
    EXPECT_EQ(-1, lockResult);
    ASSERT_EQ(0, stat(target.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
}

TEST(FsIdTest, SwitchesAndReportsFileSystemIds)
{
    EXPECT_EQ(geteuid(), hlx::GetFsUid());
    EXPECT_EQ(getegid(), hlx::GetFsGid());
    if (geteuid() != 0)
        GTEST_SKIP() << "changing the file-system ids needs root";
    EXPECT_EQ(0, hlx::SetFsUid(1234));
    EXPECT_EQ(1234u, hlx::GetFsUid());
    EXPECT_EQ(1234, hlx::SetFsUid(0));
    EXPECT_EQ(0, hlx::SetFsGid(4321));
    EXPECT_EQ(4321u, hlx::GetFsGid());
    EXPECT_EQ(4321, hlx::SetFsGid(0));
    EXPECT_EQ(0u, hlx::GetFsUid());
    EXPECT_EQ(0u, hlx::GetFsGid());
}

// Host look-up (only names the host itself answers: the tests have no network)

TEST(ResolveHostTest, LaysOutNameAndUniqueAddressesInBuffer)
{
    alignas(8) char buffer[256];
    struct hostent entry;
    int error = -7;
    // The resolver answers "localhost" once for each socket type, all with
    // the same address.
    ASSERT_EQ(&entry, hlx::ResolveHostByName("localhost", &entry, buffer, sizeof buffer, error));
    EXPECT_EQ(0, error);
    EXPECT_STREQ("localhost", entry.h_name);
    EXPECT_EQ(buffer, entry.h_name);
    EXPECT_EQ(nullptr, entry.h_aliases);
    EXPECT_EQ(AF_INET, entry.h_addrtype);
    EXPECT_EQ(4, entry.h_length);
    EXPECT_EQ(reinterpret_cast<char **>(buffer + 16), entry.h_addr_list);
    ASSERT_NE(nullptr, entry.h_addr_list[0]);
    EXPECT_EQ(nullptr, entry.h_addr_list[1]);
    EXPECT_EQ(buffer + sizeof buffer - 4, entry.h_addr_list[0]);
    uint32_t address;
    memcpy(&address, entry.h_addr_list[0], 4);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), address);
}

TEST(ResolveHostTest, RefusesBufferTooSmallForPointersAndAddress)
{
    alignas(8) char buffer[64];
    struct hostent entry;
    // "localhost\0" (10) padded to 16, two pointers (16), one address (4).
    const struct {
        size_t size;
        bool fits;
    } cases[] = {{36, true}, {35, false}, {10, false}, {1, false}, {0, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        int error = -7;
        errno = 0;
        struct hostent *result = hlx::ResolveHostByName("localhost", &entry, buffer, c.size, error);
        if (c.fits) {
            EXPECT_EQ(&entry, result);
            EXPECT_EQ(0, error);
        } else {
            EXPECT_EQ(nullptr, result);
            EXPECT_EQ(-1, error);
            EXPECT_EQ(ENOSPC, errno);
        }
    }
}

TEST(ResolveHostTest, ResolvesNumericAddresses)
{
    alignas(8) char buffer[128];
    struct hostent entry;
    int error = -7;
    ASSERT_EQ(&entry, hlx::ResolveHostByName("127.0.0.2", &entry, buffer, sizeof buffer, error));
    EXPECT_STREQ("127.0.0.2", entry.h_name);
    uint32_t address;
    memcpy(&address, entry.h_addr_list[0], 4);
    EXPECT_EQ(inet_addr("127.0.0.2"), address);
}

TEST(DnsStateTest, OtherThreadsFailAtOnceUntilStateIsStale)
{
    DnsDefaults restore;
    SyslogCapture capture;
    hlx::SetDnsStaleTimes(1, 1);
    hlx::SetDnsUp(false);
    EXPECT_THAT(DnsLines(capture), ElementsAre(HasSubstr("INFO  dns.state DNS is down")));

    alignas(8) char buffer[128];
    struct hostent entry;
    int error = 0;
    EXPECT_EQ(nullptr, OnOtherThread([&] {
                  return hlx::ResolveHostByName("localhost", &entry, buffer, sizeof buffer, error);
              }));
    EXPECT_EQ(2, error);
    EXPECT_FALSE(OnOtherThread([] { return hlx::IsDnsUp(); }));

    // Whole seconds: more than one second has passed only after two.
    SleepSeconds(2.1);
    capture.clear();
    EXPECT_EQ(&entry, OnOtherThread([&] {
                  return hlx::ResolveHostByName("localhost", &entry, buffer, sizeof buffer, error);
              }));
    EXPECT_EQ(0, error);
    EXPECT_TRUE(OnOtherThread([] { return hlx::IsDnsUp(); }));
    EXPECT_THAT(DnsLines(capture),
                ElementsAre(HasSubstr("INFO  dns.state Cached DNS state is stale, resetting to: DNS is up")));
}

TEST(DnsStateTest, OwnerThreadRetriesAfterItsOwnPeriodWithoutResettingState)
{
    DnsDefaults restore;
    SyslogCapture capture;
    hlx::SetDnsStaleTimes(300, 1);
    // The test's own thread becomes the owner for the rest of this program;
    // the other tests ask from threads of their own.
    hlx::SetDnsOwnerThread();
    hlx::SetDnsUp(false);
    EXPECT_FALSE(hlx::IsDnsUp());
    SleepSeconds(2.1);
    EXPECT_TRUE(hlx::IsDnsUp());
    EXPECT_FALSE(OnOtherThread([] { return hlx::IsDnsUp(); }));

    // The owner's look-up goes ahead and, succeeding, marks DNS up for all.
    alignas(8) char buffer[128];
    struct hostent entry;
    int error = -7;
    EXPECT_EQ(&entry, hlx::ResolveHostByName("localhost", &entry, buffer, sizeof buffer, error));
    EXPECT_TRUE(OnOtherThread([] { return hlx::IsDnsUp(); }));
    EXPECT_THAT(DnsLines(capture), ElementsAre(HasSubstr("DNS is down"), HasSubstr("DNS is up")));
}

// Child processes

TEST(SpawnTest, RunsAndWaitsForExitStatus)
{
    int status = RunShell(hlx::SPAWN_WAIT, {}, "exit 3");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(3, WEXITSTATUS(status));

    char *argv[] = {const_cast<char *>("x"), nullptr};
    EXPECT_EQ(-1, hlx::SpawnProcess(hlx::SPAWN_WAIT, 0, nullptr, "/nonexistent/program", argv));
}

TEST(SpawnTest, ExitsWithNegatedErrnoWhenExecFails)
{
    TempDir dir;
    std::string program = dir.write("not-a-program", "\x7f" "ELF garbage", 0755);
    char *argv[] = {const_cast<char *>("x"), nullptr};
    int status = hlx::SpawnProcess(hlx::SPAWN_WAIT, 0, nullptr, program.c_str(), argv);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ((-ENOEXEC) & 0xff, WEXITSTATUS(status));
}

TEST(SpawnTest, RenumbersListedDescriptorsAndClosesTheRest)
{
    Pipe a, b;
    int stray = open("/dev/null", O_RDONLY);  // inherited unless closed
    const std::string probe = "echo zero >&0; echo one >&1; "
                              "for f in 2 3 4 5 6 7 8 9 " + std::to_string(stray) +
                              "; do [ -e /proc/$$/fd/$f ] && echo \"open $f\" >&1; done; true";
    struct Case {
        std::vector<int> list;
        std::string a;
        std::string b;
    } cases[] = {
        {{b.write, a.write}, "one\n", "zero\n"},
        {{a.write, b.write}, "zero\n", "one\n"},
        {{a.write, a.write}, "zero\none\n", ""},
        {{-1, a.write}, "one\n", ""},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.a + "|" + c.b);
        Pipe outA, outB;
        for (int &descriptor : c.list)
            descriptor = descriptor == a.write ? outA.write : descriptor == b.write ? outB.write : descriptor;
        int status = RunShell(hlx::SPAWN_WAIT, c.list, probe.c_str());
        EXPECT_TRUE(WIFEXITED(status));
        outA.closeWrite();
        outB.closeWrite();
        EXPECT_EQ(c.a, ReadAll(outA.read));
        EXPECT_EQ(c.b, ReadAll(outB.read));
    }
    close(stray);
}

TEST(SpawnTest, RegistersAsyncChildrenUntilReaped)
{
    Pipe done;
    int pid = RunShell(hlx::SPAWN_ASYNC, {done.write}, "exit 0");
    ASSERT_GT(pid, 0);
    done.closeWrite();
    EXPECT_EQ("", ReadAll(done.read));  // end of file: the child has ended
    const std::string entry = "/proc/" + std::to_string(pid);
    for (int i = 0; i < 500 && access(entry.c_str(), F_OK) == 0; ++i) {
        hlx::ReapChildren();
        SleepSeconds(0.01);
    }
    EXPECT_NE(0, access(entry.c_str(), F_OK)) << "child was not reaped";
    errno = 0;
    EXPECT_EQ(-1, waitpid(pid, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
}

TEST(SpawnTest, ReplacesCurrentProcess)
{
    pid_t child = fork();
    if (child == 0) {
        Pipe unused;
        RunShell(hlx::SPAWN_REPLACE, {}, "exit 7");
        _exit(99);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(7, WEXITSTATUS(status));
}
