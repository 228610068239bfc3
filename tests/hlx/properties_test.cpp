#include "hlx/config_parser.h"
#include "hlx/properties.h"
#include "support/framework_config.h"
#include "support/syslog_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

using hlx::Properties;
using hlx::StringList;
using hlx::StringListPtr;
using testsupport::SyslogCapture;
using testsupport::TempDir;

const auto *const gFrameworkConfig = ::testing::AddGlobalTestEnvironment(new testsupport::TestRootFrameworkConfig);

namespace {

std::unique_ptr<Properties> Load(const std::string &text)
{
    std::unique_ptr<Properties> store(new Properties);
    std::istringstream in(text);
    store->load(in, true);
    return store;
}

std::vector<std::string> Items(const StringListPtr &list)
{
    return std::vector<std::string>(list->begin(), list->end());
}

class PropertiesTest : public ::testing::Test {
protected:
    // The process-wide store is made before any capture starts, so that its
    // own load (on the first log output) never shows in a test's capture.
    void SetUp() override { Properties::instance(); }
};

} // namespace

TEST_F(PropertiesTest, GetIntReadsLeadingDigits)
{
    std::unique_ptr<Properties> store = Load("n = 12abc\nw = abc\ne =\nneg = -7\n");
    const struct {
        const char *name;
        int expected;
    } cases[] = {{"n", 12}, {"w", 0}, {"e", 99}, {"absent", 99}, {"neg", -7}};
    for (const auto &c : cases)
        EXPECT_EQ(store->getInt(c.name, 99), c.expected) << c.name;
}

TEST_F(PropertiesTest, FindPrefixGivesTheRangeOfNames)
{
    std::unique_ptr<Properties> store = Load("log.a = 1\nlog.b = 2\nlogz = 3\nlo = 4\nlog = 5\n");
    Properties::ValueMap::const_iterator first, last;
    ASSERT_TRUE(store->findPrefix("log.", first, last));
    std::vector<std::string> names;
    for (; first != last; ++first)
        names.push_back(first->first);
    EXPECT_EQ(names, (std::vector<std::string>{"log.a", "log.b"}));

    std::unique_ptr<Properties> other = Load("lo = 1\nlogz = 2\n");
    EXPECT_FALSE(other->findPrefix("log.", first, last));

    // A prefix ending in byte 0xFF has no successor by incrementing it.
    std::unique_ptr<Properties> high = Load("a\xff" "1 = x\na\xff" "2 = y\nb = z\n");
    ASSERT_TRUE(high->findPrefix("a\xff", first, last));
    EXPECT_EQ(std::distance(first, last), 2);
}

TEST_F(PropertiesTest, ListCacheFollowsWhereTheListCameFrom)
{
    std::unique_ptr<Properties> store = Load("own = a b\n");

    StringListPtr own = store->getStringList("own", "x");
    EXPECT_EQ(Items(own), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(store->getStringList("own", "other"), own);

    StringListPtr fromDefault = store->getStringList("absent", "x y");
    EXPECT_EQ(Items(fromDefault), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(Items(store->getStringList("absent", "z")), std::vector<std::string>{"z"});

    StringListPtr empty = store->getStringList("none");
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(store->getStringList("none", "x"), empty);

    // An empty default is still a default: the empty list is cached.
    StringListPtr emptyDefault = store->getStringList("blank", "");
    EXPECT_EQ(store->getStringList("blank", "q"), emptyDefault);

    std::istringstream again("none = n\n");
    store->load(again, true);
    EXPECT_EQ(Items(store->getStringList("none", "x")), std::vector<std::string>{"n"});
    EXPECT_NE(store->getStringList("own"), own);
    // A name kept from an earlier load has no list text of this load.
    EXPECT_TRUE(store->getStringList("own")->empty());
}

TEST_F(PropertiesTest, ListsSplitTheValueAsWrittenBeforeUnescaping)
{
    const struct {
        const char *text;
        std::vector<std::string> items;
    } cases[] = {
        {"l = a, b c", {"a", "b", "c"}},
        {"l = a\\, b", {"a,", "b"}},
        {"l = \"x y\", z", {"x y", "z"}},
        {"l = a\\, b\nl = c d", {"c", "d"}},
        {"l = c d\nl = a\\, b", {"a,", "b"}},
        {"p = a\\, b\nl = $p x", {"a,", "b", "x"}},
    };
    for (const auto &c : cases) {
        std::unique_ptr<Properties> store = Load(c.text);
        EXPECT_EQ(Items(store->getStringList("l")), c.items) << c.text;
    }
}

TEST_F(PropertiesTest, ListEditsKeepTheStoredFormSorted)
{
    std::unique_ptr<Properties> store = Load("sorted = a b\nunsorted = b a\ntwice = a b a\n");
    EXPECT_FALSE(store->addToStringList("sorted", {"a"}, true));
    EXPECT_EQ(store->getString("sorted"), "a b");

    EXPECT_TRUE(store->addToStringList("unsorted", {"a"}, true));
    EXPECT_EQ(store->getString("unsorted"), "a b");

    EXPECT_TRUE(store->addToStringList("fresh", {"c", "a b"}, true));
    EXPECT_EQ(store->getString("fresh"), "\"a b\" c");
    EXPECT_EQ(Items(store->getStringList("fresh")), (std::vector<std::string>{"a b", "c"}));

    EXPECT_TRUE(store->removeFromStringList("twice", {"a"}, true));
    EXPECT_EQ(store->getString("twice"), "b a");
    EXPECT_FALSE(store->removeFromStringList("twice", {"zz"}, true));
    EXPECT_EQ(store->getString("twice"), "b a");

    StringListPtr before = store->getStringList("twice");
    store->setStringList("twice", {"q"}, true);
    EXPECT_EQ(Items(before), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(Items(store->getStringList("twice")), std::vector<std::string>{"q"});
}

TEST_F(PropertiesTest, JoinedListsSplitBackIntoTheSameItems)
{
    EXPECT_EQ(hlx::joinList({"a b", "c"}, true), "\"a b\" c");
    const std::vector<std::vector<std::string>> lists = {
        {"a b", "c"},
        {"x,y", "z"},
        {"$HOME", "a\\b", "end\\"},
        {"it's", "it's me"},
        {" lead", "trail ", "mid  dle"},
    };
    for (const std::vector<std::string> &items : lists) {
        std::unique_ptr<Properties> store = Load("");
        store->setStringList("l", StringList(items.begin(), items.end()), true);
        EXPECT_EQ(Items(store->getStringList("l")), items) << store->getString("l");
    }
}

TEST_F(PropertiesTest, QuotedValuesParseBackToThemselves)
{
    const std::string values[] = {
        "plain", "two words", " lead", "trail ", "a,b", "a, b", "tab\there", "nl\nx", "cr\r", "ff\f", "vt\v",
        "back\\slash", "end\\", "\\", "\\\\t", "dollar $HOME", "$x", "$", "it's", "", " ", "#hash", "!bang",
        "=eq", ":colon", "a  =  b",
    };
    for (const std::string &value : values) {
        std::unique_ptr<Properties> store = Load("v: " + hlx::quoteValue(value, true) + "\n");
        EXPECT_EQ(store->getString("v"), value) << hlx::quoteValue(value, true);
    }
    EXPECT_EQ(hlx::formatLine("k", "a b", true), "k: \"a b\"");
    EXPECT_EQ(hlx::formatListLine("k", {"a,b", "c"}, true), "k: a\\,b c");
}

TEST_F(PropertiesTest, DumpWritesNamesInByteOrder)
{
    std::unique_ptr<Properties> store = Load("x = 1\na = 2\nB = 3\n");
    std::ostringstream out;
    store->dump(out, "title");
    EXPECT_EQ(out.str(), "#title\nB=3\na=2\nx=1\n");
    std::ostringstream untitled;
    store->dump(untitled, "");
    EXPECT_EQ(untitled.str(), "B=3\na=2\nx=1\n");
    // Without a controlling terminal nothing is written and nothing fails.
    Properties::dumpToTerminal();
}

TEST_F(PropertiesTest, LoadLogsPropertiesAtTheConfiguredLevel)
{
    const struct {
        const char *level;
        bool debugDump;
        std::vector<std::string> lines;
    } cases[] = {
        {"INFO", false, {}},
        {"DEBUG", false, {}},
        {"TRACE", false, {"TRACE util.properties property: a=1", "TRACE util.properties property: log.util.properties=TRACE"}},
        {"DEBUG", true, {"DEBUG util.properties property: a=1", "DEBUG util.properties property: log.util.properties=DEBUG"}},
    };
    for (const auto &c : cases) {
        SyslogCapture capture;
        Properties store(c.debugDump);
        std::istringstream in(std::string("a = 1\nlog.util.properties = ") + c.level + "\n");
        store.load(in, true);
        EXPECT_EQ(capture.lines(), c.lines) << c.level << " " << c.debugDump;
    }
    Load("");
}

namespace {

// List files must be owned by root to be read at all.
bool RunningAsRoot()
{
    return geteuid() == 0;
}

std::string ListProperty(const std::string &path)
{
    return "l = file:" + path + "\nlog.util.properties = DEBUG\n";
}

} // namespace

TEST_F(PropertiesTest, ReadsRootOwnedListFile)
{
    if (!RunningAsRoot())
        GTEST_SKIP() << "list files are read only when owned by root; run as root to test reading them";
    TempDir dir;
    std::string path = dir.write("list", "  first item  \n\n# comment\n  ! bang\n\"quoted, kept\"\na,b \\\nlast", 0664);
    std::unique_ptr<Properties> store = Load(ListProperty(path));
    SyslogCapture capture;
    StringListPtr list = store->getStringList("l", "default");
    EXPECT_EQ(Items(list), (std::vector<std::string>{"first item", "quoted, kept", "a,b \\", "last"}));
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"DEBUG util.properties Opening config file [" + path + "]."});
    EXPECT_EQ(store->getStringList("l"), list);
    Load("");
}

TEST_F(PropertiesTest, RefusesUnsafeListFiles)
{
    TempDir dir;
    std::string good = dir.write("good", "item\n", 0644);
    std::string hardLinked = dir.write("hard", "item\n", 0644);
    ASSERT_EQ(link(hardLinked.c_str(), dir.file("hard2").c_str()), 0);
    std::string symlinked = dir.file("symlink");
    ASSERT_EQ(symlink(good.c_str(), symlinked.c_str()), 0);
    const std::string suffix = ". Skip reading config file for property l. ";
    struct Case {
        std::string path;
        std::string line;
        bool opened = false;  // the file was opened before the failure
    };
    std::vector<Case> cases = {
        {symlinked, "WARN  util.properties Config file [" + symlinked + "] is symlink" + suffix +
                        "Please ensure the file is not symlink"},
        {hardLinked, "WARN  util.properties Config file [" + hardLinked + "] has more than one hardlinks" + suffix +
                         "Please ensure the file has only one hardlink"},
        {dir.file("missing"), "DEBUG util.properties Config file [" + dir.file("missing") + "] does not exist."},
    };
    if (RunningAsRoot()) {
        std::string foreign = dir.write("foreign", "item\n", 0644);
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
        std::string writable = dir.write("open", "item\n", 0644);
        ASSERT_EQ(chmod(writable.c_str(), 0666), 0);
        cases.push_back({foreign, "WARN  util.properties Config file [" + foreign + "] is not owned by root" + suffix +
                                      "Please change its owner to root to enhance security."});
        cases.push_back({writable, "WARN  util.properties Config file [" + writable + "] is world writable" + suffix +
                                   "Please ensure the file is not world writable to enhance security."});
        // Sparse: one byte more than a list file may hold.
        std::string huge = dir.write("huge", "item\n", 0644);
        ASSERT_EQ(truncate(huge.c_str(), off_t(hlx::config::CONFIG_FILE_MAX_SIZE) + 1), 0);
        cases.push_back({huge, "ERROR util.properties Unable to open config file: " + huge, true});
    } else {
        cases.push_back({good, "WARN  util.properties Config file [" + good + "] is not owned by root" + suffix +
                                   "Please change its owner to root to enhance security."});
        std::cout << "[ SKIPPED  ] world-writable and foreign-owned list files need root to create\n";
    }
    for (const Case &c : cases) {
        std::unique_ptr<Properties> store = Load(ListProperty(c.path));
        SyslogCapture capture;
        // The failed file is skipped for the default, which is not cached.
        EXPECT_EQ(Items(store->getStringList("l", "d e")), (std::vector<std::string>{"d", "e"})) << c.path;
        std::vector<std::string> lines{c.line};
        if (c.opened)
            lines.insert(lines.begin(), "DEBUG util.properties Opening config file [" + c.path + "].");
        EXPECT_EQ(capture.lines(), lines);
        EXPECT_EQ(Items(store->getStringList("l", "f")), std::vector<std::string>{"f"}) << c.path;
        // Without a default the failure gives an empty list, cached until the next load.
        StringListPtr empty = store->getStringList("l");
        EXPECT_TRUE(empty->empty());
        EXPECT_EQ(store->getStringList("l", "g"), empty);
    }
    Load("");
}

TEST_F(PropertiesTest, OpenSecureReportsEachCheck)
{
    TempDir dir;
    std::string file = dir.write("f", "x\n", 0644);
    int status = -1;
    EXPECT_EQ(hlx::config::openSecure(dir.file("missing"), status), nullptr);
    EXPECT_EQ(status, hlx::config::LIST_FILE_MISSING);
    EXPECT_EQ(hlx::config::openSecure(file + "/below", status), nullptr);
    EXPECT_EQ(status, hlx::config::LIST_FILE_UNKNOWN_ERROR);
    // Neither a directory nor a FIFO is a list file, checked or not; the
    // FIFO never makes the open wait (the alarm fails a test that does).
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    alarm(60);
    for (bool checked : {true, false}) {
        for (const std::string &path : {dir.path(), dir.file("fifo")}) {
            EXPECT_EQ(hlx::config::openSecure(path, status, checked), nullptr) << path;
            EXPECT_EQ(status, hlx::config::LIST_FILE_UNKNOWN_ERROR) << path;
        }
    }
    alarm(0);
    // Unchecked opening reads whatever the name points at.
    FILE *unchecked = hlx::config::openSecure(file, status, false);
    ASSERT_NE(unchecked, nullptr);
    EXPECT_EQ(status, hlx::config::LIST_FILE_OK);
    fclose(unchecked);
    if (RunningAsRoot()) {
        ASSERT_EQ(chmod(file.c_str(), 0664), 0);
        FILE *checked = hlx::config::openSecure(file, status);
        ASSERT_NE(checked, nullptr) << "root-owned, group-writable files are read";
        fclose(checked);
    }
}

TEST_F(PropertiesTest, ConcurrentReadersAndEditorsSeeWholeLists)
{
    std::unique_ptr<Properties> store = Load("shared = a b c\nplain = 1\n");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&store, t] {
            const std::string own = "item" + std::to_string(t);
            for (int i = 0; i < 200; ++i) {
                StringListPtr list = store->getStringList("shared");
                // A list handed out is never changed afterwards.
                std::vector<std::string> before = Items(list);
                store->addToStringList("shared", {own}, true);
                EXPECT_EQ(Items(list), before);
                EXPECT_EQ(store->getString("plain"), "1");
                store->removeFromStringList("shared", {own}, true);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(Items(store->getStringList("shared")), (std::vector<std::string>{"a", "b", "c"}));
}
