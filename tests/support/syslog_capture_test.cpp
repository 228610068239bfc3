// The preloaded syslog shim records what reaches the C library's syslog
// calls; the logger tests trust its records, so long and odd texts must come
// back whole.
#include "support/syslog_capture.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

using testsupport::SyslogCapture;
using testsupport::SyslogRecord;

TEST(SyslogCapture, RecordsLongIdentsAndTextsWholeWithTheirNumbers)
{
    ASSERT_TRUE(SyslogCapture::shimLoaded()) << "run through ctest, which preloads the syslog shim";
    SyslogCapture capture;
    // Longer than any fixed record buffer, and with characters the record
    // format escapes.
    const std::string ident = std::string(9000, 'i') + "\t\\\n" + std::string(9000, 'j');
    const std::string text = std::string(12000, 't') + "\tend\\";
    openlog(ident.c_str(), LOG_PID | LOG_CONS, LOG_LOCAL3);
    syslog(LOG_ERR, "%s", text.c_str());
    closelog();

    std::vector<SyslogRecord> records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].call, "openlog");
    EXPECT_EQ(records[0].ident, ident);
    EXPECT_EQ(records[0].option, LOG_PID | LOG_CONS);
    EXPECT_EQ(records[0].facility, LOG_LOCAL3);
    EXPECT_EQ(records[1].call, "syslog");
    EXPECT_EQ(records[1].priority, LOG_ERR);
    EXPECT_EQ(records[1].text, text);
    EXPECT_EQ(records[2].call, "closelog");
}
