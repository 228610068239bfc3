// Typed reads of the client configuration: conversions, their shared cache,
// list membership, the iterator and the exact lines in the client log.
#include "client_common/client_context.h"
#include "client_common/client_props.h"
#include "client_common/client_props_access.h"
#include "client_common/log_buffer.h"
#include "client_common/msg_type_table.h"
#include "client_common/well_known_paths.h"
#include "support/client_log_entries.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

using testsupport::ClientLogEntry;
using testsupport::TakeClientLogEntries;
using testsupport::TakeClientLogTexts;
using testsupport::TempDir;

namespace {

class ClientPropsAccessTest : public ::testing::Test {
protected:
    ClientPropsAccessTest() { context.log = ClientLogCreate("test", nullptr, CLIENT_LOG_TRACE, "/nonexistent", 1, GetMessageTable()); }

    ~ClientPropsAccessTest() override
    {
        TakeClientLogEntries(context.log);
        ClientLogClose(context.log);
        FreeClientPropertyTable(context.configuration);
    }

    // Replaces the configuration by the given file content.
    void configure(const std::string &content)
    {
        FreeClientPropertyTable(context.configuration);
        int status = -1;
        context.configuration = ParseClientConfigFile(dir.write("main.conf", content).c_str(), nullptr, &status);
        ASSERT_EQ(status, 0);
        TakeClientLogEntries(context.log);
    }

    std::vector<std::string> lines() { return TakeClientLogTexts(context.log); }

    TempDir dir;
    ClientContext context{};
};

const std::string kMainFile = CLIENT_CONFIG_PATH;

} // namespace

TEST_F(ClientPropsAccessTest, TimeConversions)
{
    const struct {
        const char *value; // null: key absent
        char unit;
        int count;
        int expected;
    } cases[] = {
        {nullptr, 's', 300, 300},
        {"2m", 's', 300, 120},
        {"5", 'm', 1, 300},
        {"-1", 's', 300, 300},
        {"3x", 's', 300, 300},
        {"10min", 's', 1, 600},
        {"10 m", 's', 7, 7},
        {"  4h", 's', 0, 14400},
        {"1w", 's', 0, 604800},
        {"1M", 's', 0, 2628000},
        {"1y", 's', 0, 31536000},
        {"2d", 's', 0, 172800},
        {"0", 's', 300, 0},
        {"abc", 'm', 2, 120},
        {"5", 'q', 9, 0},
        // Products outside the int range are invalid, so the default holds.
        {"100y", 's', 300, 300},
        {"2147483647", 's', 1, 2147483647},
        {"2147483647", 'm', 1, 60},
        {"99999999999", 's', 5, 5},
        {"35791394m", 's', 1, 2147483640},
        {"35791395m", 's', 1, 1},
    };
    for (const auto &c : cases) {
        configure(c.value ? std::string("k = ") + c.value + "\n" : "other = 1\n");
        EXPECT_EQ(ClientGetPropertyTime(&context, "k", c.unit, c.count), c.expected)
            << (c.value ? c.value : "(absent)") << " unit " << c.unit;
    }
}

TEST_F(ClientPropsAccessTest, DefaultTimeBeyondTheIntRangeIsHeldAtItsEdge)
{
    configure("");
    EXPECT_EQ(ClientGetPropertyTime(&context, "k", 'y', 1000), 2147483647);
    EXPECT_EQ(ClientGetPropertyTime(&context, "k", 'y', -1000), -2147483647 - 1);
}

TEST_F(ClientPropsAccessTest, IntegerConversions)
{
    const struct {
        const char *value;
        int expected;
    } cases[] = {
        {"0x10", 16}, {"0X1f", 31}, {"010", 8}, {"12abc", 12}, {" -5", -5}, {"+7", 7},
        {"abc", 42}, {"", 42}, {"4294967296", 42}, {"2147483648", 42}, {"-2147483648", -2147483647 - 1},
        {"2147483647", 2147483647},
    };
    for (const auto &c : cases) {
        configure(std::string("k = ") + c.value + "\n");
        EXPECT_EQ(ClientGetPropertyInt(&context, "k", 42), c.expected) << c.value;
    }
}

TEST_F(ClientPropsAccessTest, BooleanConversions)
{
    const struct {
        const char *value;
        int withDefaultFalse;
        int withDefaultTrue;
    } cases[] = {
        {"YES", 1, 1}, {"true", 1, 1}, {"y", 1, 1}, {"1", 1, 1},
        {"No", 0, 0},  {"FALSE", 0, 0}, {"n", 0, 0}, {"0", 0, 0},
        {"00", 0, 1},  {"maybe", 0, 1}, {"yes please", 0, 1}, {"", 0, 1},
    };
    for (const auto &c : cases) {
        configure(std::string("k = ") + c.value + "\n");
        EXPECT_EQ(ClientGetPropertyBool(&context, "k", 0), c.withDefaultFalse) << c.value;
        // The invalid conversion stays invalid: the default answers again.
        EXPECT_EQ(ClientGetPropertyBool(&context, "k", 1), c.withDefaultTrue) << c.value;
    }
    configure("");
    EXPECT_EQ(ClientGetPropertyBool(&context, "k", 5), 1);
}

TEST_F(ClientPropsAccessTest, IntegerAndTimeShareOneCachedNumber)
{
    configure("a = 10\nb = 10\n");
    EXPECT_EQ(ClientGetPropertyInt(&context, "a", 0), 10);
    EXPECT_EQ(ClientGetPropertyTime(&context, "a", 'm', 1), 10);
    EXPECT_EQ(ClientGetPropertyTime(&context, "b", 'm', 1), 600);
    EXPECT_EQ(ClientGetPropertyInt(&context, "b", 0), 600);
}

TEST_F(ClientPropsAccessTest, InvalidNumberStaysInvalidForBothAccessors)
{
    configure("k = 3x\n");
    EXPECT_EQ(ClientGetPropertyTime(&context, "k", 's', 9), 9);
    // The time conversion found it invalid first; the integer read does not
    // convert again.
    EXPECT_EQ(ClientGetPropertyInt(&context, "k", 4), 4);
}

TEST_F(ClientPropsAccessTest, OriginTellsWhereTheLastValueCameFrom)
{
    enum { STRING, INT, TIME, BOOL };
    const struct {
        const char *content;
        int accessor;
        int origin;
        int referenceStatus;
    } cases[] = {
        {"", INT, CLIENT_PROPERTY_DEFAULT, 0},
        {"k = 5\n", INT, CLIENT_PROPERTY_FILE, 0},
        {"k = five\n", INT, CLIENT_PROPERTY_INVALID, 0},
        {"k = 5x\n", TIME, CLIENT_PROPERTY_INVALID, 0},
        {"k = 5m\n", TIME, CLIENT_PROPERTY_FILE, 0},
        {"k = maybe\n", BOOL, CLIENT_PROPERTY_INVALID, 0},
        {"k = yes\n", BOOL, CLIENT_PROPERTY_FILE, 0},
        {"k = \n", STRING, CLIENT_PROPERTY_FILE, 0},
        {"k = file:/nonexistent/list\n", STRING, CLIENT_PROPERTY_FAILED, PROP_NOT_FOUND},
        {"k = file:/nonexistent/list\n", INT, CLIENT_PROPERTY_FAILED, PROP_NOT_FOUND},
    };
    for (const auto &c : cases) {
        configure(c.content);
        if (c.accessor == STRING)
            ClientGetProperty(&context, "k", "d");
        else if (c.accessor == INT)
            ClientGetPropertyInt(&context, "k", 1);
        else if (c.accessor == TIME)
            ClientGetPropertyTime(&context, "k", 's', 1);
        else
            ClientGetPropertyBool(&context, "k", 1);
        int referenceStatus = -1;
        EXPECT_EQ(ClientPropertyOrigin(&context, "k", &referenceStatus), c.origin) << c.content << c.accessor;
        EXPECT_EQ(referenceStatus, c.referenceStatus) << c.content << c.accessor;
    }
    EXPECT_EQ(ClientPropertyOrigin(nullptr, "k", nullptr), CLIENT_PROPERTY_DEFAULT);
}

TEST_F(ClientPropsAccessTest, StringPropertyAndItsDefault)
{
    configure("k = v\n");
    const char fallback[] = "fallback";
    EXPECT_STREQ(ClientGetProperty(&context, "k", fallback), "v");
    EXPECT_EQ(ClientGetProperty(&context, "missing", fallback), fallback);
    EXPECT_EQ(ClientGetProperty(&context, "missing", nullptr), nullptr);
    EXPECT_EQ(ClientGetProperty(&context, nullptr, fallback), fallback);
}

TEST_F(ClientPropsAccessTest, NoTableOrNoContextGivesDefaults)
{
    ClientContext empty{};
    EXPECT_STREQ(ClientGetProperty(&empty, "k", "d"), "d");
    EXPECT_EQ(ClientGetPropertyInt(nullptr, "k", 3), 3);
    EXPECT_EQ(ClientGetPropertyBool(&empty, "k", 1), 1);
    EXPECT_EQ(ClientGetPropertyTime(nullptr, "k", 'm', 2), 120);
    EXPECT_EQ(ClientIsStringInPropertyList(&empty, "k", "a", "a"), 0);
    EXPECT_EQ(ClientIsIntegerInPropertyList(nullptr, "k", 1, "1"), 0);
    EXPECT_EQ(ClientPropertyIterator(&empty, "x"), nullptr);
    EXPECT_EQ(ClientPropertyNext(&empty, nullptr), nullptr);
}

TEST_F(ClientPropsAccessTest, StringListMembership)
{
    configure("list = a, b c\n"
              "quoted = x, \"b c\"\n"
              "escaped = a\\,b,,\t,c\\\\d, e\\tf\n");
    const struct {
        const char *key;
        const char *text;
        int expected;
    } cases[] = {
        {"list", "a", 1},        {"list", "b", 1},        {"list", "c", 1},       {"list", "b c", 0},
        {"list", "a,", 0},       {"list", "", 0},         {"quoted", "b c", 1},   {"quoted", "b", 0},
        {"escaped", "a,b", 1},   {"escaped", "a", 0},     {"escaped", "c\\d", 1}, {"escaped", "e\tf", 1},
        {"list", "A", 0},        {"list", "ab", 0},       {"escaped", "a,", 0},   {"escaped", "a,bc", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ClientIsStringInPropertyList(&context, c.key, c.text, nullptr), c.expected)
            << c.key << " '" << c.text << "'";
    EXPECT_EQ(ClientIsStringInPropertyList(&context, "list", nullptr, nullptr), 0);
}

TEST_F(ClientPropsAccessTest, StringListReadsTheTextAsWrittenWithoutSubstitution)
{
    setenv("CLIENT_PROPS_ACCESS_X", "expanded", 1);
    configure("k = $CLIENT_PROPS_ACCESS_X\n");
    EXPECT_EQ(ClientIsStringInPropertyList(&context, "k", "$CLIENT_PROPS_ACCESS_X", nullptr), 1);
    EXPECT_EQ(ClientIsStringInPropertyList(&context, "k", "expanded", nullptr), 0);
    unsetenv("CLIENT_PROPS_ACCESS_X");
}

TEST_F(ClientPropsAccessTest, DefaultListWhenTheKeyIsMissing)
{
    configure("");
    EXPECT_EQ(ClientIsStringInPropertyList(&context, "k", "b", "a,b"), 1);
    EXPECT_EQ(ClientIsStringInPropertyList(&context, "k", "z", "a,b"), 0);
    EXPECT_EQ(ClientIsIntegerInPropertyList(&context, "k", 3, "1-5"), 1);
    EXPECT_EQ(context.configuration->first, nullptr);
}

TEST_F(ClientPropsAccessTest, DefaultListThatIsAFileReferenceBecomesAnEntry)
{
    std::string missing = dir.file("missing");
    // With a long file the look-up index is built before the entry is added.
    for (int filler : {0, 100}) {
        std::string content;
        for (int i = 0; i < filler; i++)
            content += "f" + std::to_string(i) + " = " + std::to_string(i) + "\n";
        configure(content);
        EXPECT_EQ(ClientGetPropertyInt(&context, "k", 9), 9);
        EXPECT_EQ(ClientIsStringInPropertyList(&context, "k", "a", ("file:" + missing).c_str()), 0);
        ClientProperty *entry = FindClientProperty(context.configuration, "k");
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->referenceStatus, PROP_NOT_FOUND);
        const std::string failure =
            "Failure in list match for key 'k' from file '" + kMainFile + "': file does not exist";
        EXPECT_EQ(lines(), (std::vector<std::string>{"GetPropertyInt('k', 9) => status=0, value=9",
                                                     "IsInListPropertyList('k', 'a') => 303, false", failure}));
        // Found again, not added twice; the older entries are still found.
        EXPECT_EQ(ClientIsStringInPropertyList(&context, "k", "a", ("file:" + missing).c_str()), 0);
        EXPECT_EQ(context.configuration->first, entry);
        if (filler > 0) {
            EXPECT_EQ(ClientGetPropertyInt(&context, "f7", -1), 7);
        }
    }
}

TEST_F(ClientPropsAccessTest, IntegerListMembership)
{
    configure("k = 1,5-10, 20 - 30,x,-3--1, 40 -\n");
    const struct {
        int number;
        int expected;
    } cases[] = {
        {1, 1}, {7, 1}, {5, 1}, {10, 1}, {25, 1}, {11, 0}, {31, 0}, {0, 0}, {-2, 1}, {40, 1}, {41, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ClientIsIntegerInPropertyList(&context, "k", c.number, nullptr), c.expected) << c.number;
}

TEST_F(ClientPropsAccessTest, ListsFromARootOwnedFileReference)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a root-owned referenced file can only be created as root";
    std::string list = dir.write("list", "5-10\n20 - 30\nb c\n");
    configure("k = file:" + list + "\n");
    EXPECT_EQ(ClientIsIntegerInPropertyList(&context, "k", 7, nullptr), 1);
    // The blanks around the dash were escaped when the list was joined.
    EXPECT_EQ(ClientIsIntegerInPropertyList(&context, "k", 20, nullptr), 1);
    EXPECT_EQ(ClientIsIntegerInPropertyList(&context, "k", 25, nullptr), 0);
    EXPECT_EQ(ClientIsStringInPropertyList(&context, "k", "b c", nullptr), 1);
    EXPECT_EQ(ClientIsStringInPropertyList(&context, "k", "b", nullptr), 0);
    EXPECT_STREQ(ClientGetProperty(&context, "k", nullptr), "5-10,20 - 30,b c");
}

TEST_F(ClientPropsAccessTest, IteratorWalksNewestFirstWithThePrefix)
{
    configure("log.a = 1\nlrpc.timeout = 2\nlog.b = 3\nlog.a = 4\n");
    ClientPropertyIter *iterator = ClientPropertyIterator(&context, "log");
    ASSERT_NE(iterator, nullptr);
    std::vector<std::string> found;
    while (const char *key = ClientPropertyNext(&context, iterator))
        found.push_back(key);
    EXPECT_EQ(found, (std::vector<std::string>{"log.a", "log.b", "log.a"}));
    EXPECT_EQ(ClientPropertyNext(&context, iterator), nullptr);
    ClientPropertyIteratorFree(iterator);

    iterator = ClientPropertyIterator(&context, "");
    size_t all = 0;
    while (ClientPropertyNext(&context, iterator) != nullptr)
        all++;
    EXPECT_EQ(all, 4u);
    ClientPropertyIteratorFree(iterator);
    ClientPropertyIteratorFree(nullptr);
}

TEST_F(ClientPropsAccessTest, TraceLinesAndTheirSource)
{
    configure("s = v\ni = 12\nb = yes\nt = 2m\nlog.x = 1\n");
    ClientGetProperty(&context, "s", "d");
    ClientGetProperty(&context, "none", nullptr);
    ClientGetPropertyInt(&context, "i", -1);
    ClientGetPropertyBool(&context, "b", 0);
    ClientGetPropertyTime(&context, "t", 's', 300);
    ClientIsStringInPropertyList(&context, "s", "v", nullptr);
    ClientIsIntegerInPropertyList(&context, "i", 3, nullptr);
    ClientPropertyIter *iterator = ClientPropertyIterator(&context, "log");
    ClientPropertyNext(&context, iterator);
    ClientPropertyNext(&context, iterator);
    char pointer[32];
    snprintf(pointer, sizeof pointer, "%p", static_cast<void *>(iterator));
    ClientPropertyIteratorFree(iterator);

    const struct {
        const char *operation;
        std::string text;
    } expected[] = {
        {"ClientGetProperty", "GetProperty('s', \"d\") => 0, \"v\""},
        {"ClientGetProperty", "GetProperty('none', 0) => 0, 0"},
        {"ClientGetPropertyInt", "GetPropertyInt('i', -1) => status=0, value=12"},
        {"ClientGetPropertyBool", "GetPropertyBool('b', false) => 0, true"},
        {"ClientGetPropertyTime", "GetPropertyTime('t', 300) => status=0, value=120"},
        {"ClientIsStringInPropertyList", "IsInListPropertyList('s', 'v') => 0, true"},
        {"ClientIsIntegerInPropertyList", "IsInListPropertyList('i', '3') => 0, false"},
        {"ClientPropertyIterator", std::string("PropertyIterator('log') => ") + pointer},
        {"ClientPropertyNext", "PropertyNext() => 'log.x'"},
        {"ClientPropertyNext", "PropertyNext() => 0"},
    };
    std::vector<ClientLogEntry> entries = TakeClientLogEntries(context.log);
    ASSERT_EQ(entries.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < entries.size(); i++) {
        EXPECT_EQ(entries[i].level, CLIENT_LOG_TRACE);
        EXPECT_EQ(entries[i].source, "client_props");
        EXPECT_EQ(entries[i].operation, expected[i].operation);
        EXPECT_EQ(entries[i].text, expected[i].text);
    }
}

TEST_F(ClientPropsAccessTest, FailedEvaluationGivesZeroAndAFailureLine)
{
    std::string missing = dir.file("missing");
    configure("k = file:" + missing + "\n");
    EXPECT_EQ(ClientGetProperty(&context, "k", "d"), nullptr);
    EXPECT_EQ(ClientGetPropertyInt(&context, "k", 5), 0);
    EXPECT_EQ(ClientGetPropertyBool(&context, "k", 1), 0);
    EXPECT_EQ(ClientGetPropertyTime(&context, "k", 's', 5), 0);
    EXPECT_EQ(ClientIsIntegerInPropertyList(&context, "k", 1, nullptr), 0);
    const std::string tail = "from file '" + kMainFile + "': file does not exist";
    std::vector<ClientLogEntry> entries = TakeClientLogEntries(context.log);
    const struct {
        int level;
        std::string text;
    } expected[] = {
        {CLIENT_LOG_TRACE, "GetProperty('k', \"d\") => 303, 0"},
        {CLIENT_LOG_ERROR, "Failed to read property 'k' " + tail},
        {CLIENT_LOG_TRACE, "GetPropertyInt('k', 5) => status=303, value=0"},
        {CLIENT_LOG_ERROR, "Failed to read int property 'k' " + tail},
        {CLIENT_LOG_TRACE, "GetPropertyBool('k', true) => 303, false"},
        {CLIENT_LOG_ERROR, "Failed to read boolean property 'k' " + tail},
        {CLIENT_LOG_TRACE, "GetPropertyTime('k', 5) => status=303, value=0"},
        {CLIENT_LOG_ERROR, "Failed to read time property 'k' " + tail},
        {CLIENT_LOG_TRACE, "IsInListPropertyList('k', '1') => 303, false"},
        {CLIENT_LOG_DEBUG, "Failure in list match for key 'k' " + tail},
    };
    ASSERT_EQ(entries.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < entries.size(); i++) {
        EXPECT_EQ(entries[i].level, expected[i].level) << i;
        EXPECT_EQ(entries[i].text, expected[i].text);
    }
}

TEST_F(ClientPropsAccessTest, DisabledTraceWritesNothing)
{
    ClientLogClose(context.log);
    context.log = ClientLogCreate("test", nullptr, CLIENT_LOG_ERROR, "/nonexistent", 1, GetMessageTable());
    configure("k = 1\n");
    ClientGetPropertyInt(&context, "k", 0);
    ClientGetProperty(&context, "k", nullptr);
    EXPECT_TRUE(lines().empty());
}
