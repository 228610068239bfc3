// The process-wide store, loaded from the framework configuration file under
// the test root. The first test must be the first use of the store and the
// first log output of the process.
#include "client_common/well_known_paths.h"
#include "hlx/logger.h"
#include "hlx/properties.h"
#include "hlx/property_lookup.h"
#include "hlx/setting.h"
#include "hlx/thread.h"
#include "support/syslog_capture.h"
#include "support/temp_dir.h"
#include "support/test_root.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using hlx::Properties;
using testsupport::SyslogCapture;
using testsupport::TestRoot;

namespace {

// Each test leaves no store behind, so the next one starts without one;
// the first one must find the store's creation lock not yet made.
class PropertiesInstanceTest : public ::testing::Test {
protected:
    void TearDown() override { Properties::destroyInstance(); }

    TestRoot m_root;
};

void WriteConfig(const std::string &content)
{
    TestRoot::write(FRAMEWORK_CONFIG_PATH + TestRoot::path().size(), content);
}

} // namespace

TEST_F(PropertiesInstanceTest, ThreadsRacingToTheFirstCallShareOneStoreLoadedOnce)
{
    // The load's warning is the process's first output, whose openlog step
    // asks the store again: it must get the store being loaded. Every load
    // of this file warns once, so one line means one load.
    WriteConfig("log = WARNING\na = 1\nlogger.openlog." + std::string(program_invocation_short_name) + " = No\n");
    SyslogCapture capture;
    const int threadCount = 8;
    std::atomic<bool> go{false};
    std::vector<Properties *> stores(threadCount, nullptr);
    std::vector<std::string> values(threadCount);
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load())
                std::this_thread::yield();
            stores[i] = Properties::instance();
            values[i] = stores[i]->getString("a");
        });
    }
    go.store(true);
    for (std::thread &thread : threads)
        thread.join();
    for (int i = 0; i < threadCount; ++i) {
        EXPECT_EQ(stores[i], stores[0]) << "thread " << i;
        EXPECT_EQ(values[i], "1") << "thread " << i << " read the store before its load ended";
    }
    EXPECT_EQ(Properties::instance(), stores[0]);
    EXPECT_TRUE(stores[0]->loaded());
    std::vector<testsupport::SyslogRecord> records = capture.records();
    ASSERT_EQ(records.size(), 1u) << "one load, and no openlog when the property says no";
    EXPECT_EQ(records[0].call, "vsyslog");
    EXPECT_EQ(records[0].priority, LOG_AUTH | LOG_WARNING);
    EXPECT_EQ(records[0].text, "WARN  com.norvalex.logger Illegal value for property 'log': 'WARNING'. Using 'INFO'.");
}

TEST_F(PropertiesInstanceTest, MissingFileGivesAnEmptyStoreAndOneError)
{
    SyslogCapture capture;
    Properties *store = Properties::instance();
    EXPECT_FALSE(store->loaded());
    EXPECT_EQ(store->getString("log"), "");
    EXPECT_EQ(capture.lines(),
              std::vector<std::string>{std::string("ERROR util.properties Unable to open config file: ") +
                                       FRAMEWORK_CONFIG_PATH});
    EXPECT_EQ(Properties::instance(), store);
    EXPECT_FALSE(store->reload());
}

TEST_F(PropertiesInstanceTest, ReloadReadsTheFileAfresh)
{
    WriteConfig("a = 1\nb = 2\n");
    Properties *store = Properties::instance();
    EXPECT_EQ(store->getString("a"), "1");
    hlx::StringListPtr list = store->getStringList("b");
    WriteConfig("a = 3\n");
    EXPECT_TRUE(store->reload());
    EXPECT_EQ(store->getString("a"), "3");
    EXPECT_EQ(store->getString("b"), "");
    EXPECT_TRUE(store->getStringList("b")->empty());
    EXPECT_EQ(*list, hlx::StringList{"2"});
}

TEST_F(PropertiesInstanceTest, FrameworkPropertyLookupsReadTheStore)
{
    WriteConfig("hlx.clients.threads.stacksize = 262144\nlog.util.thread = DEBUG\n");
    EXPECT_EQ(hlx::lookupProperty("hlx.clients.threads.stacksize"), "262144");
    SyslogCapture capture;
    hlx::Thread thread;
    thread.start("t", [](long argument) { return argument; }, 0);
    thread.join();
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"DEBUG util.thread Set the pthread stack size to 262144"});
    WriteConfig("");
    Properties::instance()->reload();
}

TEST_F(PropertiesInstanceTest, BuiltInMacrosComeFromTheSettings)
{
    hlx::clearSettingsCache();
    const std::string data = DATA_DIRECTORY_PATH;
    testsupport::WriteFile(data + "kset.host", "myhost\n");
    testsupport::WriteFile(data + "kset.domain", "example.test");
    testsupport::WriteFile(data + "kset.zonename", "CN=zone1,OU=Zones,DC=example");
    WriteConfig("j = $JOINNAME\nd = $DOMAIN\ns = [$SITE]\nz = $ZONE\nq = '$ZONE'\n");
    Properties *store = Properties::instance();
    EXPECT_EQ(store->getString("j"), "myhost");
    EXPECT_EQ(store->getString("d"), "example.test");
    // An unreadable setting (here: no kset file) gives "<unknown>".
    EXPECT_EQ(store->getString("s"), "[<unknown>]");
    EXPECT_EQ(store->getString("z"), "zone1");
    EXPECT_EQ(store->getString("q"), "$ZONE");

    // A comma before "CN=" does not end the name.
    testsupport::WriteFile(data + "kset.zonename", "OU=a,CN=zz");
    hlx::clearSettingsCache();
    EXPECT_TRUE(store->reload());
    EXPECT_EQ(store->getString("z"), "zz");

    // A text without '$' leaves the macros to the save that expands the
    // file's lines: its unchanged line keeps its macro.
    testsupport::TempDir dir;
    const std::string saved = dir.write("saved.conf", "j = $JOINNAME\nz = $ZONE\n");
    Properties plain;
    const std::string text = "j = myhost\nz = other\n";
    plain.loadText(text.data(), text.size(), true);
    ASSERT_EQ(plain.save(saved), 0);
    EXPECT_EQ(testsupport::ReadFile(saved), "j = $JOINNAME\nz: other\n");
    hlx::clearSettingsCache();
}
