// Directory listing on POSIX, relative to open directory descriptors.
//
// Each directory lists through its own descriptor and opens its
// subdirectories with openat(), so no full path is ever built. Symbolic links
// are never followed: a link is reported as a file of its own size. A
// subdirectory whose device differs from its parent's is another file
// system mounted there (/proc, a tmpfs, a USB disk): it is not entered, as
// Windows does not enter a volume mounted in a folder.

#include "list.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

struct ListDir {
    DIR* dir;   // NULL while closed
    dev_t dev;  // the device of the directory, kept after closing
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
    return (ListDir*)calloc(1, sizeof(ListDir));
}

// Out of descriptors, for the process or for the whole system.
static int OpenFailure(void)
{
    return (errno == EMFILE || errno == ENFILE) ? LISTING_NO_FD : LISTING_FAILED;
}

static int Attach(ListDir* d, int fd)
{
    d->dir = fdopendir(fd);
    if (!d->dir) {
        close(fd);
        return LISTING_FAILED;
    }
    return LISTING_OK;
}

int ListOpenCurrent(ListDir* d)
{
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return OpenFailure();
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return LISTING_FAILED;
    }
    d->dev = st.st_dev;
    return Attach(d, fd);
}

int ListOpenSub(ListDir* parent, const char* name, ListDir* d)
{
    if (!parent->dir)
        return LISTING_FAILED;
    int fd = openat(dirfd(parent->dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // Removed, or replaced by a file or a link, since it was listed:
        // it is no longer a directory of this tree.
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
            return LISTING_GONE;
        return OpenFailure();
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return LISTING_FAILED;
    }
    if (st.st_dev != parent->dev) {
        close(fd);
        return LISTING_OTHER_FS;
    }
    d->dev = st.st_dev;
    return Attach(d, fd);
}

int ListNext(ListDir* d, ListEntry* e)
{
    if (!d->dir)
        return LISTING_END;
    for (;;) {
        errno = 0;
        struct dirent* de = readdir(d->dir);
        if (!de)
            return errno ? LISTING_ERROR : LISTING_END;
        e->name = de->d_name;
        e->size = 0;
        e->isDir = 0;
        e->isLink = 0;
        e->sizeKnown = 0;
#ifdef DT_UNKNOWN
        // The file system's type hint spares a stat call for directories
        // (whose own size is never counted) and for files whose name the
        // filter turns down.
        if (de->d_type != DT_UNKNOWN) {
            e->isDir = de->d_type == DT_DIR;
            e->isLink = de->d_type == DT_LNK;
            return LISTING_ENTRY;
        }
#endif
        int r = ListEntrySize(d, e);
        if (r == LISTING_GONE)
            continue;
        return LISTING_ENTRY;
    }
}

int ListEntrySize(ListDir* d, ListEntry* e)
{
    if (e->sizeKnown || e->isDir)
        return LISTING_OK;
    struct stat st;
    if (fstatat(dirfd(d->dir), e->name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? LISTING_GONE : LISTING_FAILED;
    e->isDir = S_ISDIR(st.st_mode) ? 1 : 0;
    e->isLink = S_ISLNK(st.st_mode) ? 1 : 0;
    e->size = (!e->isDir && st.st_size > 0) ? (uint64_t)st.st_size : 0;
    e->sizeKnown = 1;
    return LISTING_OK;
}

void ListClose(ListDir* d)
{
    if (d->dir)
        closedir(d->dir);  // closes the descriptor as well
    d->dir = NULL;
}
