// BSD sockets, POSIX files and signals.
#include "platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
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

#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

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

int NetIsIPv6Address(const char* text)
{
    unsigned char addr[16];
    return inet_pton(AF_INET6, text, addr) == 1;
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
    return SysMicroseconds() / 1000u;
}

uint64_t SysMicroseconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

// ---- files -----------------------------------------------------------------

const char FILE_SEPARATOR = '/';
const char FILE_FOREIGN_SEPARATOR = '\\';

// The directory the served files are fenced in, -1 for none.
static int fenceFd = -1;
static int fenceByWalk;

// Names are opened read-only, without becoming the controlling terminal,
// and without the open itself waiting for a FIFO's writer (on an ordinary
// file O_NONBLOCK changes nothing).
#define OPEN_SERVED (O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)

int FileSetFence(const char* dir)
{
    int fd = -1;
    if (dir != NULL) {
        fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return -1;
    }
    if (fenceFd >= 0)
        close(fenceFd);
    fenceFd = fd;
    return 0;
}

void FileFenceByWalk(int on)
{
    fenceByWalk = on;
}

int FileNameFromTarget(const char* name, char* out, size_t size)
{
    size_t n = strlen(name);
    if (n >= size)
        return -1;
    memcpy(out, name, n + 1);
    return 0;
}

FILE* FileCreateStream(const char* name)
{
    return fopen(name, "wb");
}

// ---- the fence's walk ------------------------------------------------------
//
// A name resolved below `root` a component at a time, every directory held
// open on the way and every component opened without following a link: a
// link is read and its text put in place of its name, and `..` goes back
// one held directory, never past `root`. A link with an absolute text leads
// out and is refused, as the kernel's own resolution refuses it.

#define WALK_DEPTH 64
#define WALK_LINKS 40

typedef struct FENCE_WALK {
    int dirs[WALK_DEPTH];  // dirs[0] is the fence, not ours to close
    int depth;
    int links;
    char path[2][PATH_MAX];  // what is left of the name, in one of the two
    int cur;
} FENCE_WALK;

// Replaces the link `comp` (in the current directory) by its text, in
// front of `rest`. 0, or -1 with errno set.
static int WalkFollow(FENCE_WALK* w, const char* comp, const char* rest)
{
    char* next = w->path[1 - w->cur];
    if (++w->links > WALK_LINKS) {
        errno = ELOOP;
        return -1;
    }
    ssize_t n = readlinkat(w->dirs[w->depth], comp, next, PATH_MAX - 1);
    if (n < 0)
        return -1;
    if (n == 0 || next[0] == '/') {
        errno = EXDEV;
        return -1;
    }
    int r = snprintf(next + n, PATH_MAX - (size_t)n, "%s%s", *rest ? "/" : "", rest);
    if (r < 0 || (size_t)r >= PATH_MAX - (size_t)n) {
        errno = ENAMETOOLONG;
        return -1;
    }
    w->cur = 1 - w->cur;
    return 0;
}

// Goes into the directory `comp`, or follows it when it is a link. 0, or
// -1 with errno set.
static int WalkEnter(FENCE_WALK* w, const char* comp, const char* rest)
{
    struct stat st;
    int fd = openat(w->dirs[w->depth], comp, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        if (w->depth + 1 >= WALK_DEPTH) {
            close(fd);
            errno = ENAMETOOLONG;
            return -1;
        }
        w->dirs[++w->depth] = fd;
        return 0;
    }
    int err = errno;
    if (fstatat(w->dirs[w->depth], comp, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return WalkFollow(w, comp, rest);
    errno = err;
    return -1;
}

// The next component of what is left of the name, taken off it into
// `comp`: 1 when it is the last (nothing but the component follows; a
// trailing '/' makes it a directory to enter), 0 when more follow, -1 when
// it is too long. An empty name, or one that ends in '/', ends with ".".
static int WalkTake(FENCE_WALK* w, char* comp)
{
    char* path = w->path[w->cur];
    const char* p = path;
    while (*p == '/')
        p++;
    size_t len = strcspn(p, "/");
    if (len > NAME_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(comp, len > 0 ? p : ".", len > 0 ? len : 1);
    comp[len > 0 ? len : 1] = '\0';
    int last = p[len] == '\0';
    memmove(path, p + len, strlen(p + len) + 1);
    return last;
}

// One step of the walk: 1 with `*fd` set when the name has been opened, 0
// to go on, -1 with errno set.
static int WalkStep(FENCE_WALK* w, int flags, int* fd)
{
    char comp[NAME_MAX + 1];
    struct stat st;

    int last = WalkTake(w, comp);
    if (last < 0)
        return -1;
    if (strcmp(comp, "..") == 0) {
        if (w->depth == 0) {
            errno = EXDEV;
            return -1;
        }
        close(w->dirs[w->depth--]);
        return 0;
    }
    if (!last)
        return strcmp(comp, ".") == 0 ? 0 : WalkEnter(w, comp, w->path[w->cur]);
    *fd = openat(w->dirs[w->depth], comp, flags | O_NOFOLLOW);
    if (*fd >= 0)
        return 1;
    int err = errno;
    if (fstatat(w->dirs[w->depth], comp, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return WalkFollow(w, comp, "");
    errno = err;
    return -1;
}

static int WalkBeneath(int root, const char* name, int flags)
{
    FENCE_WALK w;
    int fd = -1, r = 0;

    if (strlen(name) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    w.dirs[0] = root;
    w.depth = 0;
    w.links = 0;
    w.cur = 0;
    memcpy(w.path[0], name, strlen(name) + 1);
    while (r == 0)
        r = WalkStep(&w, flags, &fd);
    int err = errno;
    while (w.depth > 0)
        close(w.dirs[w.depth--]);
    errno = err;
    return r > 0 ? fd : -1;
}

// `name` opened below the fence: an absolute name is taken from the fence.
// The kernel resolves it where it can (openat2, Linux 5.6 on); otherwise,
// or when a sandbox refuses that call, the walk above does.
static int OpenBeneath(const char* name, int flags)
{
    while (*name == '/')
        name++;
#if defined(__linux__) && defined(SYS_openat2)
    static int noOpenat2;
    if (!fenceByWalk && !noOpenat2) {
        struct open_how how;
        memset(&how, 0, sizeof how);
        how.flags = (uint64_t)flags;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        long fd = syscall(SYS_openat2, fenceFd, *name ? name : ".", &how, sizeof how);
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
            return (int)fd;
        noOpenat2 = 1;
    }
#endif
    return WalkBeneath(fenceFd, name, flags);
}

// An ordinary file's descriptor, opened read-only (below the fence when
// `fenced` and one is set), or -1.
static int OpenRegular(const char* name, int fenced)
{
    struct stat st;

    int fd = fenced && fenceFd >= 0 ? OpenBeneath(name, OPEN_SERVED) : open(name, OPEN_SERVED);
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
    int fd = OpenRegular(name, 0);
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
    int fd = OpenRegular(name, 1);
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
void SysDebugOutput(const char* text, int isText)
{
    (void)text;
    (void)isText;
}

static FILE* StreamOf(int stream)
{
    return stream == SYS_STDERR ? stderr : stdout;
}

// Names are bytes here, and so is every text.
int SysWriteText(int stream, const char* text)
{
    return SysWriteBytes(stream, text, strlen(text));
}

int SysWriteBytes(int stream, const char* bytes, size_t len)
{
    FILE* f = StreamOf(stream);
    errno = 0;
    if ((len > 0 && fwrite(bytes, 1, len, f) != len) || fflush(f) != 0)
        return -1;
    return 0;
}

int SysIsTerminal(int stream)
{
    return isatty(stream == SYS_STDERR ? 2 : 1);
}

char** SysProgramArguments(int* ac, char** av)
{
    (void)ac;
    return av;
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

// A closed terminal or ssh session (SIGHUP) ends the run as SIGTERM does,
// and SIGQUIT as SIGINT: in order, not killed where it stands.
void SysInstallSignals(void (*handler)(int))
{
    SysInstallSignal(SIGTERM, handler);
    SysInstallSignal(SIGABRT, handler);
    SysInstallSignal(SIGINT, handler);
    SysInstallSignal(SIGHUP, handler);
    SysInstallSignal(SIGQUIT, handler);
}
