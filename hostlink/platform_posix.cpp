// BSD sockets, POSIX files and signals.
#include "platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

static int lastInterrupted;
static int lastWouldBlock;

// There is no start-up to do; report the version the caller relies on.
int NetStartup(uint16_t version, uint16_t* got)
{
    (void)version;
    *got = 0x0101;
    return 0;
}

void NetCleanup(void) {}

int NetGetHostName(char* buf, int size)
{
    return gethostname(buf, (size_t)size) == 0 ? 0 : -1;
}

// getaddrinfo is the lookup POSIX keeps (gethostbyname has left it); only
// IPv4 addresses are asked for, as the connection is IPv4.
int NetLookup(const char* host, uint32_t* addr, int* family)
{
    struct addrinfo hints;
    struct addrinfo* res = NULL;

    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, NULL, &hints, &res) != 0 || res == NULL)
        return -1;
    *addr = ((const struct sockaddr_in*)res->ai_addr)->sin_addr.s_addr;
    *family = res->ai_family;
    freeaddrinfo(res);
    return 0;
}

uint32_t NetInetAddr(const char* host)
{
    return (uint32_t)inet_addr(host);
}

int NetSocket(void)
{
    return socket(AF_INET, SOCK_STREAM, 0);
}

int NetConnect(int s, uint32_t addr, int family, uint16_t port)
{
    struct sockaddr_in sa;

    memset(&sa, 0, sizeof sa);
    sa.sin_family = (sa_family_t)family;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    // The only signals caught are requests to end, so an interrupted
    // connect is a failed one.
    return connect(s, (struct sockaddr*)&sa, sizeof sa) == 0 ? 0 : -1;
}

int NetSendSome(int s, const void* buf, int len)
{
    // MSG_NOSIGNAL: a peer that has gone away is an error to report, not a
    // SIGPIPE that kills the program silently.
    ssize_t n = send(s, buf, (size_t)len, MSG_NOSIGNAL | MSG_DONTWAIT);
    lastInterrupted = (n < 0 && errno == EINTR);
    lastWouldBlock = (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    return (int)n;
}

int NetSendPair(int s, const void* buf, int len, const void* buf2, int len2)
{
    struct iovec iov[2];
    struct msghdr msg;

    iov[0].iov_base = (void*)buf;
    iov[0].iov_len = (size_t)len;
    iov[1].iov_base = (void*)buf2;
    iov[1].iov_len = (size_t)len2;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    ssize_t n = sendmsg(s, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    lastInterrupted = (n < 0 && errno == EINTR);
    lastWouldBlock = (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    return (int)n;
}

int NetWouldBlock(void)
{
    return lastWouldBlock;
}

int NetRecv(int s, void* buf, int len)
{
    ssize_t n = recv(s, buf, (size_t)len, 0);
    lastInterrupted = (n < 0 && errno == EINTR);
    return (int)n;
}

int NetRecvSome(int s, void* buf, int len)
{
    ssize_t n = recv(s, buf, (size_t)len, MSG_DONTWAIT);
    lastInterrupted = (n < 0 && errno == EINTR);
    lastWouldBlock = (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    return (int)n;
}

void NetClose(int s)
{
    close(s);
}

// poll, not select: select cannot take a descriptor at or above FD_SETSIZE,
// and a parent may well leave that many open.
int NetPoll(int s, int wantRead, int wantWrite, int ms, int* readable, int* writable)
{
    struct pollfd p;

    *readable = 0;
    *writable = 0;
    if (s < 0) {
        lastInterrupted = 0;
        return -1;
    }
    p.fd = s;
    p.events = (short)((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    p.revents = 0;
    int n = poll(&p, 1, ms);
    if (n < 0) {
        lastInterrupted = (errno == EINTR);
        return -1;
    }
    if (n == 0)
        return 0;
    if (p.revents & POLLNVAL) {
        lastInterrupted = 0;
        return -1;
    }
    int broken = (p.revents & (POLLERR | POLLHUP)) != 0;
    *readable = wantRead && ((p.revents & POLLIN) || broken);
    *writable = wantWrite && ((p.revents & POLLOUT) || broken);
    return *readable || *writable ? 1 : 0;
}

int NetInterrupted(void)
{
    return lastInterrupted;
}

uint64_t SysMilliseconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

// ---- files -----------------------------------------------------------------

const char FILE_SEPARATOR = '/';
const char FILE_FOREIGN_SEPARATOR = '\\';

// An ordinary file's descriptor, opened read-only, or -1. O_NONBLOCK keeps
// the open itself from waiting for a FIFO's writer; on an ordinary file it
// changes nothing.
static int OpenRegular(const char* name)
{
    struct stat st;

    int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

int FileOpenRead(const char* name)
{
    int fd = OpenRegular(name);
    // Reads of the program file are plain blocking reads.
    if (fd >= 0) {
        int fl = fcntl(fd, F_GETFL);
        if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

int FileRead(int fd, void* buf, unsigned int len)
{
    return (int)read(fd, buf, len);
}

int64_t FileSeek(int fd, int64_t off, int whence)
{
    return (int64_t)lseek(fd, (off_t)off, whence);
}

void FileClose(int fd)
{
    close(fd);
}

FILE* FileOpenRegularStream(const char* name)
{
    int fd = OpenRegular(name);
    if (fd < 0)
        return NULL;
    FILE* fp = fdopen(fd, "rb");
    if (fp == NULL)
        close(fd);
    return fp;
}

int64_t FileStreamTell(FILE* fp)
{
    return (int64_t)ftello(fp);
}

int FileStreamSeek(FILE* fp, int64_t off, int whence)
{
    if ((int64_t)(off_t)off != off)
        return -1;
    return fseeko(fp, (off_t)off, whence) == 0 ? 0 : -1;
}

// ---- the process -----------------------------------------------------------

// No debugger output channel here.
void SysDebugOutput(const char* text)
{
    (void)text;
}

void SysInstallSignal(int sig, void (*handler)(int))
{
    struct sigaction sa;

    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the signal must end a select in progress.
    sa.sa_flags = 0;
    sigaction(sig, &sa, NULL);
}

void SysHoldStandardStreams(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free number is this one. Opened for reading only.
        int held = open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd)
            close(held);
    }
}

void SysIgnoreBrokenPipe(void)
{
    signal(SIGPIPE, SIG_IGN);
}

void SysInstallSignals(void (*handler)(int))
{
    SysInstallSignal(SIGTERM, handler);
    SysInstallSignal(SIGABRT, handler);
    SysInstallSignal(SIGINT, handler);
}
