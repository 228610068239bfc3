// trailsend-check [--json] [--send] [--product NAME --category NAME] [CODE TEXT_A TEXT_B]
//
// Answers "would my event be recorded, and if not, why?" with the client
// library trailsend itself uses: its configuration reader, target
// resolution, session opening and request builder. Sends nothing unless
// asked to, and like trailsend reads only the installed paths.
#include "check_probe.h"
#include "check_report.h"
#include "standard_descriptors.h"
#include "trailsend_event.h"

#include <getopt.h>
#include <stdio.h>

#include <string>

namespace {

const char kUsage[] =
    "Usage: trailsend-check [--json] [--send] [--product NAME --category NAME] [CODE TEXT_A TEXT_B]\n"
    "\n"
    "Tells whether the audit-trail event of 'trailsend CODE TEXT_A TEXT_B' would be\n"
    "recorded for the calling user, and if not, why. Without CODE TEXT_A TEXT_B it\n"
    "checks a service event (code 0, text A \"trailsend-check\", text B empty).\n"
    "It reads what trailsend reads and, unless --send is given, writes nothing: no\n"
    "client log line, no emergency log line, nothing to the daemon but the handshake.\n"
    "\n"
    "The report, in this order (plain text, or one JSON object with --json):\n"
    "  Configuration  the client configuration file, its status, and every key the\n"
    "                 send path consults: the value used, from the file or the default\n"
    "  Targets        global, override and component targets, the final value and the\n"
    "                 reason for it; 0 means that nothing would be sent\n"
    "  Daemon         connect, handshake and credentials on the configured socket,\n"
    "                 bounded by the configured LRPC2 time-out, and the time it took\n"
    "  Request        the ATProxySetAuditTrailEvent trailsend would send, with the\n"
    "                 calling user, the parent process id and QR_SESSION_ID: its\n"
    "                 trace rendering and a hex dump of its frame\n"
    "  Send           with --send: the sender's result\n"
    "\n"
    "Options:\n"
    "  --json             one JSON object instead of text. Strings are UTF-8; a byte\n"
    "                     that is not part of valid UTF-8 appears as \\u00XX, its\n"
    "                     Latin-1 reading\n"
    "  --send             after the checks, send the event through trailsend's sender\n"
    "  --product NAME     check the targets and the request of another product and\n"
    "  --category NAME    category (give both or neither)\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "Arguments that begin with '-' (a negative code) go after '--'.\n"
    "\n"
    "Exit status:\n"
    "  0   the event would be (with --send: was) delivered\n"
    "  2   nothing to send: no audit target (final targets 0), or no login name\n"
    "      for the calling user\n"
    "  3   the daemon cannot be reached or refuses the handshake; with --send also\n"
    "      when the sender did not deliver the event\n"
    "  4   the configuration file exists but cannot be read or parsed (an absent\n"
    "      file is no error: the defaults apply)\n"
    "  64  usage error\n"
    "Problems are also told on standard error, in one line.\n";

enum OptionId { OPT_JSON = 256, OPT_SEND, OPT_PRODUCT, OPT_CATEGORY, OPT_HELP, OPT_VERSION };

int UsageError(const std::string &problem)
{
    fprintf(stderr, "trailsend-check: %s (see trailsend-check --help)\n", problem.c_str());
    return CHECK_EXIT_USAGE;
}

// The unknown option getopt_long stopped at: a short one is in optopt, a
// long one is the argument it just passed.
std::string OffendingOption(char **argv)
{
    if (optopt != 0 && optopt != '?')
        return std::string("-") + static_cast<char>(optopt);
    return DisplayString(argv[optind - 1]);
}

} // namespace

int main(int argc, char **argv)
{
    OpenClosedStandardDescriptors();
    static const struct option options[] = {
        {"json", no_argument, nullptr, OPT_JSON},
        {"send", no_argument, nullptr, OPT_SEND},
        {"product", required_argument, nullptr, OPT_PRODUCT},
        {"category", required_argument, nullptr, OPT_CATEGORY},
        {"help", no_argument, nullptr, OPT_HELP},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };

    bool json = false;
    CheckRequest request;
    const char *productName = nullptr;
    const char *categoryName = nullptr;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, ":", options, nullptr)) != -1) {
        switch (option) {
        case OPT_JSON:
            json = true;
            break;
        case OPT_SEND:
            request.send = true;
            break;
        case OPT_PRODUCT:
            productName = optarg;
            break;
        case OPT_CATEGORY:
            categoryName = optarg;
            break;
        case OPT_HELP:
            fputs(kUsage, stdout);
            return 0;
        case OPT_VERSION:
            fputs("trailsend-check " TRAILSEND_VERSION "\n", stdout);
            return 0;
        case ':':
            return UsageError("option '" + DisplayString(argv[optind - 1]) + "' wants a NAME");
        default: {
            const std::string offending = OffendingOption(argv);
            // A negative code looks like an option.
            if (offending.size() > 1 && offending[1] >= '0' && offending[1] <= '9')
                return UsageError("unknown option '" + offending + "'; a negative CODE goes after '--'");
            return UsageError("unknown option '" + offending + "'");
        }
        }
    }
    if ((productName == nullptr) != (categoryName == nullptr))
        return UsageError("--product and --category go together");
    if ((productName && !*productName) || (categoryName && !*categoryName))
        return UsageError("--product and --category want a name that is not empty");
    const int positional = argc - optind;
    if (positional != 0 && positional != 3)
        return UsageError("wrong number of arguments: CODE TEXT_A TEXT_B, or none");

    request.event = positional ? MapTrailsendArguments(argv[optind], argv[optind + 1], argv[optind + 2])
                               : MapTrailsendArguments("0", "trailsend-check", "");
    if (productName) {
        request.event.productName = productName;
        request.event.categoryName = categoryName;
    }

    CheckReport report;
    RunChecks(request, report);
    if (json)
        WriteJsonReport(stdout, report);
    else
        WriteTextReport(stdout, report);
    if (report.exitStatus != CHECK_EXIT_OK)
        fprintf(stderr, "trailsend-check: %s\n", DisplayString(report.verdict).c_str());
    return report.exitStatus;
}
