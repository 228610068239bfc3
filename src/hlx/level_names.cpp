// The client log's level names. A unit of its own: the client library's log
// takes this table from the framework and nothing else, so a program built on
// the client library alone (the trailsend command) links none of the
// logger's code with it.
#include "hlx/logger.h"

extern "C" const char *const LEVEL_NAMES[6] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};
