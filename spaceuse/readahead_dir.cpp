// The listing of one directory for the read-ahead (readahead_dir.h): read
// into its record's buffer by the thread that claimed it, without the lock,
// or by the walk straight from the system past what the buffer holds.
#include "readahead_dir.h"

#include <stdlib.h>
#include <string.h>

#include "text.h"

int Wanted(const char* name)
{
    return !scanFilter || MatchPattern(scanFilter, name) == MATCH_OK;
}

// Room for `need` more bytes in d's buffer. The walk's own directories are
// bounded by AHEAD_DIR_MAX alone; those read ahead by the budget as well.
// The walk may take `d` while it is being read: from then on it is not
// charged.
static int Grow(AheadDir* d, size_t need)
{
    size_t want = d->used + need;
    if (want > AHEAD_DIR_MAX)
        return 0;
    size_t cap = d->cap ? d->cap : 512;
    while (cap < want)
        cap *= 2;
    if (cap > AHEAD_DIR_MAX)
        cap = AHEAD_DIR_MAX;
    size_t more = cap - d->cap;
    {
        std::lock_guard<std::mutex> g(aheadLock);
        if (!d->taken) {
            if (bufferBytes + more > AHEAD_BUDGET)
                return 0;
            bufferBytes += more;
            d->charged += more;
        }
    }
    char* grown = (char*)realloc(d->buf, cap);
    if (!grown) {
        std::lock_guard<std::mutex> g(aheadLock);
        more = more < d->charged ? more : d->charged;
        bufferBytes -= more;
        d->charged -= more;
        return 0;
    }
    d->buf = grown;
    d->cap = cap;
    return 1;
}

// Reads the listing into the buffer, with the sizes of the wanted files,
// until it ends or the buffer may grow no more.
static void FillDir(AheadDir* d)
{
    for (;;) {
        ListEntry e = {};
        int r = ListNext(d->dir, &e);
        if (r != LISTING_ENTRY) {
            d->endResult = r;
            d->complete = 1;
            break;
        }
        if (IsDotName(e.name))
            continue;
        size_t len = strlen(e.name);
        size_t need = RecSize(len);
        if (d->cap - d->used < need && !Grow(d, need)) {
            // The walk takes it from here, this entry first.
            d->pendingEntry = e;
            d->pending = 1;
            break;
        }
        AheadRec* rec = RecAt(d, d->used);
        rec->size = 0;
        rec->child = NULL;
        rec->len = (uint32_t)need;
        rec->flags = (uint8_t)((e.isDir ? REC_DIR : 0) | (e.isLink ? REC_LINK : 0));
        rec->sizeResult = LISTING_OK;
        if (!e.isDir && Wanted(e.name)) {
            rec->flags |= REC_WANTED;
            rec->sizeResult = (int8_t)ListEntrySize(d->dir, &e);
            rec->size = e.size;
        }
        rec->ino = e.ino;
        rec->nlink = e.nlink;
        memcpy((char*)(rec + 1), e.name, len + 1);
        d->used += need;
        if (Enterable(rec))
            d->unopened++;
    }
    if (d->complete && d->unopened == 0) {
        ListClose(d->dir);
        d->dirOpen = 0;
    }
}

// One of the subdirectories in p's buffer has been opened (or never will
// be): p's listing is closed once it needs to open no more.
static void OpenedOne(AheadDir* p)
{
    std::lock_guard<std::mutex> g(aheadLock);
    if (--p->unopened == 0 && p->complete && p->dirOpen) {
        ListClose(p->dir);
        p->dirOpen = 0;
    }
}

// Opens and lists `d`, named `name` in its parent. A shortage of
// descriptors is final only for the walk (`final`): a reader's attempt
// leaves the parent open for the walk to try again.
void ReadDir(AheadDir* d, const char* name, int final)
{
    AheadDir* p = d->parent;
    int rc = p ? ListOpenSub(p->dir, name, d->dir) : ListOpenCurrent(d->dir);
    if (d->rec && (rc != LISTING_NO_FD || final))
        OpenedOne(p);
    d->openResult = rc;
    d->complete = rc != LISTING_OK;  // a retry starts from here too
    if (rc != LISTING_OK)
        return;
    d->dirOpen = 1;
    FillDir(d);
}

void FillEntry(AheadEntry* e, const AheadRec* r)
{
    e->name = RecName(r);
    e->size = r->size;
    e->isDir = (r->flags & REC_DIR) ? 1 : 0;
    e->isLink = (r->flags & REC_LINK) ? 1 : 0;
    e->wanted = (r->flags & REC_WANTED) ? 1 : 0;
    e->sizeResult = r->sizeResult;
    e->ino = r->ino;
    e->nlink = r->nlink;
    e->slot = (void*)r;
}

// Past what the buffer holds: straight from the system, as the walk would
// read any directory.
int NextDirect(AheadDir* d, AheadEntry* e)
{
    ListEntry le = {};
    for (;;) {
        int r = LISTING_ENTRY;
        if (d->pending)
            le = d->pendingEntry;
        else
            r = ListNext(d->dir, &le);
        d->pending = 0;
        if (r != LISTING_ENTRY)
            return r;
        if (!IsDotName(le.name))
            break;
    }
    e->name = le.name;
    e->isDir = le.isDir;
    e->isLink = le.isLink;
    e->wanted = !le.isDir && Wanted(le.name);
    e->sizeResult = e->wanted ? ListEntrySize(d->dir, &le) : LISTING_OK;
    e->size = le.size;
    e->ino = le.ino;
    e->nlink = le.nlink;
    e->slot = NULL;
    return LISTING_ENTRY;
}

