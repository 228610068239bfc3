// The three standard descriptors of a command, made safe before anything
// else opens a file.
#pragma once

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed. A
// parent may start the command with one of them closed; the next file or
// socket opened would then take its number, and whatever is written to
// standard output or error (by the command, a library or a message of the C
// library itself) would land in it. One fcntl per descriptor when all are
// open. Call it first in main.
void OpenClosedStandardDescriptors();
