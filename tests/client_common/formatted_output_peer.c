/*
 * A shared object that formats through snprintf and vsnprintf the way any
 * library in the process does: through the dynamic linker, compiled and linked
 * knowing nothing of the programs' own formatter.
 */
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

int PeerFormatV(char *buffer, size_t size, const char *format, va_list args)
{
    return vsnprintf(buffer, size, format, args);
}

int PeerFormat(char *buffer, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int result = PeerFormatV(buffer, size, format, args);
    va_end(args);
    return result;
}

/* A literal call, as a library's own code would make it. */
int PeerFormatShortText(char *buffer, size_t size, const char *text)
{
    return snprintf(buffer, size, "%5.2s", text);
}
