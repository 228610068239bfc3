#include "client_common/well_known_paths.h"
#include "support/syslog_capture.h"
#include "support/test_root.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>

using testsupport::SyslogCapture;
using testsupport::TestRoot;

TEST(WellKnownPaths, TestProgramsSeeTheFixedPathsUnderTheBuildTree)
{
    const std::string root = TestRoot::path();
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(root.rfind(TRAILSEND_BUILD_DIR, 0), 0u) << root;
    const struct {
        const char *actual;
        std::string expected;
    } cases[] = {
        {CLIENT_CONFIG_PATH, root + "/etc/quillmesh/quillmesh.conf"},
        {DAEMON_SOCKET_PATH, root + "/var/quillmesh/daemon2"},
        {DEFAULT_CLIENT_LOG_DESTINATION, "file " + root + "/var/log/norvalex_client.log"},
        {FRAMEWORK_CONFIG_PATH, root + "/etc/quillrec/quillrec.conf"},
        {DATA_DIRECTORY_PATH, root + "/var/quillmesh/"},
        {JOIN_MARKER_PATH, root + "/var/quillmesh//QMC_ENROLL_IN_PROGRESS"},
        {TEMP_NAME_TEMPLATE, root + "/tmp/vexaXXXXXX"},
        // The twin of trailsend executes the twin of trailsend-log.
        {FAILURE_LOG_PROGRAM_PATH, TRAILSEND_BUILD_DIR "/twin/trailsend-log"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.actual, c.expected);
}

TEST(SyslogShim, RecordsWhatReachesTheCLibrary)
{
    ASSERT_TRUE(SyslogCapture::shimLoaded()) << "run through ctest so the shim is preloaded";
    SyslogCapture capture;
    openlog("ident", LOG_PID, LOG_AUTH);
    syslog(LOG_AUTH | LOG_ERR, "%s\t%d\n", "a\\b", 42);
    closelog();
    auto records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].call, "openlog");
    EXPECT_EQ(records[0].ident, "ident");
    EXPECT_EQ(records[0].option, LOG_PID);
    EXPECT_EQ(records[0].facility, LOG_AUTH);
    EXPECT_EQ(records[1].priority, LOG_AUTH | LOG_ERR);
    EXPECT_EQ(records[1].text, "a\\b\t42\n");
    EXPECT_EQ(records[2].call, "closelog");
}
