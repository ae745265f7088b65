#include "host.h"

#include <errno.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

void HostStartRun(void)
{
}

// The console behind a stream, or null when it goes to a file or a pipe.
// Asked once per stream: where a stream goes does not change during a run.
static HANDLE ConsoleOf(FILE* stream)
{
    static int asked[2];
    static HANDLE console[2];
    int k = stream == stderr ? 1 : 0;
    if (!asked[k]) {
        asked[k] = 1;
        HANDLE h = (HANDLE)_get_osfhandle(_fileno(stream));
        DWORD mode;
        if (h != INVALID_HANDLE_VALUE && h != NULL && GetConsoleMode(h, &mode))
            console[k] = h;
    }
    return console[k];
}

// Whole UTF-16 text to the console, in pieces it takes at once, never
// between the two halves of a surrogate pair.
static int WriteWide(HANDLE h, const wchar_t* w, DWORD n)
{
    const DWORD piece = 8192;
    while (n > 0) {
        DWORD k = n < piece ? n : piece;
        if (k < n && w[k - 1] >= 0xD800 && w[k - 1] <= 0xDBFF)
            k--;
        DWORD done = 0;
        if (!WriteConsoleW(h, w, k, &done, NULL) || done == 0)
            return EIO;
        w += done;
        n -= done;
    }
    return 0;
}

int HostWriteConsole(FILE* stream, const char* text, size_t n, int* err)
{
    *err = 0;
    HANDLE h = ConsoleOf(stream);
    if (h == NULL)
        return 0;
    if (n == 0)
        return 1;
    if (n > 0x7FFFFFFF) {
        *err = E2BIG;
        return 1;
    }
    // Whatever the stream still holds goes first, so the order stays.
    fflush(stream);
    int wn = MultiByteToWideChar(CP_UTF8, 0, text, (int)n, NULL, 0);
    wchar_t* w = wn > 0 ? (wchar_t*)malloc((size_t)wn * sizeof(wchar_t)) : NULL;
    if (w == NULL) {
        *err = wn > 0 ? ENOMEM : EILSEQ;
        return 1;
    }
    MultiByteToWideChar(CP_UTF8, 0, text, (int)n, w, wn);
    *err = WriteWide(h, w, (DWORD)wn);
    free(w);
    return 1;
}

char* HostUtf8FromWide(const wchar_t* text, int n, size_t* len)
{
    *len = 0;
    int bytes = n == 0 ? 0 : WideCharToMultiByte(CP_UTF8, 0, text, n, NULL, 0, NULL, NULL);
    if (n != 0 && bytes <= 0)
        return NULL;
    char* out = (char*)malloc((size_t)bytes + 1);
    if (out == NULL)
        return NULL;
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, n, out, bytes, NULL, NULL);
    out[bytes] = '\0';
    *len = (size_t)bytes;
    return out;
}

char** HostUtf8Args(int argc, wchar_t** argv)
{
    char** args = (char**)calloc((size_t)argc + 1, sizeof(char*));
    if (args == NULL)
        return NULL;
    for (int i = 0; i < argc; i++) {
        size_t len;
        args[i] = HostUtf8FromWide(argv[i], (int)wcslen(argv[i]), &len);
        if (args[i] == NULL)
            return NULL;
    }
    return args;
}
