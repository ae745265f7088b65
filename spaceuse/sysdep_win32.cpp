// Operating-system services on Windows: the command line, the version, the
// console and text out, processors. Drives, directories and volumes are in
// dirs_win32.cpp.
//
// Names cross to the rest of the program as UTF-8 (widetext.h) and every
// call that takes or gives a name is the wide one.
#include <windows.h>

#include <errno.h>
#include <io.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "sysdep.h"
#include "sysdep_win32.h"
#include "widetext.h"

static_assert(sizeof(WideChar) == sizeof(WCHAR), "the wide interfaces take UTF-16 units");

// ---- conventions ------------------------------------------------------------

extern const char SWITCH_CHAR = '/';
extern const char PATH_SEP = '\\';

int SysIsDirSeparator(char c)
{
    return c == '\\' || c == '/';
}

int SysHasDriveLetter(const char* path)
{
    return path[0] != '\0' && path[1] == ':';
}

size_t SysPathChars(const char* text)
{
    return WideFromUtf8(text, strlen(text), NULL, 0);
}

WideChar* WideDup(const char* text)
{
    size_t len = strlen(text);
    size_t units = WideFromUtf8(text, len, NULL, 0);
    WideChar* w = (WideChar*)malloc((units + 1) * sizeof(WideChar));
    if (w != NULL)
        WideFromUtf8(text, len, w, units + 1);
    return w;
}

// A heap copy of `text` in UTF-8; NULL when out of memory.
static char* Utf8Dup(const WideChar* text)
{
    size_t len = wcslen(text);
    size_t bytes = Utf8FromWide(text, len, NULL, 0);
    char* s = (char*)malloc(bytes + 1);
    if (s != NULL)
        Utf8FromWide(text, len, s, bytes + 1);
    return s;
}

int ToUtf8(const WideChar* text, char* buf, size_t size)
{
    if (size == 0)
        return -1;
    if (Utf8FromWide(text, wcslen(text), buf, size) >= size) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

// ---- command line -----------------------------------------------------------

void SysArguments(int* argc, char*** argv)
{
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide == NULL)
        return;
    // Kept for the whole run, as the runtime's own arguments are.
    char** args = (char**)calloc((size_t)n + 1, sizeof(char*));
    for (int i = 0; args != NULL && i < n; i++) {
        args[i] = Utf8Dup(wide[i]);
        if (args[i] == NULL)
            args = NULL;  // out of memory at start: the runtime's arguments
    }
    LocalFree(wide);
    if (args == NULL)
        return;
    *argc = n;
    *argv = args;
}

// ---- version ----------------------------------------------------------------

static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record the query expects");

int SysGetOsVersion(OsVersion* version)
{
    OSVERSIONINFOA info;
    memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);  // 148
    if (!GetVersionExA(&info))
        return -1;
    version->platformId = info.dwPlatformId;
    version->major = info.dwMajorVersion;
    version->minor = info.dwMinorVersion;
    version->build = info.dwBuildNumber;
    return 0;
}

// ---- console ----------------------------------------------------------------

int SysStdoutIsFile(void)
{
    // A console has no file position; a redirected file has one.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == NULL || out == INVALID_HANDLE_VALUE)
        return 0;
    LARGE_INTEGER zero;
    LARGE_INTEGER pos;
    zero.QuadPart = 0;
    return SetFilePointerEx(out, zero, &pos, FILE_CURRENT) ? 1 : 0;
}

// The console behind `stream`, or NULL when it goes to a file or a pipe.
// The answer for standard output and standard error is kept as long as
// their handle stays the same, so a report line costs no extra call.
static HANDLE ConsoleOf(FILE* stream)
{
    static struct {
        HANDLE handle;
        HANDLE console;
    } known[2] = {{INVALID_HANDLE_VALUE, NULL}, {INVALID_HANDLE_VALUE, NULL}};
    int fd = _fileno(stream);
    HANDLE h = fd >= 0 ? (HANDLE)_get_osfhandle(fd) : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE || h == NULL)
        return NULL;
    int k = stream == stdout ? 0 : stream == stderr ? 1 : -1;
    if (k >= 0 && known[k].handle == h)
        return known[k].console;
    DWORD mode;
    HANDLE console = GetConsoleMode(h, &mode) ? h : NULL;
    if (k >= 0) {
        known[k].handle = h;
        known[k].console = console;
    }
    return console;
}

// `len` bytes of UTF-8 as the console is given them: UTF-16, each "\n"
// after a "\r" as the runtime's text mode writes it. A heap block of
// *units units, terminated; NULL when out of memory.
static WideChar* ConsoleText(const char* text, size_t len, size_t* units)
{
    size_t lines = 0;
    for (size_t i = 0; i < len; i++)
        lines += text[i] == '\n';
    size_t n = WideFromUtf8(text, len, NULL, 0);
    WideChar* w = (WideChar*)malloc((n + lines + 1) * sizeof(WideChar));
    if (w == NULL)
        return NULL;
    WideFromUtf8(text, len, w, n + 1);
    // Each '\n' byte is one unit: spread them out from the end.
    size_t j = n + lines;
    w[j] = 0;
    for (size_t i = n; i > 0;) {
        WideChar c = w[--i];
        w[--j] = c;
        if (c == L'\n')
            w[--j] = L'\r';
    }
    *units = n + lines;
    return w;
}

// Writes all `n` units to the console. 1, or 0 when it refuses.
static int ConsoleWrite(HANDLE console, const WideChar* w, size_t n)
{
    while (n > 0) {
        DWORD chunk = n > 16384 ? 16384 : (DWORD)n;
        DWORD done = 0;
        if (!WriteConsoleW(console, w, chunk, &done, NULL) || done == 0)
            return 0;
        w += done;
        n -= done;
    }
    return 1;
}

int SysWriteText(FILE* stream, const char* text, size_t len)
{
    int result = (int)(len > INT32_MAX ? INT32_MAX : len);
    HANDLE console = ConsoleOf(stream);
    if (console != NULL) {
        size_t units = 0;
        WideChar* w = ConsoleText(text, len, &units);
        if (w != NULL) {
            // Whatever the stream still holds goes first.
            fflush(stream);
            int ok = ConsoleWrite(console, w, units);
            free(w);
            if (ok)
                return result;
        }
        // Not taken as wide text: the bytes, which fail as the stream fails.
    }
    if (len > 0 && fwrite(text, 1, len, stream) != len)
        return -1;
    return result;
}

void SysPrepareStdout(int toFile)
{
    (void)toFile;
}

static const char* abortText[ABORT_REASON_COUNT];
static WideChar* abortWide[ABORT_REASON_COUNT];
static size_t abortUnits[ABORT_REASON_COUNT];
static HANDLE abortConsole;  // standard output's console; NULL for a file or pipe
static int abortStatus;

// Runs on a thread the system starts for the console event, while the main
// thread may be writing: a console takes each write whole, the stream lock
// keeps the lines of a file whole, and the process ends from here without
// handing anything back. Only texts made at registration are written.
static BOOL WINAPI AbortHandler(DWORD controlType)
{
    int reason = controlType == CTRL_C_EVENT       ? ABORT_REASON_INTERRUPT
                 : controlType == CTRL_BREAK_EVENT ? ABORT_REASON_BREAK
                                                   : ABORT_REASON_OTHER;
    if (abortConsole == NULL || abortWide[reason] == NULL ||
        !ConsoleWrite(abortConsole, abortWide[reason], abortUnits[reason]))
        fputs(abortText[reason], stdout);
    fflush(stdout);
    fflush(stderr);
    ExitProcess((UINT)abortStatus);
    return TRUE;
}

int SysInstallAbortHook(const char* const texts[ABORT_REASON_COUNT], int exitStatus)
{
    abortConsole = ConsoleOf(stdout);
    for (int r = 0; r < ABORT_REASON_COUNT; r++) {
        abortText[r] = texts[r];
        free(abortWide[r]);
        abortWide[r] = ConsoleText(texts[r], strlen(texts[r]), &abortUnits[r]);
    }
    abortStatus = exitStatus;
    return SetConsoleCtrlHandler(AbortHandler, TRUE) ? 0 : -1;
}

// ---- processors --------------------------------------------------------------

int SysCpuCount(void)
{
    DWORD_PTR process = 0, system = 0;
    int n = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        for (; process != 0; process &= process - 1)
            n++;
    }
    return n > 0 ? n : 1;
}

// ---- files the program writes -----------------------------------------------

FILE* SysCreateFile(const char* final, const char* part, int* inPlace)
{
    *inPlace = 0;
    WideChar* wfinal = WinLongPath(final);
    if (wfinal == NULL) {
        errno = ENOMEM;
        return NULL;
    }
    // A device such as NUL is no file on a disk, and is written as it is.
    HANDLE h = CreateFileW(wfinal, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h != INVALID_HANDLE_VALUE) {
        *inPlace = GetFileType(h) != FILE_TYPE_DISK;
        CloseHandle(h);
    }
    WideChar* wname = *inPlace ? wfinal : WinLongPath(part);
    FILE* f = NULL;
    if (wname == NULL)
        errno = ENOMEM;
    else
        f = _wfopen(wname, L"wb");
    if (wname != wfinal)
        free(wname);
    free(wfinal);
    return f;
}

int SysFinishFile(const char* part, const char* final, int keep)
{
    WideChar* wpart = WinLongPath(part);
    WideChar* wfinal = keep ? WinLongPath(final) : NULL;
    BOOL done = FALSE;
    if (wpart != NULL && (wfinal != NULL || !keep))
        done = keep ? MoveFileExW(wpart, wfinal, MOVEFILE_REPLACE_EXISTING) : DeleteFileW(wpart);
    if (!done)
        errno = wpart == NULL || (keep && wfinal == NULL) ? ENOMEM
                : GetLastError() == ERROR_ACCESS_DENIED     ? EACCES
                                                            : EIO;
    free(wpart);
    free(wfinal);
    return done ? 0 : -1;
}
