// Diagnostic lines and the target's console text: everything hostlink
// prints goes through here, to standard output and the debugger output.
#ifndef HOSTLINK_DIAG_H
#define HOSTLINK_DIAG_H

#include <stddef.h>
#include <stdint.h>

#define DBERR_SIZE 512

// Formats into the shared 512-byte diagnostic buffer (never past it); the
// first carriage return becomes a line feed and ends the text.
char* _dbsprintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Writes a finished diagnostic text to standard output and the debugger
// output, literally, as text: UTF-8, given to a console in its own form.
// The progress line, when shown, is wiped first.
void DbPrint(const char* text);
// 0 while everything written to standard output has gone out; otherwise
// the error number of the write that failed, after which DbPrint writes
// to the debugger output only.
int DbOutputError(void);
// Says on standard error, in one line, why standard output failed.
void DbReportOutputError(void);
// The reporting module's own file name, not the build machine's path.
const char* DbFileName(const char* path);

// A diagnostic line "<file>(<line>): <message>\n".
#define DBG_LINE(msg) \
    DbPrint(_dbsprintf("%s(%d): %s\n", DbFileName(__FILE__), __LINE__, (msg)))
// A diagnostic line with a format of its own that starts with "%s(%d): ".
#define DBG_PRINTF(fmt, ...) \
    DbPrint(_dbsprintf(fmt, DbFileName(__FILE__), __LINE__, __VA_ARGS__))
// The same for an own format that takes no values after the line number,
// such as "%s(%d): Connected.\n".
#define DBG_PRINTF0(fmt) \
    DbPrint(_dbsprintf(fmt, DbFileName(__FILE__), __LINE__))

// Console text as received: `len` bytes, ended early by a NUL, written as
// the bytes they are.
void PrintConsoleText(const char* text, size_t len);
// The receiver of console text packets: `buf` is the body after the DECI2
// header, `length` its byte count. Always 1.
int TtypHandler(char* buf, uint16_t length);

#endif
