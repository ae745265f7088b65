// Diagnostic lines and the target's console text.
#include "diag.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform.h"
#include "progress.h"

// A console text packet's body starts with a word that is not ours to read.
#define TTYP_TEXT_OFFSET 4

static char dberr[DBERR_SIZE];
// The error number of the first failed write to standard output; 0 while
// every write has gone out.
static int outputError;

char* _dbsprintf(const char* format, ...)
{
    va_list ap;
    char* cr;
    int n;

    va_start(ap, format);
    n = vsnprintf(dberr, sizeof dberr, format, ap);
    va_end(ap);
    if (n < 0) {
        dberr[0] = '\0';
    } else if ((size_t)n >= sizeof dberr) {
        // A line cut at the buffer's end still ends as a line.
        dberr[sizeof dberr - 2] = '\n';
        dberr[sizeof dberr - 1] = '\0';
    }
    cr = strchr(dberr, '\r');
    if (cr != NULL) {
        cr[0] = '\n';
        cr[1] = '\0';
    }
    return dberr;
}

// Everything printed goes out here: the program's own lines as text
// (`isText`: UTF-8, which a console is given in its own form), the target's
// console text as the bytes it sent. Written as it is, never as a format;
// flushed so that a reader sees every line as soon as it is made. Once a
// write has failed nothing more goes to standard output: the run ends at
// its next step.
static void DbWrite(const char* text, size_t len, int isText)
{
    ProgressWipe();
    if (outputError == 0) {
        errno = 0;
        int r = isText ? SysWriteText(SYS_STDOUT, text) : SysWriteBytes(SYS_STDOUT, text, len);
        if (r != 0)
            outputError = errno != 0 ? errno : EIO;
    }
    SysDebugOutput(text, isText);
}

void DbPrint(const char* text)
{
    DbWrite(text, strlen(text), 1);
}

int DbOutputError(void)
{
    return outputError;
}

void DbReportOutputError(void)
{
    fprintf(stderr, "hostlink: cannot write to standard output: %s\n", strerror(outputError));
    fflush(stderr);
}

const char* DbFileName(const char* path)
{
    const char* base = path;

    for (const char* p = path; *p; p++)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    return base;
}

// The target's console text, whatever its length: CR LF and a lone CR each
// end a line, and the text always ends with a line feed.
void PrintConsoleText(const char* text, size_t len)
{
    char out[DBERR_SIZE];
    size_t o = 0;
    char last = '\0';

    for (size_t i = 0; i < len && text[i] != '\0'; i++) {
        char c = text[i];
        if (c == '\r') {
            c = '\n';
            if (i + 1 < len && text[i + 1] == '\n')
                i++;
        }
        out[o++] = c;
        last = c;
        if (o == sizeof out - 1) {
            out[o] = '\0';
            DbWrite(out, o, 0);
            o = 0;
        }
    }
    if (last != '\n')
        out[o++] = '\n';
    out[o] = '\0';
    if (o > 0)
        DbWrite(out, o, 0);
}

int TtypHandler(char* buf, uint16_t length)
{
    if (buf != NULL && length > TTYP_TEXT_OFFSET)
        PrintConsoleText(buf + TTYP_TEXT_OFFSET, (size_t)(length - TTYP_TEXT_OFFSET));
    else
        PrintConsoleText("", 0);
    return 1;
}
