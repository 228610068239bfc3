// The command's twin under valgrind's memory checker: no invalid access and
// no leak on the success path, with the daemon absent (also with the client
// log writing to its file) and with a wrong argument count. Skipped when
// valgrind is missing or the build carries a sanitizer runtime.
#include "client_common/well_known_paths.h"
#include "support/program_runner.h"
#include "support/stub_daemon.h"
#include "support/temp_dir.h"
#include "support/test_root.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TRAILSEND_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TRAILSEND_SANITIZED 1
#endif

using testsupport::TestRoot;

namespace {

const char kValgrind[] = "/usr/bin/valgrind";
// Distinct from the command's own exit statuses.
const int kValgrindError = 99;

TEST(TrailsendValgrind, RunsCleanOnEveryPath)
{
#ifdef TRAILSEND_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a program built with a sanitizer";
#endif
    if (access(kValgrind, X_OK) != 0)
        GTEST_SKIP() << "valgrind is not installed";
    TestRoot root;
    struct Case {
        const char *name;
        bool daemon;
        const char *configuration; // null: none
        std::vector<std::string> arguments;
        int exitStatus;
    } cases[] = {
        {"success", true, nullptr, {"200", "x", ""}, 0},
        {"success at trace level", true, "log.audittrail: trace\n", {"17", "a", "b"}, 0},
        {"daemon absent", false, nullptr, {"200", "x", ""}, 1},
        {"daemon absent, lines to the client log file", false, "log.audittrail: debug\n", {"200", "x", ""}, 1},
        {"wrong argument count", false, nullptr, {"200", "x"}, 1},
    };
    testsupport::WriteFile(DEFAULT_CLIENT_LOG_DESTINATION + 5, "");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(CLIENT_CONFIG_PATH);
        if (c.configuration)
            testsupport::WriteFile(CLIENT_CONFIG_PATH, c.configuration);
        std::unique_ptr<testsupport::StubDaemon> daemon;
        if (c.daemon)
            daemon.reset(new testsupport::StubDaemon(DAEMON_SOCKET_PATH, {}));
        std::vector<std::string> argv{kValgrind, "-q", "--leak-check=full",
                                      "--error-exitcode=" + std::to_string(kValgrindError), testsupport::TwinPath()};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const testsupport::ChildResult result =
            testsupport::RunProgram(argv, {{"QR_SESSION_ID", testsupport::kUnset}}, std::chrono::seconds(120));
        EXPECT_EQ(result.exitStatus, c.exitStatus) << result.output;
        EXPECT_EQ(result.output, "");
    }
}

} // namespace
