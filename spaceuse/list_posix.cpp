// Directory listing on POSIX systems (Linux), relative to open directory
// descriptors.
//
// Each directory lists through its own descriptor and opens its
// subdirectories with openat(), so no full path is ever built. Symbolic links
// are never followed: a link is reported as a file of its own size. A
// subdirectory whose device differs from its parent's is another file
// system mounted there (/proc, a tmpfs, a USB disk): it is not entered, as
// Windows does not enter a volume mounted in a folder.
//
// The entries are read with getdents64() into a buffer of the listing's
// own: a directory then costs an open, a status, the reads and a close,
// where the stream functions add three calls of their own to every open.

#include "list.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

// As much of a listing as one read takes in; the kernel's records of a
// directory with a few hundred entries fit at once.
#define LIST_BUF_SIZE 32768

struct ListDir {
    int fd;     // -1 while closed
    dev_t dev;  // the device of the directory, kept after closing
    ino_t ino;  // and its file number
    char* buf;  // LIST_BUF_SIZE bytes while open
    size_t len, pos;
    int ended;
};

void ListInit(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == rl.rlim_max)
        return;
    rl.rlim_cur = rl.rlim_max;
    // Failure only means deep trees run out of descriptors sooner; such
    // directories are then reported as unlistable.
    (void)setrlimit(RLIMIT_NOFILE, &rl);
}

ListDir* ListNew(void)
{
    ListDir* d = (ListDir*)calloc(1, sizeof(ListDir));
    if (d)
        d->fd = -1;
    return d;
}

// Out of descriptors, for the process or for the whole system.
static int OpenFailure(void)
{
    return (errno == EMFILE || errno == ENFILE) ? LISTING_NO_FD : LISTING_FAILED;
}

// Takes over the open directory `fd`, whose device `dev` its parent's must
// match (when `parentDev` is given).
static int Attach(ListDir* d, int fd, const dev_t* parentDev)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return LISTING_FAILED;
    }
    if (parentDev && st.st_dev != *parentDev) {
        close(fd);
        return LISTING_OTHER_FS;
    }
    d->buf = (char*)malloc(LIST_BUF_SIZE);
    if (!d->buf) {
        close(fd);
        return LISTING_NO_MEMORY;
    }
    d->fd = fd;
    d->dev = st.st_dev;
    d->ino = st.st_ino;
    d->len = d->pos = 0;
    d->ended = 0;
    return LISTING_OK;
}

int ListOpenCurrent(ListDir* d)
{
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return OpenFailure();
    return Attach(d, fd, NULL);
}

int ListOpenSub(ListDir* parent, const char* name, ListDir* d)
{
    if (parent->fd < 0)
        return LISTING_FAILED;
    int fd = openat(parent->fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // Removed, or replaced by a file or a link, since it was listed:
        // it is no longer a directory of this tree.
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
            return LISTING_GONE;
        return OpenFailure();
    }
    return Attach(d, fd, &parent->dev);
}

// The next record of the kernel's listing; NULL at the end, or on an error
// (`*r` then says which).
static struct dirent64* NextRecord(ListDir* d, int* r)
{
    if (d->pos >= d->len) {
        if (d->ended) {
            *r = LISTING_END;
            return NULL;
        }
        ssize_t n;
        do
            n = getdents64(d->fd, d->buf, LIST_BUF_SIZE);
        while (n < 0 && errno == EINTR);
        if (n <= 0) {
            d->ended = 1;
            *r = n < 0 ? LISTING_ERROR : LISTING_END;
            return NULL;
        }
        d->len = (size_t)n;
        d->pos = 0;
    }
    struct dirent64* de = (struct dirent64*)(void*)(d->buf + d->pos);
    d->pos += de->d_reclen;
    return de;
}

int ListNext(ListDir* d, ListEntry* e)
{
    if (d->fd < 0)
        return LISTING_END;
    for (;;) {
        int r = LISTING_END;
        struct dirent64* de = NextRecord(d, &r);
        if (!de)
            return r;
        e->name = de->d_name;
        e->size = 0;
        e->isDir = 0;
        e->isLink = 0;
        e->sizeKnown = 0;
        e->ino = (uint64_t)de->d_ino;
        e->nlink = 0;
        // The file system's type hint spares a stat call for directories
        // (whose own size is never counted) and for files whose name the
        // filter turns down.
        if (de->d_type != DT_UNKNOWN) {
            e->isDir = de->d_type == DT_DIR;
            e->isLink = de->d_type == DT_LNK;
            return LISTING_ENTRY;
        }
        int sr = ListEntrySize(d, e);
        if (sr == LISTING_GONE)
            continue;
        return LISTING_ENTRY;
    }
}

int ListEntrySize(ListDir* d, ListEntry* e)
{
    if (e->sizeKnown || e->isDir)
        return LISTING_OK;
    struct stat st;
    if (fstatat(d->fd, e->name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? LISTING_GONE : LISTING_FAILED;
    e->isDir = S_ISDIR(st.st_mode) ? 1 : 0;
    e->isLink = S_ISLNK(st.st_mode) ? 1 : 0;
    e->size = (!e->isDir && st.st_size > 0) ? (uint64_t)st.st_size : 0;
    e->sizeKnown = 1;
    e->ino = (uint64_t)st.st_ino;
    e->nlink = (uint32_t)st.st_nlink;
    return LISTING_OK;
}

void ListId(const ListDir* d, uint64_t* dev, uint64_t* ino)
{
    *dev = (uint64_t)d->dev;
    *ino = (uint64_t)d->ino;
}

void ListClose(ListDir* d)
{
    if (d->fd >= 0)
        close(d->fd);
    d->fd = -1;
    free(d->buf);
    d->buf = NULL;
}
