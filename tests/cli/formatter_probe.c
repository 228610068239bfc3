/*
 * Preloaded into a program by the command's tests: formats a null string
 * through snprintf the way any shared object would, as soon as it is loaded,
 * and writes the result to the file named by FORMATTER_PROBE_FILE. Our own
 * formatter prints a null string as "(NULL)", the C library's as "(null)",
 * so the file tells whose snprintf the process binds shared objects to.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void FormatterProbe(void)
{
    const char *path = getenv("FORMATTER_PROBE_FILE");
    if (!path)
        return;
    const char *volatile nothing = NULL;
    char text[64];
    int length = snprintf(text, sizeof text, "%s", nothing);
    if (length < 0 || (size_t)length >= sizeof text)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (write(fd, text, (size_t)length) != length) {
        /* The test sees a short or empty file. */
    }
    close(fd);
}
