// The one road of spaceuse's text to standard output and standard error:
// report lines, headers, progress lines, help and error messages. Each call
// formats as its stdio namesake does and hands the text to SysWriteText,
// which writes the bytes as they are on POSIX and, on Windows, through the
// console's wide output when the stream is a console (UTF-8 bytes to a
// file or pipe). The console abort hook does not come this way: it writes
// only what it was given at registration (sysdep.h).
#ifndef SPACEUSE_OUTPUT_H
#define SPACEUSE_OUTPUT_H

#include <stdio.h>

#if defined(__MINGW32__)
#define OUT_FORMAT(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#else
#define OUT_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// As printf, fprintf, fputs and fputc; a negative result on failure (the
// stream's error indicator is then set, as the stdio calls leave it).
int OutPrintf(const char* fmt, ...) OUT_FORMAT(1, 2);
int OutFprintf(FILE* stream, const char* fmt, ...) OUT_FORMAT(2, 3);
int OutFputs(const char* text, FILE* stream);
int OutFputc(int c, FILE* stream);

#endif
