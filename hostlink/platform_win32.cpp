// Windows Sockets 1.1, the C runtime's files and signals, and the debugger
// output.
#include "platform.h"

#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>

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

// ---- files -----------------------------------------------------------------

const char FILE_SEPARATOR = '\\';
const char FILE_FOREIGN_SEPARATOR = '/';

int FileOpenRead(const char* name)
{
    struct stat st;

    // As with the served files: a console or pipe name opens without
    // waiting, and is then refused before anything reads from it.
    int fd = _open(name, _O_RDONLY | _O_BINARY);
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

FILE* FileOpenRegularStream(const char* name)
{
    struct stat st;

    // Opening a console or pipe name does not wait here; reading would.
    FILE* fp = fopen(name, "rb");
    if (fp == NULL)
        return NULL;
    if (fstat(_fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) {
        fclose(fp);
        return NULL;
    }
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

void SysDebugOutput(const char* text)
{
    OutputDebugStringA(text);
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
