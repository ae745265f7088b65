// What whatcode asks of the host besides the message table (msg.h): how a
// run starts, the console, and on Windows the command line. Text inside the
// program is UTF-8 on every platform.
#ifndef WHATCODE_HOST_H
#define WHATCODE_HOST_H

#include <stddef.h>
#include <stdio.h>

// Called once before anything is written. On POSIX a reader that has gone
// must make a write fail, not end the program by SIGPIPE.
void HostStartRun(void);

// When `stream` (stdout or stderr) is a console that takes text in its own
// wide form, writes the `n` bytes of UTF-8 there and returns 1, with *err 0
// or the error number of the failed write. Otherwise returns 0 and writes
// nothing: the caller writes the bytes themselves. Always 0 on POSIX.
int HostWriteConsole(FILE* stream, const char* text, size_t n, int* err);

#ifdef _WIN32
#include <wchar.h>

// The UTF-8 form of `n` UTF-16 units as a NUL-terminated heap text, its
// length in *len; null when it cannot be made. Released with free.
char* HostUtf8FromWide(const wchar_t* text, int n, size_t* len);

// The command line as UTF-8 texts (argv[argc] null); null when it cannot be
// made. Lives as long as the program.
char** HostUtf8Args(int argc, wchar_t** argv);
#endif

#endif
