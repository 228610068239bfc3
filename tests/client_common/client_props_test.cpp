// The configuration reader over real files: syntax, prefix filter, lazy
// evaluation with variables, built-ins from the kset files under the test
// root, and "file:/" references with their ownership test.
#include "client_common/client_props.h"
#include "client_common/well_known_paths.h"
#include "support/program_runner.h"
#include "support/temp_dir.h"
#include "support/test_root.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

using testsupport::TempDir;
using testsupport::TestRoot;

namespace {

struct TableDeleter {
    void operator()(ClientPropertyTable *table) const { FreeClientPropertyTable(table); }
};
using TablePtr = std::unique_ptr<ClientPropertyTable, TableDeleter>;

const char *const kSenderPrefixes[] = {"audittrail.", "dirsvcd.clients.socket2", "log", "lrpc.timeout", nullptr};

class ClientPropsTest : public ::testing::Test {
protected:
    TablePtr parse(const std::string &content, const char *const *prefixes = nullptr)
    {
        int status = -1;
        TablePtr table(ParseClientConfigFile(dir.write("main.conf", content).c_str(), prefixes, &status));
        EXPECT_EQ(status, 0);
        EXPECT_NE(table, nullptr);
        return table;
    }

    // The evaluated value of a key, "<absent>" or "<status N>".
    static std::string value(ClientPropertyTable *table, const char *key)
    {
        ClientProperty *entry = FindClientProperty(table, key);
        if (entry == nullptr)
            return "<absent>";
        int status = -1;
        EvaluateClientProperty(entry, table, &status);
        if (status != 0)
            return "<status " + std::to_string(status) + ">";
        return entry->evaluatedValue;
    }

    static std::vector<std::string> keys(const ClientPropertyTable *table)
    {
        std::vector<std::string> result;
        for (const ClientProperty *entry = table->first; entry != nullptr; entry = entry->next)
            result.push_back(entry->key);
        return result;
    }

    // A referenced file owned by root (or by `owner`) with `mode`; needs root
    // to give it away.
    std::string referenced(const std::string &name, const std::string &content, int mode = 0644)
    {
        return dir.write(name, content, mode);
    }

    TempDir dir;
};

bool RunningAsRoot() { return geteuid() == 0; }

} // namespace

TEST_F(ClientPropsTest, AcceptsEverySeparatorForm)
{
    const struct {
        const char *line;
        const char *expected;
    } cases[] = {
        {"key = value\n", "value"},
        {"key:value\n", "value"},
        {"key:= value\n", "value"},
        {"key := value\n", ":= value"},
        {"key\tvalue\n", "value"},
        {"key=value", "value"},
        {"key\t=value\n", "value"},
        {"key : value\n", ": value"},
        {"key=\n", ""},
        {"key==x\n", "=x"},
    };
    for (const auto &c : cases) {
        TablePtr table = parse(c.line);
        EXPECT_EQ(value(table.get(), "key"), c.expected) << c.line;
    }
}

TEST_F(ClientPropsTest, KeyWithoutSeparatorContinuesOnTheNextLine)
{
    TablePtr table = parse("first\nsecond value\nother=1\n");
    EXPECT_EQ(value(table.get(), "first\nsecond"), "value");
    EXPECT_EQ(value(table.get(), "other"), "1");
    EXPECT_EQ(keys(table.get()).size(), 2u);
}

TEST_F(ClientPropsTest, DropsKeyAtEndOfFileWithoutSeparator)
{
    TablePtr table = parse("a=1\ndangling");
    EXPECT_EQ(keys(table.get()), std::vector<std::string>{"a"});
}

TEST_F(ClientPropsTest, KeyEscapesAreDecoded)
{
    TablePtr table = parse("a\\ b\\=c\\n = 1\n");
    EXPECT_EQ(value(table.get(), "a b=c\n"), "1");
}

TEST_F(ClientPropsTest, PrefixFilterKeepsOnlyMatchingKeys)
{
    TablePtr table = parse("audittrail.targets = t\n"
                           "lo = dropped\n"
                           "logger.x = kept\n"
                           "lrpc.timeout = 5\n"
                           "lrpc.other = dropped\n"
                           "dirsvcd.clients.socket2 = /s\n"
                           "dirsvcd.clients.socket = dropped\n"
                           "auditx = dropped\n"
                           "zz = dropped\n"
                           "log = plain\n",
                           kSenderPrefixes);
    EXPECT_EQ(keys(table.get()), (std::vector<std::string>{"log", "dirsvcd.clients.socket2", "lrpc.timeout",
                                                           "logger.x", "audittrail.targets"}));
    EXPECT_EQ(value(table.get(), "logger.x"), "kept");
}

TEST_F(ClientPropsTest, DroppedLineNeverSwallowsTheNext)
{
    const char *cases[] = {
        "lo\nlog.a = 1\n",          // rejected at the line end itself
        "l\n\n\nlog.a = 1\n",        // rejected at a run of line ends
        "zz = 2\nlog.a = 1\n",       // rejected at the first byte
        "lrpc.x\r\nlog.a = 1\n",     // rejected after a partial match, CR LF
        "  lo = 3\n  log.a = 1\n",  // indented lines
    };
    for (const char *content : cases) {
        TablePtr table = parse(content, kSenderPrefixes);
        EXPECT_EQ(keys(table.get()), std::vector<std::string>{"log.a"}) << content;
        EXPECT_EQ(value(table.get(), "log.a"), "1") << content;
    }
}

TEST_F(ClientPropsTest, EmptyPrefixListRejectsEveryKey)
{
    const char *const none[] = {nullptr};
    TablePtr table = parse("a=1\nlog=2\n", none);
    EXPECT_EQ(table->first, nullptr);
}

TEST_F(ClientPropsTest, EmptyPrefixAcceptsEveryKey)
{
    const char *const all[] = {"", nullptr};
    TablePtr table = parse("a=1\nb=2\n", all);
    EXPECT_EQ(keys(table.get()), (std::vector<std::string>{"b", "a"}));
}

TEST_F(ClientPropsTest, LastOccurrenceWins)
{
    // Past a few dozen entries look-ups go through the index; the later
    // definition then lies beyond the first entries of the list. 400 entries
    // and a value longer than an entry block fill several blocks.
    const std::string longValue(6000, 'v');
    for (int filler : {0, 100, 400}) {
        std::string content = "key = first\nother = x\n";
        for (int i = 0; i < filler; i++) {
            if (i == filler / 2)
                content += "key = second\nlong = " + longValue + "\n";
            content += "f" + std::to_string(i) + " = " + std::to_string(i) + "\n";
        }
        TablePtr table = parse(filler > 0 ? content : content + "key = second\n");
        EXPECT_EQ(value(table.get(), "key"), "second") << filler;
        EXPECT_EQ(value(table.get(), "other"), "x") << filler;
        EXPECT_EQ(value(table.get(), "f"), "<absent>") << filler;
        if (filler > 0) {
            EXPECT_EQ(value(table.get(), "f7"), "7");
            EXPECT_EQ(value(table.get(), ("f" + std::to_string(filler - 1)).c_str()), std::to_string(filler - 1));
            EXPECT_EQ(value(table.get(), "long"), longValue);
        }
    }
}

TEST_F(ClientPropsTest, CommentOnlyAtTheStartOfALine)
{
    TablePtr table = parse("# note = 1\n! bang = 2\n  # note: x\nv = a # not a comment\n");
    EXPECT_EQ(keys(table.get()), (std::vector<std::string>{"v", "#"}));
    EXPECT_EQ(value(table.get(), "#"), "note: x");
    EXPECT_EQ(value(table.get(), "v"), "a # not a comment");
}

TEST_F(ClientPropsTest, ByteFFDoesNotEndTheFile)
{
    TablePtr table = parse("# caf\xff\nname = \xff\xfe\naudittrail.targets = t\n");
    EXPECT_EQ(value(table.get(), "name"), "\xff\xfe");
    EXPECT_EQ(value(table.get(), "audittrail.targets"), "t");
}

TEST_F(ClientPropsTest, ValueQuotingEscapesAndTrailingBlanks)
{
    const struct {
        const char *content;
        const char *expected;
    } cases[] = {
        {"k = \"a  b\"\n", "a  b"},
        {"k = a\\\n   b\n", "a b"},
        {"k = a\\\n\n  \t\n b\n", "a b"},
        {"k = abc\\ \n", "abc "},
        {"k = abc   \n", "abc"},
        {"k = \"abc  \"\n", "abc  "},
        {"k = \"open quote\nnext = 1\n", "open quote"},
        {"k = a\\tb\\nc\\q\n", "a\tb\ncq"},
        {"k = \"back\\slash\"\n", "back\\slash"},
        {"k = trailing backslash\\", "trailing backslash"},
        {"k = tab\t\t\n", "tab"},
    };
    for (const auto &c : cases) {
        TablePtr table = parse(c.content);
        EXPECT_EQ(value(table.get(), "k"), c.expected) << c.content;
    }
}

TEST_F(ClientPropsTest, ContinuationLineIsPartOfTheValueNotAKey)
{
    TablePtr table = parse("k = a,\\\n  b = c\nnext = 1\n");
    EXPECT_EQ(value(table.get(), "k"), "a, b = c");
    EXPECT_EQ(keys(table.get()), (std::vector<std::string>{"next", "k"}));
}

TEST_F(ClientPropsTest, SubstitutesEnvironmentVariablesAndKeepsUnknownNames)
{
    setenv("CLIENT_PROPS_TEST_VAR", "/home/x", 1);
    unsetenv("CLIENT_PROPS_NOSUCH");
    TablePtr table = parse("a = $CLIENT_PROPS_TEST_VAR/x\n"
                           "b = $CLIENT_PROPS_NOSUCH\n"
                           "c = a $CLIENT_PROPS_TEST_VAR\n"
                           "d = $\n"
                           "e = cost $5 \n"
                           "f = $a.and.$b\n");
    EXPECT_EQ(value(table.get(), "a"), "/home/x/x");
    EXPECT_EQ(value(table.get(), "b"), "$CLIENT_PROPS_NOSUCH");
    EXPECT_EQ(value(table.get(), "c"), "a /home/x");
    EXPECT_EQ(value(table.get(), "d"), "$");
    EXPECT_EQ(value(table.get(), "e"), "cost $5");
    EXPECT_EQ(value(table.get(), "f"), "$a.and.$CLIENT_PROPS_NOSUCH");
    unsetenv("CLIENT_PROPS_TEST_VAR");
}

TEST_F(ClientPropsTest, SubstitutesOtherEntriesAndKeepsCyclesLiteral)
{
    TablePtr table = parse("a = $b\nb = $a\nself = x$self\nuser = [$name]\nname = n \n");
    EXPECT_EQ(value(table.get(), "a"), "$a");
    EXPECT_EQ(value(table.get(), "b"), "$a");
    EXPECT_EQ(value(table.get(), "self"), "x$self");
    EXPECT_EQ(value(table.get(), "user"), "[n]");

    // Values longer than the 256 bytes a value is expanded in on the stack,
    // directly and inside another expansion.
    for (size_t length : {127, 128, 129, 300}) {
        const std::string part(length, 'p');
        TablePtr longer = parse("part = " + part + "\ntwice = $part$part\nnested = <$twice>\n");
        EXPECT_EQ(value(longer.get(), "twice"), part + part) << length;
        EXPECT_EQ(value(longer.get(), "nested"), "<" + part + part + ">") << length;
    }
}

TEST_F(ClientPropsTest, AddedEntriesAreFoundBesideTheEntriesRead)
{
    // Enough entries, one longer than any entry block, to take new blocks.
    TablePtr table = parse("a = 1\nb = 2\n");
    const std::string longValue(10000, 'l');
    for (int i = 0; i < 200; i++) {
        const std::string key = "added" + std::to_string(i);
        const std::string raw = i == 100 ? longValue : std::string(i % 50, 'v');
        ASSERT_NE(AddClientProperty(table.get(), key.c_str(), raw.c_str()), nullptr);
    }
    for (int i = 0; i < 200; i++) {
        ClientProperty *entry = FindClientProperty(table.get(), ("added" + std::to_string(i)).c_str());
        ASSERT_NE(entry, nullptr) << i;
        EXPECT_EQ(entry->rawValue, i == 100 ? longValue : std::string(i % 50, 'v')) << i;
    }
    EXPECT_EQ(value(table.get(), "a"), "1");
    EXPECT_EQ(value(table.get(), "b"), "2");
}

TEST_F(ClientPropsTest, SubstitutedWhiteSpaceIsKeptAtTheEnd)
{
    setenv("CLIENT_PROPS_SPACE", "s ", 1);
    TablePtr table = parse("k = $CLIENT_PROPS_SPACE\nq = \"x \" \n");
    EXPECT_EQ(value(table.get(), "k"), "s ");
    EXPECT_EQ(value(table.get(), "q"), "x ");
    unsetenv("CLIENT_PROPS_SPACE");
}

TEST_F(ClientPropsTest, LongReferenceChainStaysLiteralInsteadOfExhaustingTheStack)
{
    std::string content;
    const int length = 5000;
    for (int i = 0; i < length; i++)
        content += "k" + std::to_string(i) + " = $k" + std::to_string(i + 1) + "\n";
    content += "k" + std::to_string(length) + " = end\n";
    TablePtr table = parse(content);
    std::string first = value(table.get(), "k0");
    EXPECT_EQ(first.rfind("$k", 0), 0u) << first;
    EXPECT_EQ(value(table.get(), ("k" + std::to_string(length - 1)).c_str()), "end");
}

TEST_F(ClientPropsTest, DoublingReferencesFailAsOutOfMemory)
{
    std::string content = "v0 = " + std::string(1000, 'x') + "\n";
    for (int i = 1; i <= 30; i++)
        content += "v" + std::to_string(i) + " = $v" + std::to_string(i - 1) + "$v" + std::to_string(i - 1) + "\n";
    TablePtr table = parse(content);
    EXPECT_EQ(value(table.get(), "v30"), "<status 300>");
}

TEST_F(ClientPropsTest, EmptyFileIsAnEmptyConfiguration)
{
    TablePtr table = parse("");
    EXPECT_EQ(table->first, nullptr);
}

TEST_F(ClientPropsTest, MainFileFailuresGiveTheirStatus)
{
    int status = 0;
    EXPECT_EQ(ParseClientConfigFile(dir.file("missing").c_str(), nullptr, &status), nullptr);
    EXPECT_EQ(status, PROP_NOT_FOUND);
    EXPECT_EQ(ParseClientConfigFile("relative.conf", nullptr, &status), nullptr);
    EXPECT_EQ(status, PROP_NOT_ABSOLUTE);
    EXPECT_EQ(ParseClientConfigFile("", nullptr, &status), nullptr);
    EXPECT_EQ(status, PROP_NOT_FOUND);
    EXPECT_EQ(ParseClientConfigFile(nullptr, nullptr, &status), nullptr);
    EXPECT_EQ(status, PROP_NOT_FOUND);
    EXPECT_EQ(ParseClientConfigFile(dir.path().c_str(), nullptr, &status), nullptr);
    EXPECT_EQ(status, PROP_SYSTEM_ERROR);
    EXPECT_EQ(ParseClientConfigText(nullptr, 1, nullptr, &status), nullptr);
    EXPECT_EQ(status, PROP_NOT_FOUND);
}

TEST_F(ClientPropsTest, MainFileNeedsNoOwnershipTest)
{
    std::string path = dir.write("main.conf", "k = v\n", 0666);
    if (RunningAsRoot()) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    }
    int status = -1;
    TablePtr table(ParseClientConfigFile(path.c_str(), nullptr, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(value(table.get(), "k"), "v");
}

TEST_F(ClientPropsTest, StatusTexts)
{
    const struct {
        int code;
        const char *text;
    } cases[] = {
        {300, "Out of memory"},
        {301, "pathname is not absolute"},
        {302, "insufficient permissions"},
        {303, "file does not exist"},
        {304, "system error"},
        {305, "file is world writable or not root owned"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(ClientPropertyStatusText(c.code), c.text);
    EXPECT_EQ(ClientPropertyStatusText(0), nullptr);
    EXPECT_EQ(ClientPropertyStatusText(299), nullptr);
    EXPECT_EQ(ClientPropertyStatusText(306), nullptr);
}

// ---------------------------------------------------------------------------
// Built-in variables from the kset files of the data directory.

TEST_F(ClientPropsTest, BuiltinVariablesComeFromKsetFiles)
{
    TestRoot root;
    const std::string data = std::string("/var/quillmesh/");
    TestRoot::write(data + "kset.host", "host1\n");
    TestRoot::write(data + "kset.site", "");
    TestRoot::write(data + "kset.domain", "example.test");
    TestRoot::write(data + "kset.zonename", "OU=z,CN=Zone One,DC=x\n");
    setenv("JOINNAME", "from-environment", 1);
    TablePtr table = parse("j = [$JOINNAME]\ns = [$SITE]\nd = $DOMAIN/\nz = $ZONE\n");
    EXPECT_EQ(value(table.get(), "j"), "[host1\n]");
    EXPECT_EQ(value(table.get(), "s"), "[]");
    EXPECT_EQ(value(table.get(), "d"), "example.test/");
    EXPECT_EQ(value(table.get(), "z"), "Zone One");
    unsetenv("JOINNAME");
}

TEST_F(ClientPropsTest, ZoneVariants)
{
    TestRoot root;
    const struct {
        const char *line;
        const char *expected;
    } cases[] = {
        {"CN=last\n", "last\n"},
        {"OU=x,cn=lower,DC=y", "<unknown>"},
        {"", "<unknown>"},
    };
    for (const auto &c : cases) {
        TestRoot::write("/var/quillmesh/kset.zonename", c.line);
        TablePtr table = parse("z = [$ZONE]\n");
        EXPECT_EQ(value(table.get(), "z"), std::string("[") + c.expected + "]") << c.line;
    }
}

TEST_F(ClientPropsTest, BuiltinIsReadOncePerTable)
{
    TestRoot root;
    TestRoot::write("/var/quillmesh/kset.site", "one");
    TablePtr table = parse("a = $SITE\nb = $SITE\n");
    EXPECT_EQ(value(table.get(), "a"), "one");
    TestRoot::write("/var/quillmesh/kset.site", "two");
    EXPECT_EQ(value(table.get(), "b"), "one");
}

TEST_F(ClientPropsTest, MissingKsetFileFallsThroughToEnvironmentAndEntries)
{
    TestRoot root;
    setenv("DOMAIN", "env-domain", 1);
    unsetenv("SITE");
    TablePtr table = parse("d = $DOMAIN\ns = $SITE\nSITE = entry-site\n");
    EXPECT_EQ(value(table.get(), "d"), "env-domain");
    EXPECT_EQ(value(table.get(), "s"), "entry-site");
    unsetenv("DOMAIN");
}

// A process with raised privileges (AT_SECURE: here a set-user-ID copy of a
// probe, run by root) reads no environment for a reference; the lookup then
// goes on as for an unset variable, to the entry of that name.
TEST(ClientPropsPrivileged, ReferencesReadNoEnvironmentInASetUserIdProcess)
{
    if (!RunningAsRoot())
        GTEST_SKIP() << "a set-user-ID copy for another user can only be made as root";
    TempDir dir;
    struct statvfs filesystem;
    ASSERT_EQ(statvfs(dir.path().c_str(), &filesystem), 0);
    if (filesystem.f_flag & ST_NOSUID)
        GTEST_SKIP() << "the build tree is mounted nosuid";
    // The privileged copy runs as user 65534, who must reach the file.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string config =
        dir.write("client.conf", "k = [$TRAILSEND_PROBE_VARIABLE]\nTRAILSEND_PROBE_VARIABLE = from-table\n");
    const std::string privileged = dir.write("expand_probe", testsupport::ReadFile(EXPAND_PROBE), 0755);
    ASSERT_EQ(chown(privileged.c_str(), 65534, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod(privileged.c_str(), 04755), 0);
    const struct {
        std::string program;
        const char *output;
    } cases[] = {
        {EXPAND_PROBE, "secure=0 value=[from-environment]\n"},
        {privileged, "secure=1 value=[from-table]\n"},
    };
    for (const auto &c : cases) {
        const testsupport::ChildResult result =
            testsupport::RunProgram({c.program, config, "k"}, {{"TRAILSEND_PROBE_VARIABLE", "from-environment"}});
        EXPECT_EQ(result.exitStatus, 0) << result.output;
        EXPECT_EQ(result.output, c.output);
    }
}

// ---------------------------------------------------------------------------
// "file:/" references.

TEST_F(ClientPropsTest, FileReferenceJoinsTheListOfARootOwnedFile)
{
    if (!RunningAsRoot())
        GTEST_SKIP() << "a root-owned referenced file can only be created as root";
    std::string list = referenced("list", "a b\n# c\n  d,e\n\n! f\n\"g \"\\\n h\n");
    TablePtr table = parse("k = file:" + list + "\n");
    ClientProperty *entry = FindClientProperty(table.get(), "k");
    EXPECT_EQ(value(table.get(), "k"), "a b,d,e,g  h");
    EXPECT_STREQ(entry->rawValue, "a\\ b,d\\,e,g\\ \\ h");
    EXPECT_EQ(entry->referenceStatus, 0);
}

TEST_F(ClientPropsTest, FileReferenceNameIsExpanded)
{
    if (!RunningAsRoot())
        GTEST_SKIP() << "a root-owned referenced file can only be created as root";
    referenced("list", "x\n");
    TablePtr table = parse("dir = " + dir.path().substr(1) + "\nk = file:/$dir/list\n");
    EXPECT_EQ(value(table.get(), "k"), "x");
}

TEST_F(ClientPropsTest, EmptyReferencedFileIsAnEmptyList)
{
    if (!RunningAsRoot())
        GTEST_SKIP() << "a root-owned referenced file can only be created as root";
    std::string list = referenced("list", "");
    TablePtr table = parse("k = file:" + list + "\n");
    EXPECT_EQ(value(table.get(), "k"), "");
}

TEST_F(ClientPropsTest, UnsafeOrMissingReferencedFilesAreRefused)
{
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string foreign = referenced("foreign", "x\n");
    // Without root the file is already owned by a user other than root.
    if (RunningAsRoot()) {
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    }
    std::string open = referenced("world", "x\n", 0666);
    const struct {
        std::string target;
        int status;
    } cases[] = {
        {foreign, PROP_INSECURE_FILE},
        {open, PROP_INSECURE_FILE},
        {fifo, PROP_SYSTEM_ERROR},
        {dir.path(), PROP_SYSTEM_ERROR},
        {dir.file("missing"), PROP_NOT_FOUND},
    };
    for (const auto &c : cases) {
        TablePtr table = parse("k = file:" + c.target + "\n");
        ClientProperty *entry = FindClientProperty(table.get(), "k");
        EXPECT_EQ(value(table.get(), "k"), "<status " + std::to_string(c.status) + ">") << c.target;
        EXPECT_EQ(entry->referenceStatus, c.status);
        EXPECT_STREQ(entry->rawValue, (" file:" + c.target).c_str());
        // The stored outcome is reported again without touching the file.
        EXPECT_EQ(value(table.get(), "k"), "<status " + std::to_string(c.status) + ">") << c.target;
    }
}

TEST_F(ClientPropsTest, WorldWritableRootOwnedFileIsRefused)
{
    if (!RunningAsRoot())
        GTEST_SKIP() << "a root-owned referenced file can only be created as root";
    std::string list = referenced("list", "x\n", 0646);
    TablePtr table = parse("k = file:" + list + "\n");
    EXPECT_EQ(value(table.get(), "k"), "<status 305>");
}

TEST_F(ClientPropsTest, StoredReferenceOutcomeSurvivesAFileChange)
{
    std::string list = dir.file("later");
    TablePtr table = parse("k = file:" + list + "\n");
    EXPECT_EQ(value(table.get(), "k"), "<status 303>");
    referenced("later", "x\n");
    EXPECT_EQ(value(table.get(), "k"), "<status 303>");
}

TEST_F(ClientPropsTest, ReferenceNameIsCheckedAfterExpansion)
{
    TablePtr table = parse("k = file:/\nr = file:/$NO_SUCH_VARIABLE_X\n");
    EXPECT_EQ(value(table.get(), "k"), "<status 304>");
    EXPECT_EQ(value(table.get(), "r"), "<status 303>");
}

TEST_F(ClientPropsTest, ReferenceToItselfInsideTheListStaysLiteral)
{
    if (!RunningAsRoot())
        GTEST_SKIP() << "a root-owned referenced file can only be created as root";
    std::string list = referenced("list", "$k\n$other\n");
    TablePtr table = parse("k = file:" + list + "\nother = o\n");
    EXPECT_EQ(value(table.get(), "k"), "$k,o");
}
