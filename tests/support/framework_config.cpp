#include "support/framework_config.h"

#include "client_common/well_known_paths.h"
#include "hlx/properties.h"
#include "support/temp_dir.h"

namespace testsupport {

void TestRootFrameworkConfig::SetUp()
{
    m_root.reset(new TestRoot);
    WriteFile(FRAMEWORK_CONFIG_PATH, "");
    hlx::Properties::destroyInstance();
    hlx::Properties::instance();
}

void TestRootFrameworkConfig::TearDown()
{
    hlx::Properties::destroyInstance();
    m_root.reset();
}

} // namespace testsupport
