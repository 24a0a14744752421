// The Win32 wsprintfA / wvsprintfA formatter, for the simulated machine and the
// Linux build.
//
// The tool formats every line it prints through user32's wvsprintfA, so every
// other build has to produce byte-identical text.  This module reproduces
// that formatter's observable behaviour:
//
//   * output is capped at kWsprintfCap bytes including the terminating NUL;
//     at most kWsprintfCap - 1 characters are stored and the buffer is always
//     NUL-terminated;
//   * the return value is the number of characters stored, except that once
//     the output reaches the cap (kWsprintfCap - 1 characters stored) the
//     function returns kWsprintfCap, one more than what was stored;
//   * directive syntax is  %[-][#][0][width][.precision][l|h|w|I|I32|I64]type
//     with type one of c C d i s S u x X p.  Flags are only recognised in
//     that order.  Anything else after '%' is not a directive: the parsed
//     prefix is dropped (a width still emits its padding) and the text from
//     the offending character on is copied literally.  No argument is read
//     for such a sequence.
//   * '#' only affects hex: it puts 0x / 0X in front of the digits without
//     counting it towards the width ("%#6x" of 0x1f is "    0x1f"), and the
//     prefix is left out when fewer than three characters of room remain.
//   * the minus sign counts towards a precision: "%.5d" of -42 is "-0042".
//   * "%.0s" is the same as "%s"; a NULL string prints as "(null)".
//
// Argument sizes follow 64-bit Windows: d/i/u/x/X read a 32-bit int, I64 reads
// a 64-bit integer, I (alone) and p read a pointer-sized integer, s reads a
// const char*, S / ls / ws read a const char16_t* (UTF-16, converted one code
// unit at a time: ASCII passes through, anything else becomes '?'), c reads an
// int.  The 'h' and 'l' prefixes do not change the size of integer arguments.
#ifndef SECTORSWEEP_PLATFORM_FORMAT_WSPRINTF_H
#define SECTORSWEEP_PLATFORM_FORMAT_WSPRINTF_H

#include <cstdarg>

constexpr int kWsprintfCap = 1024;

// `out` must have room for kWsprintfCap bytes.  `args` is not consumed: the
// function works on its own copy, so the caller may reuse it.
int WsprintfV(char* out, const char* format, va_list args);

int Wsprintf(char* out, const char* format, ...);

#endif  // SECTORSWEEP_PLATFORM_FORMAT_WSPRINTF_H
