// Directory listing on Windows, through the find-file services.
//
// Listings are opened with a pattern relative to the current directory:
// `scanPath` holds the path of the directory being listed below it, each
// name followed by a backslash. Since listings nest strictly, one buffer
// serves the whole walk; each level remembers where its own part ends.

#include "list.h"

#include <stdlib.h>
#include <string.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "sysdep.h"

struct ListDir {
    HANDLE find;  // NULL while closed
    WIN32_FIND_DATAA data;
    int pending;    // `data` holds an entry not yet handed out
    size_t pathLen;  // length of this directory's part of scanPath
};

static char scanPath[PATH_BUF_SIZE];

void ListInit(void)
{
}

ListDir* ListNew(void)
{
    return (ListDir*)calloc(1, sizeof(ListDir));
}

// Opens the listing of the directory whose path (relative to the current
// directory) is the first `len` bytes of scanPath.
static int OpenAt(ListDir* d, size_t len)
{
    static const char kAll[] = "*.*";
    char pattern[PATH_BUF_SIZE];
    // A pattern that does not fit must never be cut short: listing a
    // shorter path would measure some other directory.
    if (len + sizeof kAll > sizeof pattern)
        return LISTING_FAILED;
    memcpy(pattern, scanPath, len);
    memcpy(pattern + len, kAll, sizeof kAll);
    d->pathLen = len;
    d->pending = 0;
    d->find = NULL;
    HANDLE find = FindFirstFileA(pattern, &d->data);
    if (find == INVALID_HANDLE_VALUE) {
        // Only a drive's root can be empty of even "." and "..".
        if (len == 0 && GetLastError() == ERROR_FILE_NOT_FOUND)
            return LISTING_OK;
        return LISTING_FAILED;
    }
    d->find = find;
    d->pending = 1;
    return LISTING_OK;
}

int ListOpenCurrent(ListDir* d)
{
    scanPath[0] = '\0';
    return OpenAt(d, 0);
}

int ListOpenSub(ListDir* parent, const char* name, ListDir* d)
{
    size_t nameLen = strlen(name);
    size_t len = parent->pathLen + nameLen + 1;
    if (len >= sizeof scanPath)
        return LISTING_FAILED;
    memcpy(scanPath + parent->pathLen, name, nameLen);
    scanPath[len - 1] = '\\';
    scanPath[len] = '\0';
    return OpenAt(d, len);
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

void ListClose(ListDir* d)
{
    if (d->find != NULL)
        FindClose(d->find);
    d->find = NULL;
    d->pending = 0;
}
