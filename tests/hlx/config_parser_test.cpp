#include "hlx/config_parser.h"
#include "hlx/properties.h"
#include "support/framework_config.h"
#include "support/program_runner.h"
#include "support/syslog_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using hlx::Properties;
using testsupport::SyslogCapture;
using testsupport::TempDir;

const auto *const gFrameworkConfig = ::testing::AddGlobalTestEnvironment(new testsupport::TestRootFrameworkConfig);

namespace {

std::unique_ptr<Properties> Load(const std::string &text, bool expandMacros = true)
{
    std::unique_ptr<Properties> store(new Properties);
    std::istringstream in(text);
    store->load(in, expandMacros);
    return store;
}

bool Has(Properties &store, const std::string &name)
{
    Properties::ValueMap::const_iterator first, last;
    return store.findPrefix(name, first, last) && first->first == name;
}

std::vector<std::string> Names(Properties &store)
{
    std::vector<std::string> names;
    Properties::ValueMap::const_iterator first, last;
    if (store.findPrefix("", first, last))
        for (; first != last; ++first)
            names.push_back(first->first);
    return names;
}

struct LineCase {
    const char *text;
    const char *name;
    const char *value;
};

} // namespace

TEST(ConfigParser, SplitsLinesIntoNameAndValue)
{
    const LineCase cases[] = {
        {"name=value", "name", "value"},
        {"name:value", "name", "value"},
        {"name value", "name", "value"},
        {"name: value", "name", "value"},
        {"name = value", "name", "value"},
        {"name:=value", "name", "value"},
        {"name  = value", "name", "= value"},
        {"name=", "name", ""},
        {"name", "name", ""},
        {"  # text", "#", "text"},
        {"a\\ b = c", "a b", "c"},
        {"a\\=b=c", "a=b", "c"},
        {"a\\:b c", "a:b", "c"},
        {"=x", "=x", ""},
        {"\"q\" = v", "q", "v"},
        {"v =   x   y  ", "v", "x y"},
        {"v = x\t\t y", "v", "x y"},
        {"v = \"x   y\"", "v", "x   y"},
        {"v = a\\ ", "v", "a "},
        {"v = \\\"abc\\\"", "v", "\"abc\\\""},
        {"v = 'a\\tb'", "v", "a\tb"},
        {"v = 'a\\qb'", "v", "a\\qb"},
        {"v = \"a\\qb\"", "v", "aqb"},
        {"v = a\\nb", "v", "a\nb"},
        {"v = a\\\\nb", "v", "a\\nb"},
        {"v = a\\,b", "v", "a,b"},
        {"v = \"a\" \"b\"", "v", "\"a\" \"b\""},
        {"v = 'it''s'", "v", "'it''s'"},
    };
    for (const LineCase &c : cases) {
        std::unique_ptr<Properties> store = Load(c.text);
        EXPECT_EQ(Names(*store), std::vector<std::string>{c.name}) << c.text;
        EXPECT_EQ(store->getString(c.name), c.value) << c.text;
    }
}

TEST(ConfigParser, IgnoresLinesWithoutName)
{
    for (const char *text : {"#a=b", "!a=b", "", "   ", "\t\r", "\"\" = v"}) {
        std::unique_ptr<Properties> store = Load(text);
        EXPECT_TRUE(Names(*store).empty()) << text;
        EXPECT_TRUE(store->loaded()) << text;
    }
}

TEST(ConfigParser, JoinsContinuedLinesButNotComments)
{
    std::unique_ptr<Properties> store = Load("#comment \\\n"
                                             "x = 1\n"
                                             "y = a \\\n"
                                             "    b\n"
                                             "z = even\\\\\n"
                                             "w = 2\n"
                                             "last = end\\");
    EXPECT_EQ(store->getString("x"), "1");
    EXPECT_EQ(store->getString("y"), "a b");
    EXPECT_EQ(store->getString("z"), "even\\");
    EXPECT_EQ(store->getString("w"), "2");
    // At end of file the backslash stays and escapes nothing.
    EXPECT_EQ(store->getString("last"), "end");
    EXPECT_EQ(Names(*store).size(), 5u);
}

TEST(ConfigParser, TreatsCarriageReturnAsWhitespace)
{
    std::unique_ptr<Properties> store = Load("a=1\r\nb c\r\nk\r\nx=1\\\r\ny=2\r\n");
    EXPECT_EQ(store->getString("a"), "1");
    EXPECT_EQ(store->getString("b"), "c");
    EXPECT_TRUE(Has(*store, "k"));
    // The CR ends the line, so the backslash escapes it instead of continuing.
    EXPECT_EQ(store->getString("x"), "1 ");
    EXPECT_EQ(store->getString("y"), "2");
}

TEST(ConfigParser, ExpandsMacrosFromEnvironmentAndEarlierLines)
{
    setenv("TS_PROPS_DIR", "/h", 1);
    setenv("TS_PROPS_EMPTY", "", 1);
    setenv("TS_PROPS_DOLLAR", "$TS_PROPS_DIR", 1);
    const LineCase cases[] = {
        {"v = $TS_PROPS_DIR/x", "v", "/h/x"},
        {"v = \\$TS_PROPS_DIR", "v", "$TS_PROPS_DIR"},
        {"v = '$TS_PROPS_DIR'", "v", "$TS_PROPS_DIR"},
        {"v = \"$TS_PROPS_DIR\"", "v", "/h"},
        {"v = 5$ each", "v", "5 each"},
        {"v = a$$ b", "v", "a b"},
        {"b = 1\nv = a$$b", "v", "a1"},
        {"v = $TS_PROPS_DOLLAR", "v", "$TS_PROPS_DIR"},
        {"p = 1\nv = $p/x", "v", "1/x"},
        {"p = 1\nv = $p2", "v", ""},
        {"p = 1\nv = ${p}", "v", "{p}"},
        {"p = 1\nv = $1p", "v", "p"},
        {"p = \"x y\"\nv = [$p]", "v", "[x y]"},
        {"p = a\\\\b\nv = [$p]", "v", "[a\\b]"},
        {"p = a\\\\b\np = c\nv = [$p]", "v", "[c]"},
        {"TS_PROPS_EMPTY = 1\nv = [$TS_PROPS_EMPTY]", "v", "[]"},
        {"v = $later\nlater = 1", "v", ""},
    };
    for (const LineCase &c : cases) {
        std::unique_ptr<Properties> store = Load(c.text);
        EXPECT_EQ(store->getString(c.name), c.value) << c.text;
    }
}

TEST(ConfigParser, PrivilegedProcessTakesNoMacroFromTheEnvironment)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a set-user-ID program as another user";
    TempDir dir;
    struct statvfs volume;
    ASSERT_EQ(statvfs(dir.path().c_str(), &volume), 0);
    if (volume.f_flag & ST_NOSUID)
        GTEST_SKIP() << "the build tree is mounted nosuid";
    // Run by root, a copy that is set-user-ID to nobody starts with AT_SECURE.
    const std::string privileged = dir.write("macro_probe", testsupport::ReadFile(MACRO_PROBE), 0755);
    ASSERT_EQ(chown(privileged.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(privileged.c_str(), 04755), 0);
    const struct {
        std::string program;
        const char *output;
    } cases[] = {
        {MACRO_PROBE, "secure=0 v=environment\n"},
        {privileged, "secure=1 v=table\n"},
    };
    for (const auto &c : cases) {
        testsupport::ChildResult result =
            testsupport::RunProgram({c.program, "TS_SECURE_MACRO = table\nv = $TS_SECURE_MACRO\n"},
                                    {{"TS_SECURE_MACRO", "environment"}});
        EXPECT_EQ(result.exitStatus, 0) << c.program;
        EXPECT_EQ(result.output, c.output) << c.program;
    }
}

TEST(ConfigParser, NonExpandingLoadKeepsReferencesForQuoting)
{
    const struct {
        const char *line;
        const char *value;
        const char *quoted;
    } cases[] = {
        {"v = $HOME/y", "$HOME$/y", "$HOME/y"},
        {"v = $a$b", "$a$$b$", "$a$b"},
        {"v = $a_b", "$a_b$", "$a_b"},
        {"v = '$'", "$$", "\\$"},
        {"v = \\$x", "$$x", "\\$x"},
    };
    for (const auto &c : cases) {
        std::unique_ptr<Properties> store = Load(c.line, false);
        EXPECT_EQ(store->getString("v"), c.value) << c.line;
        EXPECT_EQ(hlx::quoteValue(c.value, false), c.quoted) << c.line;
    }
}

TEST(ConfigParser, LaterLineReplacesEarlierAndLoadsAccumulate)
{
    std::unique_ptr<Properties> store = Load("a = 1\na = 2\n");
    EXPECT_EQ(store->getString("a"), "2");
    std::istringstream more("b = 3\nc = [$a]\n");
    store->load(more, true);
    EXPECT_EQ(store->getString("a"), "2");
    EXPECT_EQ(store->getString("b"), "3");
    // Macros see the properties of this load only.
    EXPECT_EQ(store->getString("c"), "[]");
}

TEST(ConfigParser, SplitsListValues)
{
    const struct {
        const char *text;
        std::vector<std::string> items;
    } cases[] = {
        {"a, b c", {"a", "b", "c"}},
        {"a\\, b", {"a,", "b"}},
        {"\"x y\", z", {"x y", "z"}},
        {"'p, q'r s", {"'p, q'r", "s"}},
        {" ,, ", {}},
        {"\"open quote, x", {"\"open quote, x"}},
        {"tail\\", {"tail"}},
    };
    for (const auto &c : cases) {
        std::list<std::string> items;
        hlx::config::splitList(c.text, items);
        EXPECT_EQ(std::vector<std::string>(items.begin(), items.end()), c.items) << c.text;
    }
}

TEST(ConfigParser, UnquotesOnlyFullyQuotedText)
{
    const struct {
        const char *text;
        const char *result;
    } cases[] = {
        {"\"abc\"", "abc"},
        {"'abc'", "abc"},
        {"\"a\\tb\\\"c\"", "a\tb\"c"},
        {"'a\\tb'", "a\\tb"},
        {"\"a\" \"b\"", "\"a\" \"b\""},
        {"\"a\\\"", "\"a\\\""},
        {"\"", "\""},
        {"x\"y\"", "x\"y\""},
        {"\"a'b\"", "a'b"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(hlx::config::unquote(c.text), c.result) << c.text;
}

TEST(ConfigParser, LoadReadsPastTheSizeAFileGives)
{
    // A /proc file tells a size of 0. This one starts with the mappings of
    // the test program and names the stack far beyond the first page read.
    Properties store;
    store.loadFile("/proc/self/smaps", true);
    ASSERT_TRUE(store.loaded());
    Properties::ValueMap::const_iterator first, last;
    ASSERT_TRUE(store.findPrefix("", first, last));
    for (const char *end : {"/config_parser_test", "[stack]"}) {
        const size_t length = strlen(end);
        EXPECT_TRUE(std::any_of(first, last, [&](const Properties::ValueMap::value_type &entry) {
            const std::string &value = entry.second;
            return value.size() >= length && value.compare(value.size() - length, length, end) == 0;
        })) << end;
    }
}

TEST(ConfigParser, LoadReportsUnreadableInput)
{
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", dir.file("zero").c_str()), 0);
    // Sparse: it takes no room, but holds one byte more than a load reads.
    const std::string huge = dir.write("huge.conf", "a = 1\n");
    ASSERT_EQ(truncate(huge.c_str(), off_t(hlx::config::CONFIG_FILE_MAX_SIZE) + 1), 0);
    const struct {
        std::string path;
        const char *what;
    } cases[] = {
        {dir.file("missing.conf"), "missing file"},
        {dir.path(), "directory"},
        {dir.file("fifo"), "FIFO without a writer"},
        {dir.file("zero"), "link to an endless device"},
        {huge, "file beyond the size limit"},
    };
    // A load that waits on the FIFO fails the test instead of hanging it.
    alarm(60);
    Properties::instance();
    for (const auto &c : cases) {
        std::unique_ptr<Properties> store = Load("old = 1\n");
        ASSERT_TRUE(store->loaded());
        SyslogCapture capture;
        store->loadFile(c.path, true);
        EXPECT_FALSE(store->loaded()) << c.what;
        std::vector<std::string> lines = capture.lines();
        ASSERT_EQ(lines.size(), 1u) << c.what;
        EXPECT_EQ(lines[0], "ERROR util.properties Unable to open config file: " + c.path);
    }
    std::istringstream failed("a = 1\n");
    failed.setstate(std::ios::failbit);
    Properties store;
    SyslogCapture capture;
    store.load(failed, true);
    EXPECT_FALSE(store.loaded());
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"ERROR util.properties Unable to open config file"});
    alarm(0);
}
