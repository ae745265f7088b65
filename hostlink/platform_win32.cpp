// Windows Sockets 1.1, the C runtime's files and signals, and the debugger
// output.
#include "platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <wchar.h>

static int lastInterrupted;
static int lastWouldBlock;

// Winsock handles fit in 32 bits; the rest of the program keeps them as int.
static SOCKET ToSocket(int s)
{
    return (SOCKET)(unsigned int)s;
}

int NetStartup(uint16_t version, uint16_t* got)
{
    WSADATA wsaData;

    if (WSAStartup(version, &wsaData) != 0)
        return -1;
    *got = wsaData.wVersion;
    return 0;
}

void NetCleanup(void)
{
    WSACleanup();
}

int NetGetHostName(char* buf, int size)
{
    return gethostname(buf, size) == 0 ? 0 : -1;
}

// Windows Sockets 1.1 has no other lookup than this one, and its entries
// are IPv4.
int NetLookup(const char* host, uint32_t* addr, int* family)
{
    struct hostent* he = gethostbyname(host);

    if (he == NULL || he->h_addr_list == NULL || he->h_addr_list[0] == NULL ||
        he->h_length != 4)
        return -1;
    memcpy(addr, he->h_addr_list[0], 4);
    *family = he->h_addrtype;
    return 0;
}

uint32_t NetInetAddr(const char* host)
{
    return (uint32_t)inet_addr(host);
}

int NetIsIPv6Address(const char* text)
{
    unsigned char addr[16];
    return inet_pton(AF_INET6, text, addr) == 1;
}

int NetSocket(void)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);

    if (s == INVALID_SOCKET)
        return -1;
    return (int)(unsigned int)s;
}

int NetConnect(int s, uint32_t addr, int family, uint16_t port)
{
    struct sockaddr_in sa;

    memset(&sa, 0, sizeof sa);
    sa.sin_family = (short)family;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    return connect(ToSocket(s), (struct sockaddr*)&sa, sizeof sa) == 0 ? 0 : -1;
}

// The socket stays blocking for everything else: it is made non-blocking
// for this one call only.
int NetSendSome(int s, const void* buf, int len)
{
    u_long on = 1, off = 0;
    if (ioctlsocket(ToSocket(s), FIONBIO, &on) != 0) {
        lastInterrupted = 0;
        lastWouldBlock = 0;
        return -1;
    }
    int n = send(ToSocket(s), (const char*)buf, len, 0);
    int err = n == SOCKET_ERROR ? WSAGetLastError() : 0;
    ioctlsocket(ToSocket(s), FIONBIO, &off);
    lastInterrupted = (err == WSAEINTR);
    lastWouldBlock = (err == WSAEWOULDBLOCK);
    return n == SOCKET_ERROR ? -1 : n;
}

int NetSendPair(int s, const void* buf, int len, const void* buf2, int len2)
{
    WSABUF bufs[2];
    DWORD sent = 0;
    u_long on = 1, off = 0;

    bufs[0].buf = (char*)buf;
    bufs[0].len = (u_long)len;
    bufs[1].buf = (char*)buf2;
    bufs[1].len = (u_long)len2;
    if (ioctlsocket(ToSocket(s), FIONBIO, &on) != 0) {
        lastInterrupted = 0;
        lastWouldBlock = 0;
        return -1;
    }
    int r = WSASend(ToSocket(s), bufs, 2, &sent, 0, NULL, NULL);
    int err = r == SOCKET_ERROR ? WSAGetLastError() : 0;
    ioctlsocket(ToSocket(s), FIONBIO, &off);
    lastInterrupted = (err == WSAEINTR);
    lastWouldBlock = (err == WSAEWOULDBLOCK);
    return r == SOCKET_ERROR ? -1 : (int)sent;
}

int NetWouldBlock(void)
{
    return lastWouldBlock;
}

int NetRecv(int s, void* buf, int len)
{
    int n = recv(ToSocket(s), (char*)buf, len, 0);
    lastInterrupted = (n == SOCKET_ERROR && WSAGetLastError() == WSAEINTR);
    return n == SOCKET_ERROR ? -1 : n;
}

// Non-blocking for this one call only, as NetSendSome.
int NetRecvSome(int s, void* buf, int len)
{
    u_long on = 1, off = 0;
    if (ioctlsocket(ToSocket(s), FIONBIO, &on) != 0) {
        lastInterrupted = 0;
        lastWouldBlock = 0;
        return -1;
    }
    int n = recv(ToSocket(s), (char*)buf, len, 0);
    int err = n == SOCKET_ERROR ? WSAGetLastError() : 0;
    ioctlsocket(ToSocket(s), FIONBIO, &off);
    lastInterrupted = (err == WSAEINTR);
    lastWouldBlock = (err == WSAEWOULDBLOCK);
    return n == SOCKET_ERROR ? -1 : n;
}

void NetClose(int s)
{
    closesocket(ToSocket(s));
}

// Windows select takes a count of sockets, not a highest number: any socket
// fits in its sets.
int NetPoll(int s, int wantRead, int wantWrite, int ms, int* readable, int* writable)
{
    fd_set rs, ws;
    struct timeval tv;

    *readable = 0;
    *writable = 0;
    // select refuses empty sets; there is nothing to wait for but the time.
    if (!wantRead && !wantWrite) {
        Sleep((DWORD)ms);
        return 0;
    }
    FD_ZERO(&rs);
    FD_ZERO(&ws);
    if (wantRead)
        FD_SET(ToSocket(s), &rs);
    if (wantWrite)
        FD_SET(ToSocket(s), &ws);
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    int n = select(0, &rs, &ws, NULL, &tv);
    if (n == SOCKET_ERROR) {
        lastInterrupted = (WSAGetLastError() == WSAEINTR);
        return -1;
    }
    *readable = FD_ISSET(ToSocket(s), &rs) ? 1 : 0;
    *writable = FD_ISSET(ToSocket(s), &ws) ? 1 : 0;
    return n;
}

int NetInterrupted(void)
{
    return lastInterrupted;
}

uint64_t SysMilliseconds(void)
{
    return (uint64_t)GetTickCount64();
}

uint64_t SysMicroseconds(void)
{
    static LARGE_INTEGER freq;
    LARGE_INTEGER now;
    if (freq.QuadPart == 0)
        QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    return (uint64_t)(now.QuadPart / freq.QuadPart) * 1000000u +
           (uint64_t)(now.QuadPart % freq.QuadPart) * 1000000u / (uint64_t)freq.QuadPart;
}

// ---- text ------------------------------------------------------------------
//
// Names and texts are UTF-8 inside the program; the system is asked in
// UTF-16 through its wide interface.

// `s` in UTF-16 on the heap, or null. Text that is not UTF-8 comes out with
// U+FFFD where it breaks.
static wchar_t* WideFrom(const char* s, UINT codePage, DWORD flags)
{
    int n = MultiByteToWideChar(codePage, flags, s, -1, NULL, 0);
    if (n <= 0)
        return NULL;
    wchar_t* w = (wchar_t*)malloc((size_t)n * sizeof(wchar_t));
    if (w != NULL && MultiByteToWideChar(codePage, flags, s, -1, w, n) != n) {
        free(w);
        w = NULL;
    }
    return w;
}

static wchar_t* Wide(const char* utf8)
{
    return WideFrom(utf8, CP_UTF8, 0);
}

// `w` in UTF-8 into `out` of `size` bytes: 0, or -1 when it does not fit.
static int Utf8Into(const wchar_t* w, char* out, size_t size)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, out, (int)size, NULL, NULL);
    return n > 0 ? 0 : -1;
}

static char* Utf8(const wchar_t* w)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, NULL, 0, NULL, NULL);
    char* s = n > 0 ? (char*)malloc((size_t)n) : NULL;
    if (s != NULL && Utf8Into(w, s, (size_t)n) < 0) {
        free(s);
        s = NULL;
    }
    return s;
}

char** SysProgramArguments(int* ac, char** av)
{
    int n = 0;
    LPWSTR* w = CommandLineToArgvW(GetCommandLineW(), &n);
    if (w == NULL)
        return av;
    // Kept for the whole run, as the C runtime keeps its own.
    char** args = (char**)calloc((size_t)n + 1, sizeof(char*));
    for (int i = 0; args != NULL && i < n; i++) {
        args[i] = Utf8(w[i]);
        if (args[i] == NULL) {
            while (i > 0)
                free(args[--i]);
            free(args);
            args = NULL;
        }
    }
    LocalFree(w);
    if (args == NULL)
        return av;
    *ac = n;
    return args;
}

static HANDLE HandleOf(int stream)
{
    return GetStdHandle(stream == SYS_STDERR ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
}

static FILE* StreamOf(int stream)
{
    return stream == SYS_STDERR ? stderr : stdout;
}

int SysIsTerminal(int stream)
{
    DWORD mode;
    HANDLE h = HandleOf(stream);
    return h != NULL && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

int SysWriteBytes(int stream, const char* bytes, size_t len)
{
    FILE* f = StreamOf(stream);
    errno = 0;
    if ((len > 0 && fwrite(bytes, 1, len, f) != len) || fflush(f) != 0)
        return -1;
    return 0;
}

// A console takes the text as UTF-16, whatever its code page; a file or a
// pipe gets the UTF-8 bytes.
int SysWriteText(int stream, const char* text)
{
    if (!SysIsTerminal(stream))
        return SysWriteBytes(stream, text, strlen(text));
    fflush(StreamOf(stream));
    wchar_t* w = Wide(text);
    DWORD done = 0;
    BOOL ok = w != NULL && WriteConsoleW(HandleOf(stream), w, (DWORD)wcslen(w), &done, NULL);
    free(w);
    if (!ok) {
        errno = EIO;
        return -1;
    }
    return 0;
}

// ---- files -----------------------------------------------------------------

const char FILE_SEPARATOR = '\\';
const char FILE_FOREIGN_SEPARATOR = '/';

int FileOpenRead(const char* name)
{
    struct stat st;

    wchar_t* w = Wide(name);
    if (w == NULL)
        return -1;
    // As with the served files: a console or pipe name opens without
    // waiting, and is then refused before anything reads from it.
    int fd = _wopen(w, _O_RDONLY | _O_BINARY);
    free(w);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        _close(fd);
        return -1;
    }
    return fd;
}

int FileRead(int fd, void* buf, unsigned int len)
{
    return _read(fd, buf, len);
}

int64_t FileSeek(int fd, int64_t off, int whence)
{
    return _lseeki64(fd, off, whence);
}

void FileClose(int fd)
{
    _close(fd);
}

int FileNameFromTarget(const char* name, char* out, size_t size)
{
    wchar_t* w = WideFrom(name, CP_UTF8, MB_ERR_INVALID_CHARS);
    if (w == NULL)
        w = WideFrom(name, CP_ACP, 0);
    int r = w != NULL ? Utf8Into(w, out, size) : -1;
    free(w);
    return r;
}

FILE* FileCreateStream(const char* name)
{
    wchar_t* w = Wide(name);
    if (w == NULL) {
        errno = EINVAL;
        return NULL;
    }
    FILE* fp = _wfopen(w, L"wb");
    free(w);
    return fp;
}

// ---- the fence -------------------------------------------------------------
//
// A served name is joined to the fence's path and opened as the system
// resolves it, junctions, links and ".." included; the opened file's final
// path must then lie below the fence's own final path.

static HANDLE fenceHandle = INVALID_HANDLE_VALUE;
static wchar_t* fencePath;   // as given, made absolute
static wchar_t* fenceFinal;  // where the system resolves it to

void FileFenceByWalk(int on)
{
    (void)on;  // the final path is this system's own resolution
}

// The final path of an open handle, on the heap, or null.
static wchar_t* FinalPath(HANDLE h)
{
    DWORD n = GetFinalPathNameByHandleW(h, NULL, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    wchar_t* w = n > 0 ? (wchar_t*)malloc((size_t)n * sizeof(wchar_t)) : NULL;
    if (w != NULL &&
        GetFinalPathNameByHandleW(h, w, n, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS) >= n) {
        free(w);
        w = NULL;
    }
    return w;
}

static void ClearFence(void)
{
    if (fenceHandle != INVALID_HANDLE_VALUE)
        CloseHandle(fenceHandle);
    fenceHandle = INVALID_HANDLE_VALUE;
    free(fencePath);
    free(fenceFinal);
    fencePath = fenceFinal = NULL;
}

int FileSetFence(const char* dir)
{
    ClearFence();
    if (dir == NULL)
        return 0;
    wchar_t* w = Wide(dir);
    DWORD n = w != NULL ? GetFullPathNameW(w, 0, NULL, NULL) : 0;
    fencePath = n > 0 ? (wchar_t*)malloc((size_t)n * sizeof(wchar_t)) : NULL;
    if (fencePath != NULL && GetFullPathNameW(w, n, fencePath, NULL) < n)
        fenceHandle = CreateFileW(fencePath, 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    free(w);
    BY_HANDLE_FILE_INFORMATION info;
    if (fenceHandle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(fenceHandle, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        fenceFinal = FinalPath(fenceHandle);
    if (fenceFinal == NULL) {
        ClearFence();
        errno = ENOENT;
        return -1;
    }
    return 0;
}

// True when the final path `final` lies below the fence's.
static int BelowFence(const wchar_t* final)
{
    size_t n = wcslen(fenceFinal);
    if (n > 0 && fenceFinal[n - 1] == L'\\')
        n--;
    return wcslen(final) > n + 1 && final[n] == L'\\' &&
           CompareStringOrdinal(final, (int)n, fenceFinal, (int)n, TRUE) == CSTR_EQUAL;
}

// The path a served name opens: as it is without a fence; with one, below
// it, a drive and leading separators of an absolute name taken off.
static wchar_t* ServedPath(const char* name)
{
    wchar_t* w = Wide(name);
    if (w == NULL || fencePath == NULL)
        return w;
    const wchar_t* rel = w;
    if (rel[0] != L'\0' && rel[1] == L':')
        rel += 2;
    while (*rel == L'\\' || *rel == L'/')
        rel++;
    size_t n = wcslen(fencePath) + 1 + wcslen(rel) + 1;
    wchar_t* joined = (wchar_t*)malloc(n * sizeof(wchar_t));
    if (joined != NULL)
        _snwprintf(joined, n, L"%ls\\%ls", fencePath, rel);
    free(w);
    return joined;
}

// An ordinary file on a disk, opened for reading, below the fence when one
// is set; INVALID_HANDLE_VALUE otherwise. A console or pipe name opens
// without waiting, and is then refused.
static HANDLE OpenServed(const char* name)
{
    wchar_t* path = ServedPath(name);
    if (path == NULL)
        return INVALID_HANDLE_VALUE;
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    free(path);
    if (h == INVALID_HANDLE_VALUE)
        return h;
    BY_HANDLE_FILE_INFORMATION info;
    int ok = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
             !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (ok && fenceFinal != NULL) {
        wchar_t* final = FinalPath(h);
        ok = final != NULL && BelowFence(final);
        free(final);
    }
    if (!ok) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

FILE* FileOpenRegularStream(const char* name)
{
    HANDLE h = OpenServed(name);
    if (h == INVALID_HANDLE_VALUE)
        return NULL;
    int fd = _open_osfhandle((intptr_t)h, _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return NULL;
    }
    FILE* fp = _fdopen(fd, "rb");
    if (fp == NULL)
        _close(fd);
    return fp;
}

int64_t FileStreamTell(FILE* fp)
{
    return _ftelli64(fp);
}

int FileStreamSeek(FILE* fp, int64_t off, int whence)
{
    return _fseeki64(fp, off, whence) == 0 ? 0 : -1;
}

// ---- the process -----------------------------------------------------------

void SysDebugOutput(const char* text, int isText)
{
    wchar_t* w = isText ? Wide(text) : NULL;
    if (w != NULL)
        OutputDebugStringW(w);
    else
        OutputDebugStringA(text);
    free(w);
}

// Sockets are not C runtime descriptors here: a missing standard stream
// cannot lend its number to one.
void SysHoldStandardStreams(void) {}

// Windows raises no signal for a pipe whose reader has gone: the write
// fails, which is what the caller looks for.
void SysIgnoreBrokenPipe(void) {}

// The C runtime resets a handler to the default once it has run, which is
// why the handler installs itself again.
void SysInstallSignal(int sig, void (*handler)(int))
{
    signal(sig, handler);
}

void SysInstallSignals(void (*handler)(int))
{
    SysInstallSignal(SIGTERM, handler);
    SysInstallSignal(SIGBREAK, handler);
    SysInstallSignal(SIGABRT, handler);
    SysInstallSignal(SIGINT, handler);
}
