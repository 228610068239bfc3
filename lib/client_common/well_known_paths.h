/*
 * The system's fixed paths, defined once.
 *
 * Installed programs see exactly the paths below. Test programs link a second
 * build of the same unit whose paths lie under a root in the build tree, so
 * nothing in a test touches the real system; no environment variable or
 * argument can redirect the installed programs.
 */
#ifndef CLIENT_COMMON_WELL_KNOWN_PATHS_H
#define CLIENT_COMMON_WELL_KNOWN_PATHS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Prefix every path below starts with: "" when installed. */
extern const char WELL_KNOWN_ROOT_PATH[];

/* "/etc/quillmesh/quillmesh.conf": the daemon's configuration file. */
extern const char CLIENT_CONFIG_PATH[];
/* "/var/quillmesh/daemon2": the daemon's LRPC2 socket. */
extern const char DAEMON_SOCKET_PATH[];
/* "file /var/log/norvalex_client.log": default client log destination. */
extern const char DEFAULT_CLIENT_LOG_DESTINATION[];
/* "/etc/quillrec/quillrec.conf": the framework's configuration file. */
extern const char FRAMEWORK_CONFIG_PATH[];
/* "/var/quillmesh/": data directory holding the "kset." settings files. */
extern const char DATA_DIRECTORY_PATH[];
/* "/var/quillmesh//QMC_ENROLL_IN_PROGRESS": marker of a join in progress. */
extern const char JOIN_MARKER_PATH[];
/* "/tmp/vexaXXXXXX": template for temporary file names. */
extern const char TEMP_NAME_TEMPLATE[];
/* "/usr/libexec/trailsend/trailsend-log" (under the install prefix): the
   program that writes trailsend's failure line. */
extern const char FAILURE_LOG_PROGRAM_PATH[];

#ifdef __cplusplus
}
#endif

#endif
