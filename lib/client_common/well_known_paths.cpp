#include "client_common/well_known_paths.h"

// Built twice: without WELL_KNOWN_ROOT for installed programs, and with a
// root under the build tree for test programs.
#ifndef WELL_KNOWN_ROOT
#define WELL_KNOWN_ROOT ""
#endif
// Where the programs the commands execute are installed (the build's twin
// folder for test programs); set by the build from the install prefix.
#ifndef PROGRAM_DIRECTORY
#error "PROGRAM_DIRECTORY must name the folder of trailsend-log"
#endif

extern "C" {
const char WELL_KNOWN_ROOT_PATH[] = WELL_KNOWN_ROOT;
const char CLIENT_CONFIG_PATH[] = WELL_KNOWN_ROOT "/etc/quillmesh/quillmesh.conf";
const char DAEMON_SOCKET_PATH[] = WELL_KNOWN_ROOT "/var/quillmesh/daemon2";
const char DEFAULT_CLIENT_LOG_DESTINATION[] = "file " WELL_KNOWN_ROOT "/var/log/norvalex_client.log";
const char FRAMEWORK_CONFIG_PATH[] = WELL_KNOWN_ROOT "/etc/quillrec/quillrec.conf";
const char DATA_DIRECTORY_PATH[] = WELL_KNOWN_ROOT "/var/quillmesh/";
const char JOIN_MARKER_PATH[] = WELL_KNOWN_ROOT "/var/quillmesh//QMC_ENROLL_IN_PROGRESS";
const char TEMP_NAME_TEMPLATE[] = WELL_KNOWN_ROOT "/tmp/vexaXXXXXX";
const char FAILURE_LOG_PROGRAM_PATH[] = PROGRAM_DIRECTORY "/trailsend-log";
}
