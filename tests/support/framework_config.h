// Gives a test program a framework configuration of its own: an empty
// configuration file under the test root, loaded into the process-wide
// properties store before the first test. The store is otherwise created by
// the program's first log output, and its load would then add a line of its
// own (the file is missing) or apply another program's configuration to the
// logger levels a test has set.
//
// Register it once per test program:
//     const auto *gConfig = ::testing::AddGlobalTestEnvironment(new testsupport::TestRootFrameworkConfig);
// The program writes under the test root, so it belongs in the list of
// tests holding the test root lock (tests/CMakeLists.txt).
#pragma once

#include "support/test_root.h"

#include <gtest/gtest.h>

#include <memory>

namespace testsupport {

class TestRootFrameworkConfig : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;

private:
    std::unique_ptr<TestRoot> m_root;
};

} // namespace testsupport
