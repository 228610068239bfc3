/*
 * Test-only shim, preloaded into test processes: records every openlog,
 * syslog, vsyslog and closelog call into the file named by
 * SYSLOG_CAPTURE_FILE (nothing is recorded while it is unset). The text is
 * expanded with the C library's own formatter, never the program's
 * replacement of snprintf/vsnprintf.
 *
 * One record a line, fields separated by tabs, with '\\', tab and newline
 * escaped as \\, \t and \n:
 *   openlog <ident> <options> <facility>
 *   syslog  <priority> <text>
 *   vsyslog <priority> <text>
 *   closelog
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

typedef int (*vasprintf_fn)(char **, const char *, va_list);

static int format_text(char **out, const char *format, va_list args)
{
    static vasprintf_fn libc_vasprintf;
    if (!libc_vasprintf)
        libc_vasprintf = (vasprintf_fn)dlsym(RTLD_NEXT, "vasprintf");
    if (!libc_vasprintf)
        return -1;
    return libc_vasprintf(out, format, args);
}

static void append_escaped(char *dst, size_t *len, const char *src)
{
    for (; src && *src; ++src) {
        char c = *src;
        if (c == '\\' || c == '\t' || c == '\n') {
            dst[(*len)++] = '\\';
            dst[(*len)++] = c == '\\' ? '\\' : (c == '\t' ? 't' : 'n');
        } else {
            dst[(*len)++] = c;
        }
    }
}

static void append_number(char *dst, size_t *len, long value)
{
    char digits[24];
    int n = 0;
    unsigned long v = value < 0 ? (unsigned long)-value : (unsigned long)value;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    if (value < 0)
        dst[(*len)++] = '-';
    while (n)
        dst[(*len)++] = digits[--n];
}

/* Writes one record with a single write(2) so concurrent threads never interleave. */
static void record(const char *call, int has_number, long number, const char *text,
                   int has_second, long second, const char *ident)
{
    const char *path = getenv("SYSLOG_CAPTURE_FILE");
    if (!path || !*path)
        return;
    /* Sized for the whole record: every character escaped at worst, two
     * numbers, four separators and the newline. Nothing is cut. */
    size_t len = 0;
    size_t cap = 2 * (strlen(call) + (ident ? strlen(ident) : 0) + (text ? strlen(text) : 0)) + 64;
    char *line = malloc(cap);
    if (!line)
        return;
    append_escaped(line, &len, call);
    if (ident) {
        line[len++] = '\t';
        append_escaped(line, &len, ident);
    }
    if (has_number) {
        line[len++] = '\t';
        append_number(line, &len, number);
    }
    if (has_second) {
        line[len++] = '\t';
        append_number(line, &len, second);
    }
    if (text) {
        line[len++] = '\t';
        append_escaped(line, &len, text);
    }
    line[len++] = '\n';
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ssize_t ignored = write(fd, line, len);
        (void)ignored;
        close(fd);
    }
    free(line);
}

void openlog(const char *ident, int option, int facility)
{
    record("openlog", 1, option, NULL, 1, facility, ident ? ident : "(null)");
}

void closelog(void)
{
    record("closelog", 0, 0, NULL, 0, 0, NULL);
}

void vsyslog(int priority, const char *format, va_list args)
{
    char *text = NULL;
    if (format_text(&text, format, args) < 0)
        text = NULL;
    record("vsyslog", 1, priority, text ? text : "", 0, 0, NULL);
    free(text);
}

void syslog(int priority, const char *format, ...)
{
    va_list args;
    char *text = NULL;
    va_start(args, format);
    if (format_text(&text, format, args) < 0)
        text = NULL;
    va_end(args);
    record("syslog", 1, priority, text ? text : "", 0, 0, NULL);
    free(text);
}

/* Fortified entry points some callers reach instead. */
void __syslog_chk(int priority, int flag, const char *format, ...)
{
    va_list args;
    char *text = NULL;
    (void)flag;
    va_start(args, format);
    if (format_text(&text, format, args) < 0)
        text = NULL;
    va_end(args);
    record("syslog", 1, priority, text ? text : "", 0, 0, NULL);
    free(text);
}

void __vsyslog_chk(int priority, int flag, const char *format, va_list args)
{
    char *text = NULL;
    (void)flag;
    if (format_text(&text, format, args) < 0)
        text = NULL;
    record("vsyslog", 1, priority, text ? text : "", 0, 0, NULL);
    free(text);
}

/* Lets a test tell whether the shim is loaded. */
int __syslog_shim_marker = 1;
