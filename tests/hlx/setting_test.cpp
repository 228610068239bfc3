#include "hlx/setting.h"

#include "hlx/exceptions.h"
#include "hlx/properties.h"
#include "support/expect_throw.h"
#include "support/forked_steps.h"
#include "support/syslog_capture.h"
#include "support/temp_dir.h"
#include "support/test_root.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>

using testsupport::ExpectThrow;
using testsupport::ReadFile;
using testsupport::RunInChild;
using testsupport::SyslogCapture;
using testsupport::TempDir;
using testsupport::TestRoot;
using ::testing::HasSubstr;

namespace {

const std::string kDataDirectory = "/var/quillmesh/";

std::string KsetPath(const std::string &name) { return TestRoot::at(kDataDirectory + "kset." + name); }

void WriteKset(const std::string &name, const std::string &content)
{
    TestRoot::write(kDataDirectory + "kset." + name, content, 0600);
}

bool Exists(const std::string &name)
{
    struct stat info;
    return lstat(name.c_str(), &info) == 0;
}

std::set<std::string> DataDirectoryEntries()
{
    std::set<std::string> names;
    if (DIR *dir = opendir(TestRoot::at(kDataDirectory).c_str())) {
        while (struct dirent *entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                names.insert(entry->d_name);
        }
        closedir(dir);
    }
    return names;
}

// A fresh store loads the framework configuration file. (Not reload(): its
// macro reads reach Properties::instance() under the store's own lock, the
// reverse of the order in which the store is created.)
void LoadConfiguration()
{
    hlx::Properties::destroyInstance();
    hlx::Properties::instance();
}

// Every test starts from an empty test root, an empty framework
// configuration, the default data directory and an empty settings map. The
// configuration file always exists when the store loads it, so loading logs
// nothing.
class SettingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestRoot::write("/etc/quillrec/quillrec.conf", "");
        LoadConfiguration();
        hlx::clearSettingsCache();
        hlx::setDataDirectory(TestRoot::at(kDataDirectory));
    }
    void TearDown() override { hlx::clearSettingsCache(); }
    TestRoot m_root;
};

void LimitFileSize(rlim_t bytes)
{
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

} // namespace

TEST_F(SettingTest, ReadsKsetFilesWithinTheirLimits)
{
    struct Case {
        std::string content;
        std::string value;  // expected value, or
        std::string error;  // "size" / "control"
    } cases[] = {
        {std::string(1024, 'a'), std::string(1024, 'a'), ""},
        {std::string(1025, 'a'), "", "size"},
        {"value\n", "value", ""},
        {"\n", "", ""},
        {"", "", ""},
        {"  x  ", "x", ""},
        {"caf\xc3\xa9", "caf\xc3\xa9", ""},
        {"value\r\n", "", "control"},
        {"a\tb", "", "control"},
        {"a\n\n", "", "control"},
        {"\x7f", "", "control"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.content.substr(0, 20)));
        WriteKset("case", c.content);
        const std::string path = KsetPath("case");
        if (c.error == "size")
            ExpectThrow<hlx::IOException>([] { hlx::readKsetFile("case", ""); },
                                          "Size of kset file(" + path + ") exceeds the maximum size(1024 bytes)", -1);
        else if (c.error == "control")
            ExpectThrow<hlx::BadDataException>([] { hlx::readKsetFile("case", ""); },
                                               "Control character is disallowed in " + path + " file.", -1);
        else
            EXPECT_EQ(c.value, hlx::readKsetFile("case", ""));
    }
    ExpectThrow<hlx::IOException>([] { hlx::readKsetFile("missing", ""); },
                                  "Cannot open file " + KsetPath("missing") + ": No such file or directory", ENOENT);
    // Only a regular file holds a value; a FIFO is refused without waiting
    // for a writer (the alarm fails a test that waits).
    ASSERT_EQ(0, mkfifo(KsetPath("fifo").c_str(), 0600));
    ASSERT_EQ(0, mkdir(KsetPath("directory").c_str(), 0700));
    alarm(60);
    ExpectThrow<hlx::IOException>([] { hlx::readKsetFile("fifo", ""); },
                                  "Cannot open file " + KsetPath("fifo") + ": Invalid argument", EINVAL);
    ExpectThrow<hlx::IOException>([] { hlx::readKsetFile("directory", ""); },
                                  "Cannot open file " + KsetPath("directory") + ": Is a directory", EISDIR);
    alarm(0);

    TempDir other;
    other.write("kset.elsewhere", "there");
    EXPECT_EQ("there", hlx::readKsetFile("elsewhere", other.path() + "/"));
}

TEST_F(SettingTest, WritesTrimmedValueWithModeAndLeavesNoTemporaryFile)
{
    hlx::writeKsetFile("public", "  x  ", 1, "");
    hlx::writeKsetFile("private", "secret", 0, "");
    EXPECT_EQ("x", ReadFile(KsetPath("public")));
    EXPECT_EQ("secret", ReadFile(KsetPath("private")));
    struct stat info;
    ASSERT_EQ(0, stat(KsetPath("public").c_str(), &info));
    EXPECT_EQ(0644u, info.st_mode & 0777);
    ASSERT_EQ(0, stat(KsetPath("private").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    EXPECT_EQ((std::set<std::string>{"kset.public", "kset.private"}), DataDirectoryEntries());

    hlx::writeKsetFile("public", " \t ", 1, "");
    hlx::writeKsetFile("private", "", 0, "");
    EXPECT_TRUE(DataDirectoryEntries().empty());
}

TEST_F(SettingTest, RefusesBadValuesBeforeCreatingAnything)
{
    WriteKset("kept", "old");
    const std::string path = KsetPath("kept");
    ExpectThrow<hlx::IOException>([] { hlx::writeKsetFile("kept", std::string(1025, 'v'), 0, ""); },
                                  "Size of kset file(" + path + ") exceeded maximum size(1024 bytes)", -1);
    for (const std::string &value : std::vector<std::string>{"a\tb", std::string("a\0b", 3), "a\x1b", "a\x7f", "x\r\ny"}) {
        SCOPED_TRACE(testing::PrintToString(value));
        ExpectThrow<hlx::BadDataException>([&] { hlx::writeKsetFile("kept", value, 0, ""); },
                                           "Control character is disallowed in " + path + " file.", -1);
        ExpectThrow<hlx::BadDataException>([&] { hlx::setSetting("kept", value, 0, true); },
                                           "Control character is disallowed in " + path + " file.", -1);
    }
    EXPECT_EQ("old", ReadFile(path));
    EXPECT_EQ("old", hlx::getSetting("kept", true));
    EXPECT_EQ((std::set<std::string>{"kset.kept"}), DataDirectoryEntries());
}

TEST_F(SettingTest, CachesReadsAndLocksDataDirectoryUntilCleared)
{
    SyslogCapture capture;
    WriteKset("host", "first");
    EXPECT_EQ("first", hlx::getSetting("host", true));
    WriteKset("host", "second");
    EXPECT_EQ("first", hlx::getSetting("host", true));

    ExpectThrow<hlx::AlreadyException>([] { hlx::setDataDirectory("/elsewhere/"); }, "Change data directory", -1);
    bool warned = false;
    for (const std::string &line : capture.lines())
        warned |= line.find("WARN  util.settings Settings Map has already been created; cannot change root of "
                            "data directory.") != std::string::npos;
    EXPECT_TRUE(warned);

    hlx::clearSettingsCache();
    EXPECT_EQ("second", hlx::getSetting("host", true));
    // A failed read leaves the map as it was.
    hlx::clearSettingsCache();
    EXPECT_THROW(hlx::getSetting("missing", true), hlx::IOException);
    hlx::setDataDirectory(TestRoot::at(kDataDirectory));
    EXPECT_EQ("fallback", hlx::getSettingOrDefault("missing", "fallback"));
}

TEST_F(SettingTest, PropertyOverridesSettingUnlessIgnored)
{
    TestRoot::write("/etc/quillrec/quillrec.conf", "kset.host: fromprops\n");
    // Loading reads the settings behind the built-in macros; with no kset
    // file yet, that read leaves the settings map empty.
    LoadConfiguration();
    WriteKset("host", "fromfile");
    EXPECT_EQ("fromprops", hlx::getSetting("host", false));
    // Answered by the property alone: the map is still empty.
    hlx::setDataDirectory(TestRoot::at(kDataDirectory));
    EXPECT_EQ("fromfile", hlx::getSetting("host", true));
    EXPECT_EQ("fromprops", hlx::getSetting("host", false));
}

TEST_F(SettingTest, SetSettingKeepsValueAsGivenAndStoresItTrimmed)
{
    hlx::setSetting("site", "  Main Site ", 1, false);
    EXPECT_EQ("  Main Site ", hlx::getSetting("site", true));
    EXPECT_EQ("Main Site", ReadFile(KsetPath("site")));
    EXPECT_TRUE(hlx::settingExists("site"));
    EXPECT_FALSE(hlx::settingExists("nothing"));
    EXPECT_GT(hlx::settingModificationTime("site"), 0);
    EXPECT_EQ(0, hlx::settingModificationTime("nothing"));
}

TEST_F(SettingTest, DefersFailedWritesAndRetriesThemInOrder)
{
    TestRoot::write(kDataDirectory + "kset.old.KSET.TEMP.abc123", "left by a crash");
    struct timeval crashed[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
    ASSERT_EQ(0, utimes(TestRoot::at(kDataDirectory + "kset.old.KSET.TEMP.abc123").c_str(), crashed));
    int failed = RunInChild([] {
        signal(SIGXFSZ, SIG_IGN);
        LimitFileSize(0);
        try {
            hlx::setSetting("deferred", "one", 1, true);
            hlx::setSetting("deferred", "two", 1, true);
            hlx::setSetting("later", "three", 0, true);
        } catch (...) {
            return 1;
        }
        if (hlx::getSetting("deferred", true) != "two" || Exists(KsetPath("deferred")))
            return 2;
        if (hlx::flushPendingSettings() != 2)
            return 3;
        // Only temporary files of interrupted writes were removed.
        if (DataDirectoryEntries() != std::set<std::string>{})
            return 4;
        try {
            hlx::setSetting("undeferred", "x", 0, false);
            return 5;
        } catch (const hlx::IOException &e) {
            if (std::string(e.what()).find("Cannot write file ") != 0 || e.rc() != EFBIG)
                return 6;
        }
        LimitFileSize(RLIM_INFINITY);
        hlx::setSetting("trigger", "t", 0, true);
        if (hlx::flushPendingSettings() != 0)
            return 7;
        if (ReadFile(KsetPath("deferred")) != "two" || ReadFile(KsetPath("later")) != "three")
            return 8;
        return 0;
    });
    EXPECT_EQ(0, failed);
}

TEST_F(SettingTest, DefersOnlyForDefaultDataDirectory)
{
    TempDir other;
    int failed = RunInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        hlx::setDataDirectory(other.path() + "/");
        LimitFileSize(0);
        try {
            hlx::setSetting("x", "y", 0, true);
        } catch (const hlx::IOException &) {
            return 0;
        }
        return 1;
    });
    EXPECT_EQ(0, failed);
}

TEST_F(SettingTest, WritesToOtherDataDirectoryWhenDefaultOneIsMissing)
{
    TempDir other;
    testsupport::RemoveTree(TestRoot::at(kDataDirectory));
    hlx::setDataDirectory(other.path() + "/");
    EXPECT_NO_THROW(hlx::setSetting("host", "box", 0, false));
    EXPECT_EQ("box", ReadFile(other.file("kset.host")));
    EXPECT_EQ(0, hlx::flushPendingSettings());
}

TEST_F(SettingTest, NeverDefersFailureToCreateTemporaryFile)
{
    // Too long a name for the temporary file.
    const std::string name(250, 'n');
    EXPECT_THROW(hlx::setSetting(name, "v", 0, true), hlx::SystemException);
    EXPECT_EQ(0, hlx::flushPendingSettings());
}

TEST_F(SettingTest, RemovesOnlyStaleTemporaryFiles)
{
    const struct {
        const char *name;
        int age;      // seconds since the last change
        bool locked;  // its writer holds the lock on it
        bool removed;
    } cases[] = {
        {"a.KSET.TEMP.abc123", 60, false, true},
        {"b.kset.temp.Q1w2e3", 60, false, true},
        {"c.KSET.TEMP.fresh1", 0, false, false},  // its writer may not have locked it yet
        {"d.KSET.TEMP.held01", 60, true, false},
        {"e.KSET.TEMP.left01", 600, true, true},  // abandoned, whoever holds a lock
        {"kset.c", 60, false, false},
    };
    std::vector<int> locks;
    std::set<std::string> kept = {"dir.KSET.TEMP.d", "dangling"};
    for (const auto &c : cases) {
        const std::string path = TestRoot::at(kDataDirectory + c.name);
        TestRoot::write(kDataDirectory + c.name, "x", 0600);
        struct timeval times[2] = {{time(nullptr) - c.age, 0}, {time(nullptr) - c.age, 0}};
        ASSERT_EQ(0, utimes(path.c_str(), times));
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        locks.push_back(open(path.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(!c.locked || fcntl(locks.back(), F_OFD_SETLK, &lock) == 0);
        if (!c.removed)
            kept.insert(c.name);
    }
    mkdir(TestRoot::at(kDataDirectory + "dir.KSET.TEMP.d").c_str(), 0755);
    ASSERT_EQ(symlink("/nonexistent", TestRoot::at(kDataDirectory + "dangling").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent", TestRoot::at(kDataDirectory + "f.KSET.TEMP.link").c_str()), 0);
    hlx::removeStaleTempFiles();
    EXPECT_EQ(kept, DataDirectoryEntries());
    for (int descriptor : locks)
        close(descriptor);

    testsupport::RemoveTree(TestRoot::at(kDataDirectory));
    EXPECT_NO_THROW(hlx::removeStaleTempFiles());
}

TEST_F(SettingTest, ConcurrentWritersNeverLoseTheirTemporaryFiles)
{
    const int kWriters = 8;
    const int kWrites = 40;
    int start[2];
    ASSERT_EQ(0, pipe(start));
    std::vector<pid_t> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(start[1]);
            char go;
            if (read(start[0], &go, 1) != 0)
                _exit(20);
            // Every write scans for stale temporaries while the others write.
            for (int i = 0; i < kWrites; ++i) {
                try {
                    hlx::setSetting("shared", "w" + std::to_string(writer) + "." + std::to_string(i), 0, false);
                    hlx::removeStaleTempFiles();
                } catch (...) {
                    _exit(1);
                }
            }
            _exit(0);
        }
        writers.push_back(child);
    }
    close(start[0]);
    close(start[1]);
    for (pid_t writer : writers) {
        int status = 0;
        ASSERT_EQ(writer, waitpid(writer, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a setSetting failed: " << status;
    }
    EXPECT_THAT(ReadFile(KsetPath("shared")), testing::MatchesRegex("w[0-7]\\.[0-9]+"));
    EXPECT_EQ(std::set<std::string>{"kset.shared"}, DataDirectoryEntries());
}

TEST_F(SettingTest, CreatesAndRemovesDataDirectory)
{
    WriteKset("x", "y");
    hlx::removeDataDirectory();
    EXPECT_FALSE(Exists(TestRoot::at(kDataDirectory)));
    hlx::ensureDataDirectory();
    struct stat info;
    ASSERT_EQ(0, stat(TestRoot::at(kDataDirectory).c_str(), &info));
    EXPECT_EQ(0755u, info.st_mode & 0777);
    // Writing creates a missing data directory too.
    hlx::removeDataDirectory();
    hlx::writeKsetFile("x", "y", 0, "");
    EXPECT_EQ("y", ReadFile(KsetPath("x")));
}

TEST_F(SettingTest, ValidatesZoneSettings)
{
    const std::string guid = "00112233445566778899aabbccddeeff";
    struct Case {
        std::string host, schema, zone, zonename;
        std::string error;  // empty: valid
    } cases[] = {
        {"", "x", "z", "n", "Cannot find key sets of host."},
        {"h", "", "z", "n", "Cannot find key sets of zone schema."},
        {"h", "NULL_AUTO", "other", "n", "Incorrect key sets of zone GUID for auto zone."},
        {"h", "NULL_AUTO", guid, "", ""},
        {"h", "NULL", "", "", ""},
        {"h", "dynamic", "", "n", "Cannot find key sets of zone name or zone GUID."},
        {"h", "dynamic", "z", "", "Cannot find key sets of zone name or zone GUID."},
        {"h", "dynamic", "z", "n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host + "|" + c.schema + "|" + c.zone + "|" + c.zonename);
        hlx::clearSettingsCache();
        testsupport::RemoveTree(TestRoot::at(kDataDirectory));
        const std::pair<const char *, std::string> values[] = {
            {SETTING_HOST_NAME, c.host}, {SETTING_SCHEMA, c.schema}, {SETTING_ZONE, c.zone},
            {SETTING_ZONE_REALNAME, c.zonename}};
        for (const auto &value : values) {
            if (!value.second.empty())
                WriteKset(value.first, value.second);
        }
        if (c.error.empty())
            EXPECT_NO_THROW(hlx::validateZoneSettings());
        else
            ExpectThrow<hlx::IOException>([] { hlx::validateZoneSettings(); }, c.error, 1);
    }
}

TEST_F(SettingTest, JoinedNeedsDomainAndHostAndNoJoinInProgress)
{
    EXPECT_FALSE(hlx::isJoined());
    WriteKset("domain", "example.test");
    hlx::clearSettingsCache();
    EXPECT_FALSE(hlx::isJoined());
    WriteKset("host", "box");
    hlx::clearSettingsCache();
    EXPECT_TRUE(hlx::isJoined());
    TestRoot::write("/var/quillmesh//QMC_ENROLL_IN_PROGRESS", "");
    EXPECT_FALSE(hlx::isJoined());
}
