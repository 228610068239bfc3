// trailsend-check end to end: its test twin runs as a real child of this test
// process against the stand-in daemon on the socket under the test root. The
// exit status of each situation, the silence of a check (no client log file
// line, no syslog line, nothing on the daemon's side but the handshake), the
// request it shows and sends compared with what the trailsend twin sends, and
// its JSON read back by Python's json module.
#include "client_common/client_msg.h"
#include "client_common/well_known_paths.h"
#include "support/program_runner.h"
#include "support/lrpc2_wire.h"
#include "support/stub_daemon.h"
#include "support/stub_json.h"
#include "support/syslog_capture.h"
#include "support/temp_dir.h"
#include "support/test_root.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using testsupport::Bytes;
using testsupport::ChildResult;
using testsupport::EnvChanges;
using testsupport::StubDaemon;
using testsupport::SyslogCapture;
using testsupport::TestRoot;

namespace {

const int kAuditTrailEvent = 1200;
const std::string kClientLog = DEFAULT_CLIENT_LOG_DESTINATION + 5; // after "file "
const std::string kComponent = "audittrail.Norvalex_Suite.Norvalex_Commands.";
const char kPython[] = "/usr/bin/python3";

// Prints every leaf of the JSON object in argv[1] as "path=value", the value
// in Python's own ASCII JSON form.
const char kFlattenJson[] = R"(import json, sys
def walk(path, value):
    if isinstance(value, dict):
        for key, item in value.items():
            walk(path + [key], item)
    elif isinstance(value, list):
        for index, item in enumerate(value):
            walk(path + [str(index)], item)
    else:
        print(".".join(path) + "=" + json.dumps(value))
walk([], json.loads(sys.argv[1]))
)";

std::string CheckTwinPath()
{
    return std::string(TRAILSEND_BUILD_DIR) + "/twin/trailsend-check";
}

std::string UserName()
{
    const passwd *entry = getpwuid(getuid());
    return entry ? entry->pw_name : "";
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

// The lines the checker wrote to standard error: they alone start with its name.
std::vector<std::string> ErrorLines(const std::string &output)
{
    std::vector<std::string> errors;
    for (const std::string &line : Lines(output))
        if (line.rfind("trailsend-check: ", 0) == 0)
            errors.push_back(line);
    return errors;
}

// The bytes of the text report's hex dump rows ("    00000010  b0 04 ... |...|").
Bytes DumpedBytes(const std::string &output)
{
    Bytes bytes;
    for (const std::string &line : Lines(output)) {
        if (line.size() < 14 || line.compare(0, 4, "    ") != 0 || line.compare(12, 2, "  ") != 0)
            continue;
        const std::string hex = line.substr(14, line.find(" |") - 14);
        for (size_t at = 0; at + 1 < hex.size(); at++)
            if (hex[at] != ' ' && hex[at + 1] != ' ') {
                bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(at, 2), nullptr, 16)));
                at++;
            }
    }
    return bytes;
}

// The frame a body travels in: magic and total length before it.
Bytes Framed(const Bytes &body)
{
    return testsupport::Wire().u32(LRPC2_FRAME_MAGIC).u32(static_cast<uint32_t>(body.size() + 8)).raw(body.data(), body.size()).bytes();
}

class TrailsendCheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(access(CheckTwinPath().c_str(), X_OK), 0) << "build the trailsend-check_twin target";
        ASSERT_EQ(access(testsupport::TwinPath().c_str(), X_OK), 0) << "build the trailsend_twin target";
        ASSERT_FALSE(UserName().empty());
        ASSERT_TRUE(SyslogCapture::shimLoaded()) << "run through ctest";
        testsupport::WriteFile(FRAMEWORK_CONFIG_PATH, "");
    }

    // Runs a twin with the arguments after the program name; the session id
    // comes from the test only.
    static ChildResult run(const std::string &program, const std::vector<std::string> &arguments, EnvChanges env = {})
    {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        env.emplace("QR_SESSION_ID", testsupport::kUnset);
        return testsupport::RunProgram(argv, env);
    }
    static ChildResult check(const std::vector<std::string> &arguments, EnvChanges env = {})
    {
        return run(CheckTwinPath(), arguments, env);
    }

    // Runs a twin against the stand-in daemon and keeps what the daemon
    // printed; a request expected to arrive is waited for.
    ChildResult runWithDaemon(const std::string &program, const std::vector<std::string> &arguments,
                              bool expectRequest, EnvChanges env = {}, std::vector<std::string> stubOptions = {})
    {
        stubOptions.push_back("--json");
        StubDaemon daemon(DAEMON_SOCKET_PATH, stubOptions);
        const ChildResult result = run(program, arguments, env);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(expectRequest ? 3000 : 300);
        while (testsupport::StubMessagesOfType(daemon.lines(), kAuditTrailEvent).empty() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        daemon.stop();
        stubLines = daemon.lines();
        return result;
    }

    std::vector<testsupport::StubMessage> requests() const
    {
        return testsupport::StubMessagesOfType(stubLines, kAuditTrailEvent);
    }

    // The JSON object on the first line of the output, flattened by Python.
    std::vector<std::string> flattenJson(const std::string &output)
    {
        const ChildResult python = testsupport::RunProgram({kPython, "-c", kFlattenJson, Lines(output).at(0)});
        EXPECT_EQ(python.exitStatus, 0) << python.output;
        return Lines(python.output);
    }

    TestRoot root;
    SyslogCapture capture;
    std::vector<std::string> stubLines;
};

bool Has(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(TrailsendCheckTest, ExitStatusTellsWhatWouldHappen)
{
    enum Daemon { ABSENT, ACCEPTS, REFUSES };
    const std::string longSocket = "/" + std::string(120, 's');
    struct Case {
        const char *name;
        std::string config; // "<none>": no configuration file; "<dir>": a folder in its place
        Daemon daemon;
        std::vector<std::string> arguments;
        int exitStatus;
        std::string error; // the one line on standard error; empty: none
        std::string reportLine;
    } cases[] = {
        {"defaults", "<none>", ACCEPTS, {}, 0, "", "  status        file does not exist: the defaults apply"},
        {"configured targets", "audittrail.targets: 1\n", ACCEPTS, {"200", "x", ""}, 0, "",
         "  audittrail.targets = 1  (file)"},
        {"targets 0", "audittrail.targets: 0\n", ACCEPTS, {}, 2,
         "trailsend-check: no audit target is configured for Norvalex Suite/Norvalex Commands: nothing would be sent",
         "  final         0: the sender sends nothing"},
        {"component overrides to 0",
         "audittrail.targets: 2\naudittrail.Norvalex_Suite.Norvalex_Commands.overrides: 2\n"
         "audittrail.Norvalex_Suite.Norvalex_Commands.targets: 0\n",
         ACCEPTS, {}, 2, "trailsend-check: no audit target is configured for Norvalex Suite/Norvalex Commands: nothing "
                         "would be sent",
         "  reason        The bits of overrides 2 come from the component's targets 0, the others from the global "
         "targets 2"},
        // A setting that cannot be read counts as absent, as in the sender.
        {"unreadable targets", "audittrail.targets: file:/nonexistent/targets\n", ACCEPTS, {}, 0, "",
         "  audittrail.targets = 2  (default: the file's value cannot be read: file does not exist)"},
        {"unreadable time-out", "lrpc.timeout: file:/nonexistent/timeout\n", ACCEPTS, {}, 0, "",
         "  lrpc.timeout = 300 seconds  (default: the file's value cannot be read: file does not exist)"},
        {"another product", "audittrail.targets: 0\naudittrail.P_Q.C.overrides: 1\naudittrail.P_Q.C.targets: 1\n",
         ACCEPTS, {"--product", "P Q", "--category", "C"}, 0, "", "  product       \"P Q\""},
        {"daemon absent", "<none>", ABSENT, {}, 3,
         "trailsend-check: dirsvcd cannot be reached through '" + std::string(DAEMON_SOCKET_PATH) +
             "': Cannot open socket: no socket at this path (No such file or directory)",
         ""},
        {"handshake refused", "<none>", REFUSES, {}, 3,
         "trailsend-check: dirsvcd cannot be reached through '" + std::string(DAEMON_SOCKET_PATH) +
             "': Cannot open socket: the daemon refused the handshake",
         ""},
        {"path too long", "dirsvcd.clients.socket2: " + longSocket + "\n", ACCEPTS, {}, 3,
         "trailsend-check: dirsvcd cannot be reached through '" + longSocket +
             "': Cannot open socket: the socket path is too long for a socket address (121 bytes, at most 107)",
         "  dirsvcd.clients.socket2 = \"" + longSocket + "\"  (file)"},
        {"relative path", "dirsvcd.clients.socket2: daemon2\n", ACCEPTS, {}, 3,
         "trailsend-check: dirsvcd cannot be reached through 'daemon2': Socket path does not exist: the socket path "
         "is not absolute",
         ""},
        {"unreadable configuration", "<dir>", ACCEPTS, {}, 4,
         "trailsend-check: the client configuration file " + std::string(CLIENT_CONFIG_PATH) +
             " cannot be read: system error",
         "  status        cannot be read: system error (status 304); the defaults apply"},
        // Precedence: the configuration before the daemon, the daemon before the targets.
        {"unreadable configuration, daemon absent", "<dir>", ABSENT, {}, 4, "trailsend-check: the client configuration", ""},
        {"targets 0, daemon absent", "audittrail.targets: 0\n", ABSENT, {}, 3, "trailsend-check: dirsvcd cannot be", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::RemoveTree(CLIENT_CONFIG_PATH);
        if (c.config == "<dir>")
            testsupport::MakeDirectories(CLIENT_CONFIG_PATH);
        else if (c.config != "<none>")
            testsupport::WriteFile(CLIENT_CONFIG_PATH, c.config);
        ChildResult result;
        if (c.daemon == ABSENT) {
            result = check(c.arguments);
        } else {
            std::vector<std::string> options;
            if (c.daemon == REFUSES)
                options = {"--handshake-answer", "2"};
            result = runWithDaemon(CheckTwinPath(), c.arguments, false, {}, options);
            EXPECT_TRUE(stubLines.empty()) << "the daemon received a message";
        }
        EXPECT_EQ(result.exitStatus, c.exitStatus) << result.output;
        const auto errors = ErrorLines(result.output);
        if (c.error.empty()) {
            EXPECT_TRUE(errors.empty()) << result.output;
        } else {
            ASSERT_EQ(errors.size(), 1u) << result.output;
            EXPECT_EQ(errors[0].rfind(c.error, 0), 0u) << errors[0];
        }
        if (!c.reportLine.empty()) {
            EXPECT_TRUE(Has(Lines(result.output), c.reportLine)) << result.output;
        }
        EXPECT_NE(result.output.find("\nVerdict: "), std::string::npos);
    }
}

TEST_F(TrailsendCheckTest, UsageErrorsHelpAndVersion)
{
    const struct {
        std::vector<std::string> arguments;
        int exitStatus;
        std::string output; // the start of the output
    } cases[] = {
        {{"--frobnicate"}, 64, "trailsend-check: unknown option '--frobnicate' (see trailsend-check --help)\n"},
        {{"-x"}, 64, "trailsend-check: unknown option '-x'"},
        {{"-5", "", "sshd"}, 64, "trailsend-check: unknown option '-5'; a negative CODE goes after '--'"},
        {{"--product", "P"}, 64, "trailsend-check: --product and --category go together"},
        {{"--category", "C", "200", "x", ""}, 64, "trailsend-check: --product and --category go together"},
        {{"--product", "", "--category", "C"}, 64, "trailsend-check: --product and --category want a name"},
        {{"--product"}, 64, "trailsend-check: option '--product' wants a NAME"},
        {{"200"}, 64, "trailsend-check: wrong number of arguments: CODE TEXT_A TEXT_B, or none"},
        {{"200", "x"}, 64, "trailsend-check: wrong number of arguments"},
        {{"200", "x", "", "extra"}, 64, "trailsend-check: wrong number of arguments"},
        {{"--help"}, 0, "Usage: trailsend-check [--json] [--send] [--product NAME --category NAME] [CODE TEXT_A TEXT_B]\n"},
        {{"--json", "--help", "--frobnicate"}, 0, "Usage: trailsend-check"},
        {{"--version"}, 0, "trailsend-check 1.0.0\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? "" : c.arguments[0]);
        const ChildResult result = check(c.arguments);
        EXPECT_EQ(result.exitStatus, c.exitStatus) << result.output;
        EXPECT_EQ(result.output.rfind(c.output, 0), 0u) << result.output;
        if (c.exitStatus == 64) {
            EXPECT_EQ(Lines(result.output).size(), 1u) << "one line: " << result.output;
        }
    }
    const std::string help = check({"--help"}).output;
    for (const char *status : {"\n  0   ", "\n  2   ", "\n  3   ", "\n  4   ", "\n  64  "})
        EXPECT_NE(help.find(status), std::string::npos) << status;
    EXPECT_TRUE(capture.records().empty());
}

// A check writes nothing anywhere, even with the client log at trace level
// and its file ready: not to the file, not to syslog, not to the daemon.
TEST_F(TrailsendCheckTest, WritesNothingWithoutSend)
{
    testsupport::WriteFile(kClientLog, "");
    for (const char *config : {"log.audittrail: trace\n", "log.audittrail: trace\naudittrail.logdest: syslog\n",
                               "log: debug\naudittrail.targets: file:/nonexistent/targets\n"}) {
        SCOPED_TRACE(config);
        testsupport::WriteFile(CLIENT_CONFIG_PATH, config);
        const ChildResult present = runWithDaemon(CheckTwinPath(), {"200", "x", ""}, false);
        EXPECT_TRUE(stubLines.empty()) << "the daemon received a message";
        const ChildResult absent = check({"200", "x", ""});
        EXPECT_EQ(absent.exitStatus, 3);
        EXPECT_EQ(testsupport::ReadFile(kClientLog), "");
        EXPECT_TRUE(capture.records().empty()) << capture.lines().size() << " syslog calls";
    }
}

// The request shown is the one trailsend sends for the same arguments, and
// --send hands over exactly the bytes trailsend hands over.
TEST_F(TrailsendCheckTest, ShowsAndSendsExactlyWhatTrailsendSends)
{
    const struct {
        std::vector<std::string> arguments;
        const char *sessionId;
    } cases[] = {
        {{"200", "x", ""}, nullptr},
        {{"17", "a", "sshd"}, "tty7:4711"},
        {{"--", "-5", "", ""}, "s"},
    };
    for (const auto &c : cases) {
        const std::vector<std::string> trailsendArguments(c.arguments.end() - 3, c.arguments.end());
        SCOPED_TRACE(trailsendArguments[0]);
        EnvChanges env;
        if (c.sessionId)
            env["QR_SESSION_ID"] = c.sessionId;

        ASSERT_EQ(runWithDaemon(testsupport::TwinPath(), trailsendArguments, true, env).exitStatus, 0);
        const auto sent = requests();
        ASSERT_EQ(sent.size(), 1u);

        const ChildResult shown = runWithDaemon(CheckTwinPath(), c.arguments, false, env);
        EXPECT_EQ(shown.exitStatus, 0) << shown.output;
        EXPECT_TRUE(stubLines.empty());
        EXPECT_EQ(DumpedBytes(shown.output), Framed(sent[0].body)) << shown.output;

        std::vector<std::string> withSend{"--send"};
        withSend.insert(withSend.end(), c.arguments.begin(), c.arguments.end());
        const ChildResult sending = runWithDaemon(CheckTwinPath(), withSend, true, env);
        EXPECT_EQ(sending.exitStatus, 0) << sending.output;
        EXPECT_TRUE(Has(Lines(sending.output), "  result        0: delivered, or nothing had to be sent"));
        const auto checked = requests();
        ASSERT_EQ(checked.size(), 1u);
        EXPECT_EQ(checked[0].body, sent[0].body);
        EXPECT_EQ(DumpedBytes(sending.output), Framed(sent[0].body));
    }
}

TEST_F(TrailsendCheckTest, SendReportsTheSendersResult)
{
    struct Case {
        const char *name;
        const char *config;
        bool daemon;
        int exitStatus;
        const char *resultLine;
    } cases[] = {
        {"targets 0", "audittrail.targets: 0\n", true, 2, "  result        0: delivered, or nothing had to be sent"},
        {"daemon absent", "", false, 3,
         "  result        10: not delivered: no session to the daemon, or the request could not be built or written"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::WriteFile(CLIENT_CONFIG_PATH, c.config);
        const ChildResult result =
            c.daemon ? runWithDaemon(CheckTwinPath(), {"--send"}, false) : check({"--send"});
        EXPECT_EQ(result.exitStatus, c.exitStatus) << result.output;
        EXPECT_TRUE(Has(Lines(result.output), c.resultLine)) << result.output;
        EXPECT_EQ(ErrorLines(result.output).size(), 1u) << result.output;
        if (c.daemon) {
            EXPECT_TRUE(stubLines.empty()) << "nothing is sent without a target";
        }
    }
}

TEST_F(TrailsendCheckTest, JsonIsOneObjectThatPythonReads)
{
    if (access(kPython, X_OK) != 0)
        GTEST_SKIP() << "python3 is not installed";
    // Quotes, a backslash, control bytes, DEL, valid UTF-8 (e9 as c3 a9) and
    // bytes outside it: a stray ff, a surrogate's encoding, a cut sequence.
    const std::string sessionId = "q\"\\\x01\x7f\xff\xc3\xa9\xed\xa0\x80";
    testsupport::WriteFile(CLIENT_CONFIG_PATH, "log: debug\naudittrail.targets: three\n");
    const ChildResult result =
        runWithDaemon(CheckTwinPath(), {"--json", "200", "a\nb", "\xe2\x82"}, false, {{"QR_SESSION_ID", sessionId}});
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_EQ(Lines(result.output).size(), 1u) << "one object on one line: " << result.output;
    const auto json = flattenJson(result.output);
    const std::string user = UserName();
    for (const std::string &line : {
             std::string("program=\"trailsend-check\""),
             std::string("version=\"1.0.0\""),
             "configuration.path=\"" + std::string(CLIENT_CONFIG_PATH) + "\"",
             std::string("configuration.status=0"),
             std::string("configuration.settings.2.key=\"log.audittrail\""),
             std::string("configuration.settings.2.value=\"debug\""),
             std::string("configuration.settings.2.value_key=\"log\""),
             std::string("configuration.settings.2.source=\"file\""),
             std::string("configuration.settings.4.key=\"audittrail.targets\""),
             std::string("configuration.settings.4.value=2"),
             std::string("configuration.settings.4.source=\"default\""),
             std::string("configuration.settings.4.invalid_file_value=\"three\""),
             std::string("configuration.settings.6.key=\"") + kComponent + "targets\"",
             std::string("configuration.settings.6.value=-1"),
             std::string("targets.final=2"),
             std::string("targets.would_send=true"),
             std::string("daemon.reached=true"),
             std::string("daemon.passes_credentials=true"),
             std::string("request.session_id=\"q\\\"\\\\\\u0001\\u007f\\u00ff\\u00e9\\u00ed\\u00a0\\u0080\""),
             std::string("request.texts.0=\"a\\nb\""),
             std::string("request.texts.1=\"\\u00e2\\u0082\""),
             "request.user=\"" + user + "\"",
             "request.process_id=" + std::to_string(getpid()),
             std::string("request.type=1200"),
             std::string("send=null"),
             std::string("exit_status=0"),
         })
        EXPECT_TRUE(Has(json, line)) << line;
    // The frame in the JSON is the frame of the dump.
    const auto frame = std::find_if(json.begin(), json.end(),
                                    [](const std::string &line) { return line.rfind("request.frame=\"", 0) == 0; });
    ASSERT_NE(frame, json.end());
    EXPECT_EQ(frame->rfind("request.frame=\"1280cdab", 0), 0u) << *frame;

    // A failed check is still one object, followed by the one error line.
    const ChildResult absent = check({"--json"});
    EXPECT_EQ(absent.exitStatus, 3);
    ASSERT_EQ(Lines(absent.output).size(), 2u) << absent.output;
    const auto failed = flattenJson(absent.output);
    EXPECT_TRUE(Has(failed, "daemon.reached=false"));
    EXPECT_TRUE(Has(failed, "daemon.status=401"));
    EXPECT_TRUE(Has(failed, "daemon.status_text=\"Cannot open socket\""));
    EXPECT_TRUE(Has(failed, "exit_status=3"));
}

} // namespace
