// trailsend-log MESSAGE
//
// Writes trailsend's failure line: MESSAGE at ERROR through the framework
// logger "qra.cli.trailsend", then exits with status 1. trailsend executes
// it in its own process when an event fails (same process id, same program
// name in argv[0], same environment and descriptors), so the line is the one
// the command itself would write, while the command's own image carries
// none of the framework and the C++ runtime that writing it takes: every
// function a program imports is bound when it starts, so each event would
// pay for them. Installed beside the stand-in daemon, not on the PATH.
//
// Prints nothing; the exit status is 1 whatever happens, as trailsend's
// would have been.
#include "hlx/logger.h"
#include "standard_descriptors.h"

int main(int argc, char **argv)
{
    OpenClosedStandardDescriptors();
    if (argc != 2)
        return 1;
    // The first framework output loads the framework configuration; whatever
    // that throws (memory running out included) must not turn the exit
    // status into an abort. The line is then lost, the status is not.
    try {
        hlx::LoggerPtr logger = hlx::Logger::getLogger("qra.cli.trailsend");
        if (logger->isEnabled(hlx::LEVEL_ERROR))
            logger->log(hlx::LEVEL_ERROR, "%s", argv[1]);
    } catch (...) {
    }
    return 1;
}
