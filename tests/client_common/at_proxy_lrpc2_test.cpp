// The audit-trail event sender within a context of the test's own: every
// audit parameter type and its trace line, null values, unsupported and
// unknown types, missing names, the process id and the component keys. The
// request goes over a real session to the stand-in daemon on the socket under
// the test root; the log stays batching so its lines can be read back.
#include "client_common/at_proxy_lrpc2.h"
#include "client_common/client_context.h"
#include "client_common/client_msg.h"
#include "client_common/client_props_access.h"
#include "client_common/log_buffer.h"
#include "client_common/well_known_paths.h"
#include "support/client_log_entries.h"
#include "support/lrpc2_wire.h"
#include "support/stub_daemon.h"
#include "support/stub_json.h"
#include "support/temp_dir.h"
#include "support/test_root.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using testsupport::Bytes;
using testsupport::StubDaemon;
using testsupport::TestRoot;
using testsupport::Wire;

namespace {

const char *const kSenderPrefixes[] = {"audittrail.", "dirsvcd.clients.socket2", "log", "lrpc.timeout", nullptr};
const int kAuditTrailEvent = 1200;

// The fixed fields of the events below, after the type bytes.
Wire FixedFields(const std::string &product, const std::string &category, uint64_t processId)
{
    Wire wire;
    wire.u16(kAuditTrailEvent);
    wire.u8(WIRE_STRING).item(product).u8(WIRE_STRING).item(category).u8(WIRE_UINT32).u32(7);
    wire.u8(WIRE_BLOB).nullItem().u8(WIRE_STRING).nullItem().u8(WIRE_STRING).item("ann");
    wire.u8(WIRE_BLOB).nullItem().u8(WIRE_STRING).nullItem();
    wire.u8(WIRE_BLOB).u32(8).u64(processId);
    return wire;
}

// One variable parameter: type, size, blob.
void Parameter(Wire &wire, uint32_t type, const void *value, uint32_t size)
{
    wire.u8(WIRE_UINT32).u32(type).u8(WIRE_UINT32).u32(size);
    if (value)
        wire.u8(WIRE_BLOB).u32(size).raw(value, size);
    else
        wire.u8(WIRE_BLOB).nullItem();
}

Bytes Close(Wire &wire)
{
    return wire.u8(WIRE_UINT32).u32(0).u8(WIRE_END).bytes();
}

bool InOrder(const std::vector<std::string> &lines, const std::vector<std::string> &expected)
{
    auto from = lines.begin();
    for (const std::string &line : expected) {
        from = std::find(from, lines.end(), line);
        if (from == lines.end()) {
            ADD_FAILURE() << "missing or out of order: " << line;
            return false;
        }
        ++from;
    }
    return true;
}

class AuditTrailSenderTest : public ::testing::Test {
protected:
    // Writes the configuration (trace level plus extra lines), starts the
    // stand-in daemon and connects a context as SendAuditTrailEvent does,
    // without switching the log to forwarding.
    void start(const std::string &extraConfiguration = "")
    {
        testsupport::WriteFile(CLIENT_CONFIG_PATH, "log.audittrail: trace\n" + extraConfiguration);
        daemon.reset(new StubDaemon(DAEMON_SOCKET_PATH, {"--json"}));
        InitClientContext(&context, nullptr, kSenderPrefixes, "audittrail.logdest", DEFAULT_CLIENT_LOG_DESTINATION,
                          "log.audittrail", "info");
        ASSERT_NE(context.log, nullptr);
        ASSERT_EQ(OpenLRPC2Session(&context), 1);
        testsupport::TakeClientLogTexts(context.log);
    }
    ~AuditTrailSenderTest() override { ReleaseClientContext(&context); }

    // The requests the daemon received; waits for one when one is expected.
    std::vector<testsupport::StubMessage> received(bool expectOne)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(expectOne ? 3000 : 300);
        while (testsupport::StubMessagesOfType(daemon->lines(), kAuditTrailEvent).empty() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        daemon->stop();
        return testsupport::StubMessagesOfType(daemon->lines(), kAuditTrailEvent);
    }

    std::vector<std::string> logTexts() { return testsupport::TakeClientLogTexts(context.log); }

    TestRoot root;
    std::unique_ptr<StubDaemon> daemon;
    ClientContext context{};
    int result = -1;
};

TEST_F(AuditTrailSenderTest, EncodesAndTracesEverySupportedType)
{
    start();
    const AuditTrailTime time{0x100000005LL, 0x200000007LL};
    const uint64_t big = 0x1122334455667788ULL;
    const int64_t negative = -4;
    const double real = 1.1;
    ASSERT_EQ(SendATProxySetAuditTrailEvent(&context, &result, "Norvalex Suite", "Norvalex Commands", 7, nullptr,
                                            nullptr, "ann", nullptr, nullptr, 4660,
                                            AT_UINT16, 0x12345, AT_UINT32, -1, AT_UINT64, big, AT_INT16, -2,
                                            AT_INT32, -3, AT_INT64, negative, AT_FLOAT, real, AT_UTF8STRING, "t\xc3\xa9",
                                            AT_BYTE, 0x1ff, AT_WCHAR, 0x263a, AT_EPOCHTIME, &time, AT_END),
              1);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(InOrder(logTexts(), {
                                        "-> SendATProxySetAuditTrailEvent",
                                        "AuditTrailEvent: Norvalex Suite Norvalex Commands 7 0.0 (null) ann <userSid> (null) 4660",
                                        "UINT16: 74565",
                                        "UINT32: 4294967295",
                                        "UINT64: 1234605616436508552",
                                        "INT16: -2",
                                        "INT32: -3",
                                        "INT64: -4",
                                        "FLOAT: 1.100000",
                                        "UTF8STRING: t\xc3\xa9",
                                        "BYTE: 0xff",
                                        "WCHAR: 0x263a",
                                        "EPOCHTIME: tv_sec=5, tv_usec=7",
                                        "<- SendATProxySetAuditTrailEvent, result=(1)",
                                    }));

    // Sixteen-bit and byte values travel as whole ints, not narrowed.
    const int values[] = {0x12345, -1, -2, -3, 0x1ff, 0x263a};
    Wire wire = FixedFields("Norvalex Suite", "Norvalex Commands", 4660);
    Parameter(wire, AT_UINT16, &values[0], 4);
    Parameter(wire, AT_UINT32, &values[1], 4);
    Parameter(wire, AT_UINT64, &big, 8);
    Parameter(wire, AT_INT16, &values[2], 4);
    Parameter(wire, AT_INT32, &values[3], 4);
    Parameter(wire, AT_INT64, &negative, 8);
    Parameter(wire, AT_FLOAT, &real, 8);
    Parameter(wire, AT_UTF8STRING, "t\xc3\xa9", 4);
    Parameter(wire, AT_BYTE, &values[4], 4);
    Parameter(wire, AT_WCHAR, &values[5], 4);
    Parameter(wire, AT_EPOCHTIME, &time, 16);
    const auto requests = received(true);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, Close(wire));
}

TEST_F(AuditTrailSenderTest, NullStringAndTimeAreSentAsNullBlobs)
{
    start();
    const AuditTrailTime *noTime = nullptr;
    const char *noText = nullptr;
    ASSERT_EQ(SendATProxySetAuditTrailEvent(&context, &result, "Norvalex Suite", "Norvalex Commands", 7, nullptr,
                                            nullptr, "ann", nullptr, nullptr, 4660, AT_UTF8STRING, noText,
                                            AT_EPOCHTIME, noTime, AT_END),
              1);
    EXPECT_TRUE(InOrder(logTexts(), {"UTF8STRING: (NULL)", "EPOCHTIME: tv_sec=0, tv_usec=0"}));
    Wire wire = FixedFields("Norvalex Suite", "Norvalex Commands", 4660);
    Parameter(wire, AT_UTF8STRING, nullptr, 0);
    Parameter(wire, AT_EPOCHTIME, nullptr, 0);
    const auto requests = received(true);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, Close(wire));
}

TEST_F(AuditTrailSenderTest, EmptyListIsSentWithItsEnd)
{
    start();
    ASSERT_EQ(SendATProxySetAuditTrailEvent(&context, &result, "Norvalex Suite", "Norvalex Commands", 7, nullptr,
                                            nullptr, "ann", nullptr, nullptr, 4660, AT_END),
              1);
    Wire wire = FixedFields("Norvalex Suite", "Norvalex Commands", 4660);
    const auto requests = received(true);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, Close(wire));
}

TEST_F(AuditTrailSenderTest, UnsupportedTypeIsSkippedAndNothingIsSent)
{
    struct Case {
        int type;
        const char *line;
    } cases[] = {
        {AT_WSTRING, "WSTRING: <parameter type is not supported>"},
        {AT_GUID, "GUID: <parameter type is not supported>"},
        {AT_UTF8STRINGARRAY, "UTF8STRINGARRAY: <parameter type is not supported>"},
        {AT_WSTRINGARRAY, "WSTRINGARRAY: <parameter type is not supported>"},
    };
    start();
    const unsigned char guid[16] = {1};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        result = -1;
        // The string after the unsupported parameter is still read and traced.
        EXPECT_EQ(SendATProxySetAuditTrailEvent(&context, &result, "Norvalex Suite", "Norvalex Commands", 7, nullptr,
                                                nullptr, "ann", nullptr, nullptr, 4660, c.type, guid, AT_UTF8STRING,
                                                "after", AT_END),
                  0);
        EXPECT_EQ(result, AT_RESULT_UNSUPPORTED_TYPE);
        EXPECT_TRUE(InOrder(logTexts(), {c.line, "UTF8STRING: after", "<- SendATProxySetAuditTrailEvent, result=(0)"}));
    }
    EXPECT_TRUE(received(false).empty());
}

TEST_F(AuditTrailSenderTest, UnknownTypeStopsReadingTheList)
{
    start();
    EXPECT_EQ(SendATProxySetAuditTrailEvent(&context, &result, "Norvalex Suite", "Norvalex Commands", 7, nullptr,
                                            nullptr, "ann", nullptr, nullptr, 4660, AT_UTF8STRING, "before", 16,
                                            AT_UTF8STRING, "never", AT_END),
              0);
    EXPECT_EQ(result, AT_RESULT_UNKNOWN_TYPE);
    const auto texts = logTexts();
    EXPECT_TRUE(InOrder(texts, {"UTF8STRING: before", "Unknown parameter type 16, parameter list is malformed."}));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "UTF8STRING: never"), 0);
    EXPECT_TRUE(received(false).empty());
}

TEST_F(AuditTrailSenderTest, MissingNamesGiveResultTwo)
{
    struct Case {
        const char *product;
        const char *category;
        const char *user;
        const char *line;
    } cases[] = {
        {nullptr, "C", "ann", "Invalid value for productName."},
        {"", "C", "ann", "Invalid value for productName."},
        {"P", nullptr, "ann", "Invalid value for categoryName."},
        {"P", "", "ann", "Invalid value for categoryName."},
        {"P", "C", nullptr, "Invalid value for userName."},
        {"P", "C", "", "Invalid value for userName."},
    };
    start();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        result = -1;
        EXPECT_EQ(SendATProxySetAuditTrailEvent(&context, &result, c.product, c.category, 7, nullptr, nullptr, c.user,
                                                nullptr, nullptr, 4660, AT_END),
                  0);
        EXPECT_EQ(result, AT_RESULT_MISSING_FIELD);
        const auto texts = logTexts();
        EXPECT_EQ(std::count(texts.begin(), texts.end(), c.line), 1);
    }
    EXPECT_TRUE(received(false).empty());
}

TEST_F(AuditTrailSenderTest, ProcessIdZeroSendsTheSendersOwn)
{
    start();
    ASSERT_EQ(SendATProxySetAuditTrailEvent(&context, &result, "Norvalex Suite", "Norvalex Commands", 7, nullptr,
                                            nullptr, "ann", nullptr, nullptr, 0, AT_END),
              1);
    EXPECT_TRUE(InOrder(logTexts(), {"No processID provided, getting process ID.",
                                     "AuditTrailEvent: Norvalex Suite Norvalex Commands 7 0.0 (null) ann <userSid> "
                                     "(null) " + std::to_string(getpid())}));
    Wire wire = FixedFields("Norvalex Suite", "Norvalex Commands", static_cast<uint64_t>(getpid()));
    const auto requests = received(true);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, Close(wire));
}

TEST_F(AuditTrailSenderTest, SpacesBecomeUnderscoresInTheKeysOnly)
{
    start("audittrail.targets: 0\n"
          "audittrail.My_Product.Sub_Cat_A.overrides: 4\n"
          "audittrail.My_Product.Sub_Cat_A.targets: 6\n");
    EXPECT_EQ(GetComponentAuditTrailTargets(&context, "My Product", "Sub Cat A"), 4);
    ASSERT_EQ(SendATProxySetAuditTrailEvent(&context, &result, "My Product", "Sub Cat A", 7, nullptr, nullptr, "ann",
                                            nullptr, nullptr, 4660, AT_END),
              1);
    EXPECT_TRUE(InOrder(logTexts(), {"The final targets setting of My Product/Sub Cat A is 4."}));
    Wire wire = FixedFields("My Product", "Sub Cat A", 4660);
    const auto requests = received(true);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, Close(wire));
}

// The record of a resolution: each setting with its origin, the final value
// the sender uses, and the one-line reason. A setting that cannot be read (a
// missing or unsafe list file) counts as absent, and the sender says so.
TEST(AuditTrailTargetsResolution, RecordsEachSettingAndTheReason)
{
    const std::string component = "audittrail.Norvalex_Suite.Norvalex_Commands.";
    const std::string inherit = "The targets setting of Norvalex Suite/Norvalex Commands is -1, don't known what value "
                                "to override, so will inherit global targets setting";
    testsupport::TempDir dir;
    const std::string unsafe = dir.write("overrides", "1\n");
    ASSERT_EQ(chmod(unsafe.c_str(), 0666), 0);
    const struct {
        std::string content;
        int global, globalOrigin, overrides, overridesOrigin, targets, targetsOrigin, finalTargets;
        std::string reason;
        std::string unreadLine; // the sender's DEBUG line about a setting it cannot read
    } cases[] = {
        {"", 2, CLIENT_PROPERTY_DEFAULT, 0, CLIENT_PROPERTY_DEFAULT, -1, CLIENT_PROPERTY_DEFAULT, 2, inherit, ""},
        {"audittrail.targets: 1\n" + component + "overrides: 2\n" + component + "targets: 2\n", 1,
         CLIENT_PROPERTY_FILE, 2, CLIENT_PROPERTY_FILE, 2, CLIENT_PROPERTY_FILE, 3,
         "The bits of overrides 2 come from the component's targets 2, the others from the global targets 1", ""},
        {"audittrail.targets: all\n" + component + "targets: 0\n", 2, CLIENT_PROPERTY_INVALID, 0,
         CLIENT_PROPERTY_DEFAULT, 0, CLIENT_PROPERTY_FILE, 2,
         "The bits of overrides 0 come from the component's targets 0, the others from the global targets 2", ""},
        {"audittrail.targets: file:/nonexistent/targets\n", 2, CLIENT_PROPERTY_FAILED, 0, CLIENT_PROPERTY_DEFAULT,
         -1, CLIENT_PROPERTY_DEFAULT, 2, inherit, "The setting audittrail.targets cannot be read, using its default 2."},
        {"audittrail.targets: 0\n" + component + "overrides: 1\n" + component + "targets: file:/nonexistent/t\n", 0,
         CLIENT_PROPERTY_FILE, 1, CLIENT_PROPERTY_FILE, -1, CLIENT_PROPERTY_FAILED, 0, inherit,
         "The setting " + component + "targets cannot be read, using its default -1."},
        {"audittrail.targets: 3\n" + component + "overrides: file:" + unsafe + "\n" + component + "targets: 0\n", 3,
         CLIENT_PROPERTY_FILE, 0, CLIENT_PROPERTY_FAILED, 0, CLIENT_PROPERTY_FILE, 3,
         "The bits of overrides 0 come from the component's targets 0, the others from the global targets 3",
         "The setting " + component + "overrides cannot be read, using its default 0."},
    };
    TestRoot root;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.content);
        testsupport::WriteFile(CLIENT_CONFIG_PATH, "log: debug\n" + c.content);
        ClientContext context{};
        InitAuditTrailClientContext(&context);
        AuditTrailTargets targets;
        EXPECT_EQ(ResolveAuditTrailTargets(&context, "Norvalex Suite", "Norvalex Commands", &targets), c.finalTargets);
        EXPECT_EQ(targets.global, c.global);
        EXPECT_EQ(targets.globalOrigin, c.globalOrigin);
        EXPECT_EQ(targets.overrides, c.overrides);
        EXPECT_EQ(targets.overridesOrigin, c.overridesOrigin);
        EXPECT_EQ(targets.componentTargets, c.targets);
        EXPECT_EQ(targets.componentTargetsOrigin, c.targetsOrigin);
        EXPECT_EQ(targets.finalTargets, c.finalTargets);
        EXPECT_EQ(targets.overridesKey, component + "overrides");
        EXPECT_EQ(targets.targetsKey, component + "targets");
        EXPECT_EQ(targets.reason, c.reason);
        testsupport::TakeClientLogTexts(context.log);
        EXPECT_EQ(GetComponentAuditTrailTargets(&context, "Norvalex Suite", "Norvalex Commands"), c.finalTargets);
        std::vector<std::string> unread;
        for (const std::string &line : testsupport::TakeClientLogTexts(context.log))
            if (line.rfind("The setting ", 0) == 0)
                unread.push_back(line);
        EXPECT_EQ(unread, c.unreadLine.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.unreadLine});
        ReleaseClientContext(&context);
    }
}

TEST_F(AuditTrailSenderTest, NoTargetsSendsNothingAndSucceeds)
{
    start("audittrail.targets: 0\n");
    result = -1;
    EXPECT_EQ(SendATProxySetAuditTrailEvent(&context, &result, "Norvalex Suite", "Norvalex Commands", 7, nullptr,
                                            nullptr, nullptr, nullptr, nullptr, 4660, AT_END),
              1);
    EXPECT_EQ(result, -1) << "the result is left untouched";
    EXPECT_TRUE(InOrder(logTexts(), {"No targets are specified, do nothing and return."}));
    EXPECT_TRUE(received(false).empty());
}

// Every line the sender writes names its source unit and operation; the
// send step reports as the codec's unit.
TEST_F(AuditTrailSenderTest, LinesNameTheirUnitAndOperation)
{
    start();
    ASSERT_EQ(SendATProxySetAuditTrailEvent(&context, &result, "Norvalex Suite", "Norvalex Commands", 7, nullptr,
                                            nullptr, "ann", nullptr, nullptr, 0, AT_UTF8STRING, "x", AT_END),
              1);
    const std::string sender = "at_proxy_lrpc2";
    const std::string codec = "../../lib/client_common/client_msg";
    struct Expected {
        const std::string &source;
        const char *operation;
        const char *textStart;
    } expected[] = {
        {sender, "SendATProxySetAuditTrailEvent", "-> SendATProxySetAuditTrailEvent"},
        {sender, "GetComponentAuditTrailTargets", "The targets setting of Norvalex Suite/Norvalex Commands is -1"},
        {sender, "GetComponentAuditTrailTargets", "The final targets setting of "},
        {sender, "SendATProxySetAuditTrailEventInternal", "No processID provided, getting process ID."},
        {sender, "SendATProxySetAuditTrailEventInternal", "AuditTrailEvent: "},
        {sender, "SendATProxySetAuditTrailEventInternal", "UTF8STRING: x"},
        {codec, "Send", "Request: ATProxySetAuditTrailEvent["},
        {codec, "Send", "Reply: Msg=0"},
        {sender, "SendATProxySetAuditTrailEvent", "<- SendATProxySetAuditTrailEvent, result=(1)"},
    };
    std::vector<testsupport::ClientLogEntry> entries;
    for (const auto &entry : testsupport::TakeClientLogEntries(context.log))
        if (entry.source != "client_props") // the property reads' own traces
            entries.push_back(entry);
    ASSERT_EQ(entries.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < entries.size(); i++) {
        SCOPED_TRACE(entries[i].text);
        EXPECT_EQ(entries[i].source, expected[i].source);
        EXPECT_EQ(entries[i].operation, expected[i].operation);
        EXPECT_EQ(entries[i].text.rfind(expected[i].textStart, 0), 0u);
    }
    EXPECT_EQ(received(true).size(), 1u);
}

// A request that cannot be written after the session opened is reported as
// not sent (return 0, result 0), with the codec's WARNING line.
TEST(AuditTrailSenderDelivery, WriteFailureAfterTheSessionOpenedIsNotSuccess)
{
    TestRoot root;
    testsupport::WriteFile(CLIENT_CONFIG_PATH, "log.audittrail: warning\n");
    StubDaemon daemon(DAEMON_SOCKET_PATH, {"--json", "--shutdown-read"});
    ClientContext context{};
    InitClientContext(&context, nullptr, kSenderPrefixes, "audittrail.logdest", DEFAULT_CLIENT_LOG_DESTINATION,
                      "log.audittrail", "info");
    ASSERT_EQ(OpenLRPC2Session(&context), 1);
    int result = -1;
    // The daemon shut its reading side before it took the handshake.
    EXPECT_EQ(SendATProxySetAuditTrailEvent(&context, &result, "Norvalex Suite", "Norvalex Commands", 7, nullptr,
                                            nullptr, "ann", nullptr, nullptr, 4660, AT_END),
              0);
    EXPECT_EQ(result, AT_RESULT_OK);
    const auto entries = testsupport::TakeClientLogEntries(context.log);
    ReleaseClientContext(&context);
    daemon.stop();
    ASSERT_FALSE(entries.empty());
    const auto &last = entries.back();
    EXPECT_EQ(last.level, CLIENT_LOG_WARNING);
    EXPECT_EQ(last.source, "../../lib/client_common/client_msg");
    EXPECT_EQ(last.operation, "Send");
    EXPECT_EQ(last.text, "Failed to send message: Socket closed, MsgType: 1200.");
}

TEST(AuditTrailSender, NullContextIsRefused)
{
    int result = -1;
    EXPECT_EQ(SendATProxySetAuditTrailEvent(nullptr, &result, "P", "C", 7, nullptr, nullptr, "ann", nullptr, nullptr,
                                            1, AT_END),
              0);
    EXPECT_EQ(GetComponentAuditTrailTargets(nullptr, "P", "C"), 0);
}

} // namespace
