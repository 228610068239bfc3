#include "check_probe.h"

#include "client_common/at_proxy_lrpc2.h"
#include "client_common/client_context.h"
#include "client_common/client_msg.h"
#include "client_common/client_props.h"
#include "client_common/client_props_access.h"
#include "client_common/log_buffer.h"
#include "client_common/lrpc2_session.h"
#include "client_common/lrpc2_status.h"
#include "client_common/msg_trace.h"
#include "client_common/msg_type_table.h"
#include "client_common/well_known_paths.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

double NowMilliseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// What the context's client log was set up with.
struct LogSettings {
    bool hasDestination = false;
    std::string destination;
    uint32_t threshold = CLIENT_LOG_INFO;
    std::string socketPath;
};

// A key's origin as the accessors left it, with the file's value when that
// was not valid.
SettingFinding Setting(ClientContext *context, const std::string &key)
{
    SettingFinding setting;
    setting.key = key;
    setting.origin = ClientPropertyOrigin(context, key.c_str(), &setting.referenceStatus);
    if (setting.origin == CLIENT_PROPERTY_INVALID) {
        const ClientProperty *entry = FindClientProperty(context->configuration, key.c_str());
        if (entry && entry->evaluatedValue)
            setting.fileValue = entry->evaluatedValue;
    }
    return setting;
}

SettingFinding NumberSetting(ClientContext *context, const std::string &key, int value, int origin)
{
    SettingFinding setting = Setting(context, key);
    setting.origin = origin;
    setting.numeric = true;
    setting.value = FormatToString("%d", value);
    return setting;
}

void CheckConfiguration(ClientContext *context, const LogSettings &log, ConfigurationFinding &configuration)
{
    configuration.path = CLIENT_CONFIG_PATH;
    configuration.status = context->configurationStatus;

    SettingFinding socket = Setting(context, CLIENT_SOCKET_PATH_KEY);
    socket.value = log.socketPath;
    configuration.settings.push_back(socket);

    SettingFinding timeout = Setting(context, CLIENT_TIMEOUT_KEY);
    timeout.numeric = true;
    timeout.value = FormatToString("%d", context->timeout);
    timeout.comment = context->timeout == 0 ? "seconds: no limit" : "seconds";
    configuration.settings.push_back(timeout);

    // The level's name may come from a shorter key ("log"): ask the context
    // set-up's own look-up which one.
    size_t keyLength = 0;
    const char *levelName = GetClientLogLevelName(context, AUDIT_TRAIL_LOG_LEVEL_KEY, AUDIT_TRAIL_LOG_LEVEL_DEFAULT,
                                                  &keyLength);
    const std::string levelKey(AUDIT_TRAIL_LOG_LEVEL_KEY, keyLength);
    SettingFinding level = keyLength ? Setting(context, levelKey) : SettingFinding();
    level.key = AUDIT_TRAIL_LOG_LEVEL_KEY;
    if (keyLength && levelKey != level.key)
        level.valueKey = levelKey;
    level.value = levelName ? levelName : "";
    level.comment = FormatToString("%s", log.threshold <= CLIENT_LOG_FATAL ? LEVEL_NAMES[log.threshold] : "INFO");
    configuration.settings.push_back(level);

    SettingFinding destination = Setting(context, AUDIT_TRAIL_LOG_DESTINATION_KEY);
    destination.hasValue = log.hasDestination;
    destination.value = log.destination;
    if (!log.hasDestination)
        destination.comment = "plain syslog";
    configuration.settings.push_back(destination);
}

// The sender's own resolution, and the three keys it read.
void CheckTargets(ClientContext *context, const TrailsendEvent &event, TargetsFinding &finding,
                  ConfigurationFinding &configuration)
{
    AuditTrailTargets targets;
    ResolveAuditTrailTargets(context, event.productName, event.categoryName, &targets);
    finding.productName = event.productName;
    finding.categoryName = event.categoryName;
    finding.global = targets.global;
    finding.overrides = targets.overrides;
    finding.componentTargets = targets.componentTargets;
    finding.finalTargets = targets.finalTargets;
    finding.reason = targets.reason;
    configuration.settings.push_back(
        NumberSetting(context, AUDIT_TRAIL_TARGETS_KEY, targets.global, targets.globalOrigin));
    configuration.settings.push_back(
        NumberSetting(context, targets.overridesKey, targets.overrides, targets.overridesOrigin));
    configuration.settings.push_back(
        NumberSetting(context, targets.targetsKey, targets.componentTargets, targets.componentTargetsOrigin));
}

std::string DescribeOpenFailure(int status, int error, const std::string &path, int timeout)
{
    switch (status) {
    case LRPC2_ERR_NO_SOCKET_PATH:
        return "the socket path is not absolute";
    case LRPC2_ERR_CANNOT_OPEN_SOCKET:
        if (path.size() >= sizeof(sockaddr_un::sun_path))
            return FormatToString("the socket path is too long for a socket address (%lu bytes, at most %lu)",
                          static_cast<unsigned long>(path.size()),
                          static_cast<unsigned long>(sizeof(sockaddr_un::sun_path) - 1));
        if (error == ENOENT)
            return "no socket at this path (No such file or directory)";
        if (error == ECONNREFUSED)
            return "nothing listens on the socket (Connection refused)";
        if (error != 0)
            return strerror(error);
        return "the daemon refused the handshake";
    case LRPC2_ERR_SOCKET_CLOSED:
        return "the daemon closed the connection during the handshake";
    case LRPC2_ERR_TIMEOUT:
        return FormatToString("the daemon did not answer the handshake within %d seconds", timeout);
    case LRPC2_ERR_NO_MEMORY:
        return "out of memory";
    default:
        return error != 0 ? FormatToString("socket error during the handshake (%s)", strerror(error))
                          : std::string("socket error during the handshake");
    }
}

// Connect, handshake and credentials, as the sender opens its session (the
// handshake bounded by the configured time-out); then the session is closed
// unused.
void CheckDaemon(const std::string &socketPath, const MsgTypeTable *table, int timeout, DaemonFinding &daemon)
{
    daemon.socketPath = socketPath;
    daemon.timeout = timeout;
    int status = 0;
    errno = 0;
    const double start = NowMilliseconds();
    LRPC2Session *session = SessionOpen(socketPath.c_str(), table, timeout, &status);
    const int error = errno;
    daemon.handshakeMilliseconds = NowMilliseconds() - start;
    if (!session) {
        daemon.status = status;
        daemon.detail = DescribeOpenFailure(status, error, socketPath, timeout);
        return;
    }
    daemon.reached = true;
    int passCredentials = 0;
    socklen_t size = sizeof passCredentials;
    daemon.passesCredentials = getsockopt(session->readFd, SOL_SOCKET, SO_PASSCRED, &passCredentials, &size) == 0 &&
                               passCredentials != 0;
    struct ucred peer;
    size = sizeof peer;
    if (getsockopt(session->readFd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
        daemon.peerKnown = true;
        daemon.peerPid = peer.pid;
        daemon.peerUid = peer.uid;
        daemon.peerGid = peer.gid;
    }
    SessionClose(session);
}

// The request the sender would write, built by the sender's own builder.
void CheckRequestMessage(ClientContext *context, const TrailsendEvent &event, const std::string *userName,
                         pid_t parent, RequestFinding &request)
{
    request.productName = event.productName;
    request.categoryName = event.categoryName;
    request.code = event.code;
    for (int i = 0; i < event.textCount; i++)
        request.texts.push_back(event.texts[i]);
    if (!userName) {
        request.problem = FormatToString("the calling user (id %lu) has no login name", static_cast<unsigned long>(getuid()));
        return;
    }
    request.hasUser = true;
    request.userName = *userName;
    // The builder takes the sender's own id for a parent id of 0.
    request.processId = static_cast<uint64_t>(parent != 0 ? parent : getpid());
    const char *sessionId = getenv(AUDIT_TRAIL_SESSION_ID_VARIABLE);
    request.hasSessionId = sessionId != nullptr;
    request.sessionId = sessionId ? sessionId : "";

    int result = 0;
    ClientMsg *message = BuildTrailsendRequest(context, &result, event, userName->c_str(), parent);
    if (!message) {
        request.problem = FormatToString("the request cannot be built (result %d)", result);
        return;
    }
    int status = MsgComplete(message);
    if (status != 0) {
        request.problem = FormatToString("the request cannot be completed: %s", MsgStatusText(status));
        return;
    }
    char *text = MsgToString(message);
    request.trace = text ? text : "(null)";
    free(text);
    unsigned char *frame = nullptr;
    size_t length = 0;
    status = WriteLRPC2FrameHeader(message, &frame, &length);
    if (status != 0) {
        request.problem = FormatToString("the request has no frame: %s", LRPC2StatusText(status));
        return;
    }
    request.frame.assign(frame, frame + length);
    uint16_t type = 0;
    MsgGetType(message, &type);
    request.type = type;
    const char *name = MsgTypeName(context->messageTable, type);
    request.typeName = name ? name : "";
    request.built = true;
}

// The exit status by precedence, and its verdict.
void Decide(CheckReport &report)
{
    const ConfigurationFinding &configuration = report.configuration;
    const DaemonFinding &daemon = report.daemon;
    const SendFinding &send = report.send;
    const char *verb = send.requested ? "was" : "would be";
    if (configuration.status != 0 && configuration.status != PROP_NOT_FOUND) {
        const char *text = ClientPropertyStatusText(configuration.status);
        report.exitStatus = CHECK_EXIT_CONFIGURATION;
        report.verdict = "the client configuration file " + configuration.path + " cannot be read: " +
                         (text ? text : "unknown status");
    } else if (!daemon.reached) {
        const char *text = LRPC2StatusText(daemon.status);
        report.exitStatus = CHECK_EXIT_DAEMON;
        report.verdict = "dirsvcd cannot be reached through '" + daemon.socketPath + "': " +
                         (text ? text : "unknown status") + ": " + daemon.detail;
    } else if (send.attempted && send.result != AT_RESULT_OK) {
        report.exitStatus = CHECK_EXIT_DAEMON;
        report.verdict = FormatToString("the sender did not deliver the event (result %d)", send.result);
    } else if (!report.request.hasUser) {
        report.exitStatus = CHECK_EXIT_NOTHING_TO_SEND;
        report.verdict = report.request.problem + ": trailsend would fail before sending anything";
    } else if (report.targets.finalTargets == 0) {
        report.exitStatus = CHECK_EXIT_NOTHING_TO_SEND;
        report.verdict = "no audit target is configured for " + report.targets.productName + "/" +
                         report.targets.categoryName + ": nothing " + verb + " sent";
    } else if (!report.request.built) {
        report.exitStatus = CHECK_EXIT_NOTHING_TO_SEND;
        report.verdict = report.request.problem + ": nothing " + verb + " sent";
    } else {
        report.exitStatus = CHECK_EXIT_OK;
        report.verdict = std::string("the event ") + verb + " delivered to dirsvcd";
    }
}

} // namespace

void RunChecks(const CheckRequest &request, CheckReport &report)
{
    const pid_t parent = getppid();
    std::string userName;
    char *calling = CallingUserName();
    const bool hasUser = calling != nullptr;
    if (hasUser) {
        userName = calling;
        free(calling);
    }

    ClientContext context;
    InitAuditTrailClientContext(&context);
    if (!context.log) {
        ReleaseClientContext(&context);
        report.exitStatus = CHECK_EXIT_CONFIGURATION;
        report.verdict = "cannot set up a client context: out of memory";
        return;
    }
    // Take what the client log was set up with, then drop it unwritten: lines
    // gathered by a check must reach neither the daemon nor the emergency log.
    LogSettings log;
    log.hasDestination = context.log->destination != nullptr;
    log.destination = log.hasDestination ? context.log->destination : "";
    log.threshold = context.log->threshold;
    log.socketPath = context.log->socketPath ? context.log->socketPath : DAEMON_SOCKET_PATH;
    ClientLogDiscard(context.log);
    context.log = nullptr;

    CheckConfiguration(&context, log, report.configuration);
    CheckTargets(&context, request.event, report.targets, report.configuration);
    CheckDaemon(log.socketPath, context.messageTable, context.timeout, report.daemon);
    CheckRequestMessage(&context, request.event, hasUser ? &userName : nullptr, parent, report.request);
    ReleaseClientContext(&context);

    if (request.send) {
        report.send.requested = true;
        if (hasUser) {
            report.send.attempted = true;
            report.send.result = SendTrailsendEvent(request.event, userName.c_str(), parent);
        }
    }
    Decide(report);
}
