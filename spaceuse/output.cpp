// Formatted text out through the platform's writer (output.h).
#include "output.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "sysdep.h"

// Most lines fit here; a longer one (a deep path) takes a heap block.
#define OUT_LOCAL_SIZE 1024

static int Vformat(FILE* stream, const char* fmt, va_list ap)
{
    char local[OUT_LOCAL_SIZE];
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(local, sizeof local, fmt, ap);
    if (n < 0 || (size_t)n < sizeof local) {
        va_end(again);
        return n < 0 ? n : SysWriteText(stream, local, (size_t)n);
    }
    char* text = (char*)malloc((size_t)n + 1);
    if (text == NULL) {
        // Out of memory: the bytes as they are rather than nothing.
        n = vfprintf(stream, fmt, again);
        va_end(again);
        return n;
    }
    vsnprintf(text, (size_t)n + 1, fmt, again);
    va_end(again);
    int r = SysWriteText(stream, text, (size_t)n);
    free(text);
    return r;
}

int OutPrintf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = Vformat(stdout, fmt, ap);
    va_end(ap);
    return r;
}

int OutFprintf(FILE* stream, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = Vformat(stream, fmt, ap);
    va_end(ap);
    return r;
}

int OutFputs(const char* text, FILE* stream)
{
    return SysWriteText(stream, text, strlen(text));
}

int OutFputc(int c, FILE* stream)
{
    char ch = (char)c;
    return SysWriteText(stream, &ch, 1) < 0 ? EOF : (unsigned char)ch;
}
