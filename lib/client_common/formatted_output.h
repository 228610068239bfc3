/*
 * The process's own vsnprintf and snprintf.
 *
 * Every program we build defines these two functions under their standard
 * names and exports them, so the dynamic linker hands them to every caller in
 * the process: our libraries, the framework and any shared object that calls
 * snprintf or vsnprintf. Log lines and message texts therefore look the same
 * whichever C library the host carries. Programs are compiled with
 * -fno-builtin-snprintf -fno-builtin-vsnprintf and without _FORTIFY_SOURCE,
 * because a compiler builtin or a fortified __snprintf_chk would route a call
 * site around the exported definition without a word.
 *
 * A small formatter with a fixed feature set: no locale (the decimal separator
 * is always "."), no exponent form, no wide characters, no positional
 * arguments, no allocation, no state between calls (reentrant).
 *
 * Conversion specification: "%" [flags] [width] ["." precision] [length] conv
 *   flags   "-" left-justify, "+" always a sign, " " a space for a plus sign,
 *           "#" accepted and ignored, "0" pad with zeros. For integers the
 *           zeros go between the sign and the digits and make up the whole
 *           field, also together with "-" or a precision: "%-05d" of 42 is
 *           "00042", "%06.3d" of 7 is "000007".
 *   width   digits, or "*" for an int argument (a negative one means no
 *           padding, not left-justification).
 *   precision  "." then digits (none means 0), or "*" for an int argument
 *           (-1 means no precision).
 *   length  "h" (reads an int all the same and does not narrow it), "l" and
 *           "ll" (64 bits), "L" (long double for the fixed-point conversions).
 *           Nothing else is a length: in "%zu" the "z" is an unknown
 *           conversion and the "u" ordinary text. Use "%lu" for size_t.
 *   conv    "d" "i" signed decimal; "u" "o" "x" "X" unsigned decimal, octal,
 *           hexadecimal, never a prefix; "p" a pointer as signed lower-case
 *           hexadecimal without "0x"; "c" one character, width and flags
 *           ignored; "s" text ("(NULL)" for a null pointer) where a width
 *           above the precision replaces the precision ("%5.2s" of "abc" is
 *           "  abc"); "f" "e" "g" "E" "G" fixed-point decimal, precision 6 by
 *           default and at most 16, half rounds up; numbers from 2^63 up
 *           (integers all, in binary floating point) print their exact
 *           decimal digits and a zero fraction, infinities and NaN print
 *           "inf", "-inf" and "nan" (padded with spaces only); "n" stores
 *           the count so far (short with "h", 64 bits with "l"); "%" a "%";
 *           "w" prints nothing and swallows the next format character. Any
 *           other conversion prints nothing and reads no argument.
 *
 * Result: the length of the complete output, whether or not it fitted. At
 * most size - 1 characters are stored, always followed by a NUL when size is
 * above 0; with size 0 (or a null buffer) nothing is stored. A null format
 * stores an empty text and returns -1 (errno EINVAL); an output longer than
 * INT_MAX returns -1 (errno EOVERFLOW) after storing what fits.
 */
#ifndef CLIENT_COMMON_FORMATTED_OUTPUT_H
#define CLIENT_COMMON_FORMATTED_OUTPUT_H

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

/* The C library declares both functions as not throwing; our definitions
 * must carry the same exception specification to be the same functions. */
#ifdef __cplusplus
#define FORMATTED_OUTPUT_NOTHROW noexcept(true)
extern "C" {
#else
#define FORMATTED_OUTPUT_NOTHROW __attribute__((__nothrow__))
#endif

int vsnprintf(char *buffer, size_t size, const char *format, va_list args) FORMATTED_OUTPUT_NOTHROW;
int snprintf(char *buffer, size_t size, const char *format, ...) FORMATTED_OUTPUT_NOTHROW;

#ifdef __cplusplus
}
#endif

#endif
