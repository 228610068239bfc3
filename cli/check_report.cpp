#include "check_report.h"

#include "client_common/at_proxy_lrpc2.h"
#include "client_common/client_props.h"
#include "client_common/client_props_access.h"
#include "client_common/lrpc2_status.h"

#include <stdarg.h>

std::string FormatToString(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0)
        return std::string();
    if (static_cast<size_t>(length) < sizeof text)
        return std::string(text, static_cast<size_t>(length));
    std::string longer(static_cast<size_t>(length) + 1, '\0');
    va_start(args, format);
    vsnprintf(&longer[0], longer.size(), format, args);
    va_end(args);
    longer.resize(static_cast<size_t>(length));
    return longer;
}

namespace {

// The length of the valid UTF-8 sequence (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF) starting at `at`, or 0.
size_t Utf8SequenceLength(const std::string &bytes, size_t at)
{
    const unsigned char lead = static_cast<unsigned char>(bytes[at]);
    size_t length;
    unsigned char low = 0x80;  // bounds of the second byte
    unsigned char high = 0xbf;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0; // shorter forms are overlong
        else if (lead == 0xed)
            high = 0x9f; // U+D800 to U+DFFF are surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f; // above U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() - at < length)
        return 0;
    for (size_t i = 1; i < length; i++) {
        const unsigned char c = static_cast<unsigned char>(bytes[at + i]);
        if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xbf))
            return 0;
    }
    return length;
}

// Escapes for both renderings; `json` selects \u00XX over \xNN, `quoted`
// whether '"' and '\' are escaped too.
std::string Escape(const std::string &bytes, bool json, bool quoted)
{
    std::string out;
    out.reserve(bytes.size() + 2);
    for (size_t at = 0; at < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[at]);
        const size_t length = Utf8SequenceLength(bytes, at);
        if (length > 1) {
            out.append(bytes, at, length);
            at += length;
            continue;
        }
        at++;
        if (quoted && (c == '"' || c == '\\')) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (json && c == '\b') {
            out += "\\b";
        } else if (json && c == '\f') {
            out += "\\f";
        } else if (c < 0x20 || c >= 0x7f) {
            out += FormatToString(json ? "\\u%04x" : "\\x%02x", static_cast<unsigned>(c));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Quoted(const std::string &bytes)
{
    return "\"" + DisplayString(bytes) + "\"";
}

std::string HexBytes(const std::vector<unsigned char> &bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes)
        out += FormatToString("%02x", static_cast<unsigned>(b));
    return out;
}

const char *PropertyStatusText(int status)
{
    const char *text = ClientPropertyStatusText(status);
    return text ? text : "unknown status";
}

// What a configuration status means for the run.
std::string ConfigurationStatusText(int status)
{
    if (status == 0)
        return "read";
    if (status == PROP_NOT_FOUND)
        return FormatToString("%s: the defaults apply", PropertyStatusText(status));
    return FormatToString("cannot be read: %s (status %d); the defaults apply", PropertyStatusText(status), status);
}

const char *SourceName(int origin)
{
    switch (origin) {
    case CLIENT_PROPERTY_FILE: return "file";
    case CLIENT_PROPERTY_FAILED: return "unreadable";
    default: return "default";
    }
}

std::string SettingValueText(const SettingFinding &setting)
{
    std::string text;
    if (!setting.hasValue)
        text = "(none)";
    else
        text = setting.numeric ? setting.value : Quoted(setting.value);
    if (!setting.comment.empty())
        text += setting.numeric ? " " + setting.comment : " (" + setting.comment + ")";
    return text;
}

std::string SettingSourceText(const SettingFinding &setting)
{
    switch (setting.origin) {
    case CLIENT_PROPERTY_FILE:
        return setting.valueKey.empty() ? "file" : "file, key " + setting.valueKey;
    case CLIENT_PROPERTY_INVALID:
        return "default: the file's value " + Quoted(setting.fileValue) + " is not valid";
    case CLIENT_PROPERTY_FAILED: {
        // The sender takes a setting it cannot read as absent; only a
        // destination it cannot read leaves no destination at all.
        const std::string why = setting.referenceStatus != 0
                                    ? FormatToString("the file's value cannot be read: %s",
                                             PropertyStatusText(setting.referenceStatus))
                                    : std::string("the file's value cannot be read");
        return setting.hasValue ? "default: " + why : why;
    }
    default:
        return "default";
    }
}

std::string SendResultText(int result)
{
    switch (result) {
    case AT_RESULT_OK: return "delivered, or nothing had to be sent";
    case AT_RESULT_MISSING_FIELD: return "a product, category or user name is missing";
    case AT_RESULT_UNSUPPORTED_TYPE: return "a parameter type is not supported; nothing was sent";
    case AT_RESULT_UNKNOWN_TYPE: return "a parameter type is unknown; nothing was sent";
    case AT_RESULT_NOT_DELIVERED: return "not delivered: no session to the daemon, or the request could not be built or written";
    default: return "unknown result";
    }
}

void Line(std::string &out, const char *label, const std::string &value)
{
    out += FormatToString("  %-13s %s\n", label, value.c_str());
}

void TextConfiguration(std::string &out, const ConfigurationFinding &configuration)
{
    out += "Configuration\n";
    Line(out, "file", Quoted(configuration.path));
    Line(out, "status", ConfigurationStatusText(configuration.status));
    for (const SettingFinding &setting : configuration.settings)
        out += "  " + DisplayString(setting.key) + " = " + SettingValueText(setting) + "  (" +
               SettingSourceText(setting) + ")\n";
}

void TextTargets(std::string &out, const TargetsFinding &targets)
{
    out += "\nTargets of " + DisplayString(targets.productName) + "/" + DisplayString(targets.categoryName) + "\n";
    Line(out, "global", FormatToString("%d", targets.global));
    Line(out, "overrides", FormatToString("%d", targets.overrides));
    Line(out, "component", FormatToString("%d", targets.componentTargets));
    Line(out, "final", FormatToString("%d: %s", targets.finalTargets,
                              targets.finalTargets != 0 ? "not 0, the sender sends the event"
                                                        : "the sender sends nothing"));
    Line(out, "reason", DisplayString(targets.reason));
}

void TextDaemon(std::string &out, const DaemonFinding &daemon)
{
    out += "\nDaemon\n";
    Line(out, "socket", Quoted(daemon.socketPath));
    Line(out, "time-out", daemon.timeout == 0 ? std::string("0 seconds: no limit") : FormatToString("%d seconds", daemon.timeout));
    if (!daemon.reached) {
        const char *text = LRPC2StatusText(daemon.status);
        Line(out, "handshake", FormatToString("failed after %.2f ms: %s (%d): %s", daemon.handshakeMilliseconds,
                                      text ? text : "unknown status", daemon.status, daemon.detail.c_str()));
        return;
    }
    Line(out, "handshake", FormatToString("accepted in %.2f ms; nothing was written", daemon.handshakeMilliseconds));
    std::string credentials = daemon.passesCredentials ? "passed with every message (SO_PASSCRED)"
                                                       : "not passed (SO_PASSCRED is off)";
    if (daemon.peerKnown)
        credentials += FormatToString("; the daemon is process %ld, user %lu, group %lu", static_cast<long>(daemon.peerPid),
                              static_cast<unsigned long>(daemon.peerUid), static_cast<unsigned long>(daemon.peerGid));
    Line(out, "credentials", credentials);
}

void TextRequest(std::string &out, const RequestFinding &request)
{
    out += "\nRequest\n";
    if (!request.built) {
        Line(out, "none", DisplayString(request.problem));
        return;
    }
    Line(out, "type", FormatToString("%s (%u), %lu bytes", request.typeName.c_str(), static_cast<unsigned>(request.type),
                             static_cast<unsigned long>(request.frame.size())));
    Line(out, "product", Quoted(request.productName));
    Line(out, "category", Quoted(request.categoryName));
    Line(out, "code", FormatToString("%u", static_cast<unsigned>(request.code)));
    Line(out, "user", Quoted(request.userName));
    Line(out, "process id", FormatToString("%llu (the parent process)", static_cast<unsigned long long>(request.processId)));
    Line(out, "session id", request.hasSessionId ? Quoted(request.sessionId) : std::string("(none)"));
    std::string texts;
    for (const std::string &text : request.texts)
        texts += (texts.empty() ? "" : ", ") + Quoted(text);
    Line(out, "texts", texts);
    Line(out, "trace", Escape(request.trace, false, false));
    out += "  frame\n" + HexDump(request.frame, "    ");
}

void TextSend(std::string &out, const SendFinding &send)
{
    out += "\nSend\n";
    if (!send.attempted) {
        Line(out, "result", "not sent: the calling user has no login name");
        return;
    }
    Line(out, "result", FormatToString("%d: %s", send.result, SendResultText(send.result).c_str()));
}

// JSON pieces.
std::string J(const std::string &text) { return JsonString(text); }
std::string JOrNull(bool present, const std::string &text) { return present ? JsonString(text) : "null"; }
const char *JBool(bool value) { return value ? "true" : "false"; }

std::string JsonSetting(const SettingFinding &setting)
{
    std::string out = "{\"key\":" + J(setting.key);
    out += ",\"value\":" + (!setting.hasValue ? std::string("null") : setting.numeric ? setting.value : J(setting.value));
    out += ",\"source\":" + J(SourceName(setting.origin));
    out += ",\"value_key\":" + JOrNull(!setting.valueKey.empty(), setting.valueKey);
    out += ",\"invalid_file_value\":" + JOrNull(setting.origin == CLIENT_PROPERTY_INVALID, setting.fileValue);
    const char *reference = ClientPropertyStatusText(setting.referenceStatus);
    out += ",\"reference_status\":" + FormatToString("%d", setting.referenceStatus);
    out += ",\"reference_status_text\":" + JOrNull(reference != nullptr, reference ? reference : "");
    out += ",\"comment\":" + JOrNull(!setting.comment.empty(), setting.comment);
    return out + "}";
}

std::string JsonConfiguration(const ConfigurationFinding &configuration)
{
    const char *statusText = ClientPropertyStatusText(configuration.status);
    std::string out = "{\"path\":" + J(configuration.path);
    out += FormatToString(",\"status\":%d", configuration.status);
    out += ",\"status_text\":" + JOrNull(statusText != nullptr, statusText ? statusText : "");
    out += FormatToString(",\"read\":%s,\"settings\":[", JBool(configuration.status == 0));
    for (size_t i = 0; i < configuration.settings.size(); i++)
        out += (i ? "," : "") + JsonSetting(configuration.settings[i]);
    return out + "]}";
}

std::string JsonTargets(const TargetsFinding &targets)
{
    return "{\"product\":" + J(targets.productName) + ",\"category\":" + J(targets.categoryName) +
           FormatToString(",\"global\":%d,\"overrides\":%d,\"component\":%d,\"final\":%d,\"would_send\":%s", targets.global,
                  targets.overrides, targets.componentTargets, targets.finalTargets, JBool(targets.finalTargets != 0)) +
           ",\"reason\":" + J(targets.reason) + "}";
}

std::string JsonDaemon(const DaemonFinding &daemon)
{
    const char *statusText = LRPC2StatusText(daemon.status);
    std::string out = "{\"socket\":" + J(daemon.socketPath);
    out += FormatToString(",\"timeout\":%d,\"reached\":%s,\"status\":%d", daemon.timeout, JBool(daemon.reached), daemon.status);
    out += ",\"status_text\":" + JOrNull(statusText != nullptr, statusText ? statusText : "");
    out += ",\"detail\":" + JOrNull(!daemon.reached, daemon.detail);
    out += FormatToString(",\"handshake_ms\":%.3f,\"passes_credentials\":%s", daemon.handshakeMilliseconds,
                  JBool(daemon.passesCredentials));
    if (daemon.peerKnown)
        out += FormatToString(",\"peer\":{\"pid\":%ld,\"uid\":%lu,\"gid\":%lu}", static_cast<long>(daemon.peerPid),
                      static_cast<unsigned long>(daemon.peerUid), static_cast<unsigned long>(daemon.peerGid));
    else
        out += ",\"peer\":null";
    return out + "}";
}

std::string JsonRequest(const RequestFinding &request)
{
    std::string out = FormatToString("{\"built\":%s", JBool(request.built));
    out += ",\"problem\":" + JOrNull(!request.built, request.problem);
    if (!request.built)
        return out + "}";
    out += ",\"product\":" + J(request.productName) + ",\"category\":" + J(request.categoryName);
    out += FormatToString(",\"code\":%u", static_cast<unsigned>(request.code));
    out += ",\"user\":" + J(request.userName);
    out += FormatToString(",\"process_id\":%llu", static_cast<unsigned long long>(request.processId));
    out += ",\"session_id\":" + JOrNull(request.hasSessionId, request.sessionId);
    out += ",\"texts\":[";
    for (size_t i = 0; i < request.texts.size(); i++)
        out += (i ? "," : "") + J(request.texts[i]);
    out += FormatToString("],\"type\":%u,\"type_name\":", static_cast<unsigned>(request.type)) + J(request.typeName);
    out += FormatToString(",\"length\":%lu", static_cast<unsigned long>(request.frame.size()));
    out += ",\"trace\":" + J(request.trace) + ",\"frame\":" + J(HexBytes(request.frame));
    return out + "}";
}

std::string JsonSend(const SendFinding &send)
{
    if (!send.requested)
        return "null";
    if (!send.attempted)
        return "{\"attempted\":false,\"result\":null,\"result_text\":null}";
    return FormatToString("{\"attempted\":true,\"result\":%d,\"result_text\":", send.result) + J(SendResultText(send.result)) +
           "}";
}

void Write(FILE *out, const std::string &text)
{
    fwrite(text.data(), 1, text.size(), out);
    fflush(out);
}

} // namespace

std::string JsonString(const std::string &bytes)
{
    return "\"" + Escape(bytes, true, true) + "\"";
}

std::string DisplayString(const std::string &bytes)
{
    return Escape(bytes, false, true);
}

std::string HexDump(const std::vector<unsigned char> &bytes, const char *indent)
{
    std::string out;
    for (size_t row = 0; row < bytes.size(); row += 16) {
        out += FormatToString("%s%08lx ", indent, static_cast<unsigned long>(row));
        std::string printable;
        for (size_t i = row; i < row + 16; i++) {
            if (i % 8 == 0)
                out += ' ';
            if (i < bytes.size()) {
                out += FormatToString("%02x ", static_cast<unsigned>(bytes[i]));
                printable += bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char>(bytes[i]) : '.';
            } else {
                out += "   ";
            }
        }
        out += " |" + printable + "|\n";
    }
    return out;
}

void WriteTextReport(FILE *out, const CheckReport &report)
{
    std::string text;
    TextConfiguration(text, report.configuration);
    TextTargets(text, report.targets);
    TextDaemon(text, report.daemon);
    TextRequest(text, report.request);
    if (report.send.requested)
        TextSend(text, report.send);
    text += FormatToString("\nVerdict: %s (exit status %d)\n", DisplayString(report.verdict).c_str(), report.exitStatus);
    Write(out, text);
}

void WriteJsonReport(FILE *out, const CheckReport &report)
{
    std::string text = "{\"program\":\"trailsend-check\",\"version\":" + J(TRAILSEND_VERSION);
    text += ",\"configuration\":" + JsonConfiguration(report.configuration);
    text += ",\"targets\":" + JsonTargets(report.targets);
    text += ",\"daemon\":" + JsonDaemon(report.daemon);
    text += ",\"request\":" + JsonRequest(report.request);
    text += ",\"send\":" + JsonSend(report.send);
    text += FormatToString(",\"exit_status\":%d,\"verdict\":", report.exitStatus) + J(report.verdict) + "}\n";
    Write(out, text);
}
