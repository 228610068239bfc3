// Feeds arbitrary destination texts, thresholds, levels and lines through the
// client log: destination parsing and the facility lookup, the fall-back to
// plain syslog with its failure lines, the file and syslog line formats, the
// forwarding failure path (the socket never exists) and the replay of pending
// entries at close. What reaches the log file must be whole lines of at most
// 1020 bytes without a control byte but their line feed.
//
// Input: byte 0 threshold, byte 1 level, byte 2 choice of the file target,
// then the destination text up to the first '\n', then the line.
#include "client_common/log_buffer.h"
#include "client_common/msg_type_table.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

// Syslog stays in the process: the fuzzer must not flood the host's log. The
// replacements also check what the log hands to syslog.
extern "C" {
void openlog(const char *, int, int) {}
void closelog(void) {}
void syslog(int, const char *format, ...)
{
    if (strcmp(format, "%s") != 0)
        abort();
    va_list args;
    va_start(args, format);
    const char *text = va_arg(args, const char *);
    va_end(args);
    if (strlen(text) > 510)
        abort();
}
}

namespace {

std::string &Scratch()
{
    static std::string dir = [] {
        char name[] = "/tmp/log_buffer_fuzz.XXXXXX";
        const char *made = mkdtemp(name);
        return std::string(made ? made : "/nonexistent");
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const uint32_t threshold = data[0] % 8;
    const uint32_t level = data[1];
    const uint8_t fileChoice = data[2];
    std::string rest(reinterpret_cast<const char *>(data + 3), size - 3);
    size_t newline = rest.find('\n');
    std::string destination = rest.substr(0, newline);
    std::string line = newline == std::string::npos ? "" : rest.substr(newline + 1);
    if (destination.find('\0') != std::string::npos)
        destination.resize(destination.find('\0'));

    // An absolute file destination would append to whatever file the input
    // names: point it into the scratch folder instead (an existing log file or
    // a missing one), keeping relative and odd paths as they are.
    std::string logFile;
    if (destination.compare(0, 6, "file /") == 0) {
        std::string path = Scratch() + (fileChoice & 1 ? "/client.log" : "/missing/client.log");
        if (fileChoice & 1) {
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd >= 0)
                close(fd);
            logFile = path;
        }
        destination = "file " + path;
    }

    const std::string socket = Scratch() + "/no-daemon";
    ClientLog *log = ClientLogCreate(fileChoice & 2 ? "fuzz" : NULL,
                                     fileChoice & 4 ? NULL : destination.c_str(), threshold,
                                     socket.c_str(), 1, GetMessageTable());
    if (!log)
        return 0;
    ClientLogPrint(log, level, "log_buffer_fuzz", __LINE__, "Fuzz", "%s", line.c_str());
    if (fileChoice & 8) {
        // Forwarding: the session cannot open, the log falls back and replays.
        ClientLogFlush(log);
        ClientLogPrintNoSource(log, level, "%s|%d", line.c_str(), (int)level);
    } else {
        ConfigureEmergencyLog(log);
        EmergencyLogWrite(log->emergency, level, "%s", line.c_str());
    }
    EmergencyLogSetLevel(log->emergency, level);
    ClientLogClose(log);

    if (!logFile.empty()) {
        std::string content;
        int fd = open(logFile.c_str(), O_RDONLY | O_CLOEXEC);
        char chunk[4096];
        ssize_t got;
        while (fd >= 0 && (got = read(fd, chunk, sizeof chunk)) > 0)
            content.append(chunk, static_cast<size_t>(got));
        if (fd >= 0)
            close(fd);
        if (!content.empty() && content.back() != '\n')
            abort();
        size_t lineLength = 0;
        for (unsigned char c : content) {
            if (c == '\n') {
                if (lineLength + 1 > 1020)
                    abort();
                lineLength = 0;
            } else if (c < 0x20 || c == 0x7f) {
                abort();
            } else {
                lineLength++;
            }
        }
    }
    return 0;
}
