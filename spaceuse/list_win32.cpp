// Directory listing on Windows, through the wide find-file services.
//
// Each open record keeps the long (\\?\) absolute path of its directory,
// closed by a backslash, so that a subdirectory can be opened from any
// thread while its parent's listing goes on, at any depth and whatever the
// process's current directory. Names are handed out in UTF-8. A volume
// mounted in a folder is a reparse point there, and is never entered.

#include "list.h"

#include <stdlib.h>
#include <string.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "sysdep.h"
#include "sysdep_win32.h"
#include "widetext.h"

// A name of the listing (at most MAX_PATH - 1 units) in UTF-8.
#define NAME_UTF8_SIZE (3 * MAX_PATH + 1)

struct ListDir {
    HANDLE find;  // NULL while closed
    WIN32_FIND_DATAW data;
    int pending;    // `data` holds an entry not yet handed out
    WideChar* path; // this directory's long path and '\' while open; a heap block
    size_t pathLen; // units of `path`, without the terminator
    char name[NAME_UTF8_SIZE];
};

void ListInit(void)
{
}

ListDir* ListNew(void)
{
    return (ListDir*)calloc(1, sizeof(ListDir));
}

// d->path becomes `dirLen` units of `dir`, then `name` (`nameLen` units),
// closed by a backslash, with room for the listing's "*". 0, or -1 when out
// of memory.
static int SetPath(ListDir* d, const WideChar* dir, size_t dirLen, const WideChar* name,
                   size_t nameLen)
{
    size_t len = dirLen + nameLen;
    WideChar* p = (WideChar*)malloc((len + 3) * sizeof(WideChar));
    if (p == NULL)
        return -1;
    memcpy(p, dir, dirLen * sizeof(WideChar));
    memcpy(p + dirLen, name, nameLen * sizeof(WideChar));
    if (len == 0 || p[len - 1] != L'\\')
        p[len++] = L'\\';
    p[len] = 0;
    free(d->path);
    d->path = p;
    d->pathLen = len;
    return 0;
}

static void DropPath(ListDir* d)
{
    free(d->path);
    d->path = NULL;
    d->pathLen = 0;
}

// Opens the listing of the directory d->path names. `top`: the scanned
// directory itself, which may be a drive's root, empty of even "." and "..".
static int OpenAt(ListDir* d, int top)
{
    d->pending = 0;
    d->find = NULL;
    d->path[d->pathLen] = L'*';
    d->path[d->pathLen + 1] = 0;
    // The basic information leaves out the short names, which are never
    // used; the large fetch asks for more entries per call.
    HANDLE find = FindFirstFileExW(d->path, FindExInfoBasic, &d->data, FindExSearchNameMatch,
                                   NULL, FIND_FIRST_EX_LARGE_FETCH);
    d->path[d->pathLen] = 0;
    if (find == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        DropPath(d);
        if (top && err == ERROR_FILE_NOT_FOUND)
            return LISTING_OK;
        return err == ERROR_TOO_MANY_OPEN_FILES ? LISTING_NO_FD : LISTING_FAILED;
    }
    d->find = find;
    d->pending = 1;
    return LISTING_OK;
}

int ListOpenCurrent(ListDir* d)
{
    d->find = NULL;
    WideChar* dir = WinCurrentDirLong();
    if (dir == NULL)
        return LISTING_FAILED;
    int r = SetPath(d, dir, wcslen(dir), L"", 0);
    free(dir);
    return r == 0 ? OpenAt(d, 1) : LISTING_FAILED;
}

int ListOpenSub(ListDir* parent, const char* name, ListDir* d)
{
    WideChar wide[MAX_PATH];
    size_t units = WideFromUtf8(name, strlen(name), wide, MAX_PATH);
    d->find = NULL;
    if (units >= MAX_PATH || parent->path == NULL ||
        SetPath(d, parent->path, parent->pathLen, wide, units) != 0)
        return LISTING_FAILED;
    return OpenAt(d, 0);
}

int ListNext(ListDir* d, ListEntry* e)
{
    if (d->find == NULL)
        return LISTING_END;
    if (!d->pending) {
        if (!FindNextFileW(d->find, &d->data))
            return GetLastError() == ERROR_NO_MORE_FILES ? LISTING_END : LISTING_ERROR;
    }
    d->pending = 0;
    DWORD attr = d->data.dwFileAttributes;
    // A name of the listing always fits: three bytes at most for each unit.
    Utf8FromWide(d->data.cFileName, wcslen(d->data.cFileName), d->name, sizeof d->name);
    e->name = d->name;
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
    DropPath(d);
}
