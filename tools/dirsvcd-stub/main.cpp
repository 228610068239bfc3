// dirsvcd-stub: a stand-in for the directory daemon's LRPC2 side, for tests,
// demos and debugging a host without the daemon.
#include "stub_server.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char USAGE[] =
    "Usage: dirsvcd-stub [OPTION]... SOCKET_PATH\n"
    "\n"
    "Listens on the Unix stream socket SOCKET_PATH and plays the directory daemon's\n"
    "side of LRPC2: answers the handshake (word 3 from the client, 1 back), reads\n"
    "frames, checks them with the client library's codec and prints every message\n"
    "received as one line on standard output, flushed at once. Every message that\n"
    "expects a reply (all but the one-way types) is answered with an empty message\n"
    "of its own type (of type 0, DISCONNECT, for a type missing from the table).\n"
    "Any number of clients may be connected at once. The socket appears at\n"
    "SOCKET_PATH only once it accepts connections, and is removed on exit.\n"
    "\n"
    "Output:\n"
    "  (default)                the trace rendering of each message, e.g.\n"
    "                           ATProxySetAuditTrailEvent[\"Norvalex Suite\",STRING:0,u200];\n"
    "                           control characters are shown as \\n, \\r, \\t or \\xNN\n"
    "  --json                   one JSON object a message instead: connection id,\n"
    "                           type number, type name, decoded parameters and,\n"
    "                           for ControlLog2, the decoded log entries\n"
    "\n"
    "Stopping:\n"
    "  --count N                exit after the N-th message received (answers to\n"
    "                           challenges count) has been answered\n"
    "  --timeout SECONDS        exit after SECONDS\n"
    "  SIGINT or SIGTERM        exit at once\n"
    "\n"
    "Fault modes:\n"
    "  --handshake-answer WORD  answer the handshake with WORD instead of 1; the\n"
    "                           connection is closed after that\n"
    "  --no-handshake-answer    read the handshake word and never answer it\n"
    "  --hang-up                read the handshake word and close the connection\n"
    "                           without answering\n"
    "  --shutdown-read          shut down the reading side of each connection, then\n"
    "                           accept the handshake: the client's next write fails\n"
    "                           with EPIPE\n"
    "  --challenge N            before each real reply send N process-authentication\n"
    "                           challenges (empty type 3), each after the client's\n"
    "                           answer to the one before\n"
    "  --bad-magic              real replies carry the magic in the other byte order\n"
    "  --malformed-reply        real replies end with wire type 9 instead of the\n"
    "                           end marker\n"
    "  --delay MILLISECONDS     wait this long before each real reply (other\n"
    "                           connections are served meanwhile)\n"
    "  --no-reply               never answer a request\n"
    "  --trickle MILLISECONDS   write replies and challenges one byte at a time,\n"
    "                           this long apart (the handshake answer goes at once)\n"
    "\n"
    "  --help                   show this text\n"
    "\n"
    "Exit status: 0 after a signal, after --count, or after --timeout when no\n"
    "--count was given; 1 bad options or the socket could not be set up; 2 a\n"
    "client sent a malformed frame (bad magic, impossible length, or a body the\n"
    "codec rejects); 3 --timeout ran out before --count messages arrived.\n"
    "Notes on connections and the reason for stopping go to standard error.\n";

enum OptionId {
    OPT_JSON = 256,
    OPT_COUNT,
    OPT_TIMEOUT,
    OPT_HANDSHAKE_ANSWER,
    OPT_NO_HANDSHAKE_ANSWER,
    OPT_HANG_UP,
    OPT_SHUTDOWN_READ,
    OPT_CHALLENGE,
    OPT_BAD_MAGIC,
    OPT_MALFORMED_REPLY,
    OPT_DELAY,
    OPT_NO_REPLY,
    OPT_TRICKLE,
    OPT_HELP
};

bool ParseNumber(const char *text, long minimum, long maximum, long &value)
{
    char *end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < minimum || parsed > maximum)
        return false;
    value = parsed;
    return true;
}

int Usage(const std::string &problem)
{
    std::fprintf(stderr, "dirsvcd-stub: %s\nTry 'dirsvcd-stub --help'.\n", problem.c_str());
    return dirsvcdstub::STUB_EXIT_USAGE;
}

} // namespace

int main(int argc, char **argv)
{
    static const struct option options[] = {
        {"json", no_argument, nullptr, OPT_JSON},
        {"count", required_argument, nullptr, OPT_COUNT},
        {"timeout", required_argument, nullptr, OPT_TIMEOUT},
        {"handshake-answer", required_argument, nullptr, OPT_HANDSHAKE_ANSWER},
        {"no-handshake-answer", no_argument, nullptr, OPT_NO_HANDSHAKE_ANSWER},
        {"hang-up", no_argument, nullptr, OPT_HANG_UP},
        {"shutdown-read", no_argument, nullptr, OPT_SHUTDOWN_READ},
        {"challenge", required_argument, nullptr, OPT_CHALLENGE},
        {"bad-magic", no_argument, nullptr, OPT_BAD_MAGIC},
        {"malformed-reply", no_argument, nullptr, OPT_MALFORMED_REPLY},
        {"delay", required_argument, nullptr, OPT_DELAY},
        {"no-reply", no_argument, nullptr, OPT_NO_REPLY},
        {"trickle", required_argument, nullptr, OPT_TRICKLE},
        {"help", no_argument, nullptr, OPT_HELP},
        {nullptr, 0, nullptr, 0},
    };

    dirsvcdstub::StubOptions settings;
    int handshakeModes = 0;
    long number = 0;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        switch (option) {
        case OPT_JSON:
            settings.json = true;
            break;
        case OPT_COUNT:
            if (!ParseNumber(optarg, 1, LONG_MAX, settings.count))
                return Usage(std::string("--count wants a positive number, not '") + optarg + "'");
            break;
        case OPT_TIMEOUT:
            if (!ParseNumber(optarg, 1, INT_MAX / 1000, settings.timeoutSeconds))
                return Usage(std::string("--timeout wants a positive number of seconds, not '") + optarg + "'");
            break;
        case OPT_HANDSHAKE_ANSWER:
            if (!ParseNumber(optarg, INT32_MIN, INT32_MAX, number))
                return Usage(std::string("--handshake-answer wants a 32-bit number, not '") + optarg + "'");
            settings.handshakeAnswer = static_cast<int32_t>(number);
            ++handshakeModes;
            break;
        case OPT_NO_HANDSHAKE_ANSWER:
            settings.handshakeSilent = true;
            ++handshakeModes;
            break;
        case OPT_HANG_UP:
            settings.hangUp = true;
            ++handshakeModes;
            break;
        case OPT_SHUTDOWN_READ:
            settings.shutdownRead = true;
            ++handshakeModes;
            break;
        case OPT_CHALLENGE:
            if (!ParseNumber(optarg, 0, 1000000, settings.challenges))
                return Usage(std::string("--challenge wants a count from 0, not '") + optarg + "'");
            break;
        case OPT_BAD_MAGIC:
            settings.badMagic = true;
            break;
        case OPT_MALFORMED_REPLY:
            settings.malformedReply = true;
            break;
        case OPT_DELAY:
            if (!ParseNumber(optarg, 0, 24L * 3600 * 1000, settings.delayMilliseconds))
                return Usage(std::string("--delay wants milliseconds from 0, not '") + optarg + "'");
            break;
        case OPT_NO_REPLY:
            settings.noReply = true;
            break;
        case OPT_TRICKLE:
            if (!ParseNumber(optarg, 1, 3600L * 1000, settings.trickleMilliseconds))
                return Usage(std::string("--trickle wants milliseconds from 1, not '") + optarg + "'");
            break;
        case OPT_HELP:
            std::fputs(USAGE, stdout);
            return dirsvcdstub::STUB_EXIT_OK;
        default:
            return Usage(std::string("unknown or incomplete option '") + argv[optind - 1] + "'");
        }
    }
    if (handshakeModes > 1)
        return Usage("choose one of --handshake-answer, --no-handshake-answer, --hang-up, --shutdown-read");
    if (optind != argc - 1)
        return Usage("exactly one SOCKET_PATH is needed");
    settings.socketPath = argv[optind];
    if (settings.socketPath.empty())
        return Usage("SOCKET_PATH is empty");
    return dirsvcdstub::RunStub(settings);
}
