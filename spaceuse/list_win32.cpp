// Directory listing on Windows, through the find-file services.
//
// Listings are opened with a pattern relative to the current directory:
// each record keeps the path of its directory below it, each name followed
// by a backslash, so that a subdirectory can be opened from any thread
// while its parent's listing goes on (or is already closed). A volume
// mounted in a folder is a reparse point there, and is never entered.

#include "list.h"

#include <stdlib.h>
#include <string.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "sysdep.h"

struct ListDir {
    HANDLE find;  // NULL while closed
    WIN32_FIND_DATAA data;
    int pending;                // `data` holds an entry not yet handed out
    size_t pathLen;             // length of `path`
    char path[PATH_BUF_SIZE];   // this directory, relative to the current one
};

void ListInit(void)
{
}

ListDir* ListNew(void)
{
    return (ListDir*)calloc(1, sizeof(ListDir));
}

// Opens the listing of the directory whose path (relative to the current
// directory) is the first `pathLen` bytes of d->path.
static int OpenAt(ListDir* d)
{
    static const char kAll[] = "*.*";
    char pattern[PATH_BUF_SIZE];
    size_t len = d->pathLen;
    // A pattern that does not fit must never be cut short: listing a
    // shorter path would measure some other directory.
    if (len + sizeof kAll > sizeof pattern)
        return LISTING_FAILED;
    memcpy(pattern, d->path, len);
    memcpy(pattern + len, kAll, sizeof kAll);
    d->pending = 0;
    d->find = NULL;
    HANDLE find = FindFirstFileA(pattern, &d->data);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        // Only a drive's root can be empty of even "." and "..".
        if (len == 0 && err == ERROR_FILE_NOT_FOUND)
            return LISTING_OK;
        return err == ERROR_TOO_MANY_OPEN_FILES ? LISTING_NO_FD : LISTING_FAILED;
    }
    d->find = find;
    d->pending = 1;
    return LISTING_OK;
}

int ListOpenCurrent(ListDir* d)
{
    d->path[0] = '\0';
    d->pathLen = 0;
    return OpenAt(d);
}

int ListOpenSub(ListDir* parent, const char* name, ListDir* d)
{
    size_t nameLen = strlen(name);
    size_t len = parent->pathLen + nameLen + 1;
    if (len >= sizeof d->path)
        return LISTING_FAILED;
    memcpy(d->path, parent->path, parent->pathLen);
    memcpy(d->path + parent->pathLen, name, nameLen);
    d->path[len - 1] = '\\';
    d->path[len] = '\0';
    d->pathLen = len;
    return OpenAt(d);
}

int ListNext(ListDir* d, ListEntry* e)
{
    if (d->find == NULL)
        return LISTING_END;
    if (!d->pending) {
        if (!FindNextFileA(d->find, &d->data))
            return GetLastError() == ERROR_NO_MORE_FILES ? LISTING_END : LISTING_ERROR;
    }
    d->pending = 0;
    DWORD attr = d->data.dwFileAttributes;
    e->name = d->data.cFileName;
    e->isDir = (attr & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
    // A junction or directory link would lead out of the tree or round in
    // a loop: it is counted where it stands but never entered.
    e->isLink = (attr & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
    e->sizeKnown = 1;
    e->size = e->isDir ? 0
                       : ((uint64_t)d->data.nFileSizeHigh << 32) | (uint64_t)d->data.nFileSizeLow;
    return LISTING_ENTRY;
}

int ListEntrySize(ListDir* d, ListEntry* e)
{
    (void)d;
    (void)e;
    return LISTING_OK;  // the listing gives every size
}

void ListId(const ListDir* d, uint64_t* dev, uint64_t* ino)
{
    (void)d;
    *dev = *ino = 0;  // the find-file services give neither
}

void ListClose(ListDir* d)
{
    if (d->find != NULL)
        FindClose(d->find);
    d->find = NULL;
    d->pending = 0;
}
