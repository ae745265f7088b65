// Read-ahead for the scan (readahead.h).
//
// Every directory of a walk gets a record (an AheadDir) while it is being
// listed or is still to be walked: its open listing, its entries packed in
// one buffer, and how opening and reading it went. Records form a tree that
// follows the directories; each keeps, in listing order, the claimed
// subdirectories below which there may still be work. A reader looks for
// the first unclaimed subdirectory in the walk's order (depth first, from
// the walk's place on), claims it, lists it without the lock and marks it
// ready. The walk takes the records in its own order, and while the one it
// needs is still being read it lists the next one itself rather than sleep.
//
// Bounds: AHEAD_WINDOW directories claimed ahead of the walk, AHEAD_BUDGET
// bytes of listings for them, AHEAD_DIR_MAX bytes for any one directory;
// the walk reads the rest of a listing that does not fit straight from the
// system. Only what lies ahead of the walk is charged to the budget: a
// listing the walk has taken is the walk's own, held for as long as it is
// below that directory. A listing is closed once read in full and each of
// its subdirectories opened, so a chain of directories holds a few
// descriptors however deep it goes. Records and buffers are reused until
// AheadRelease. The records and the listing of a directory are in
// readahead_dir.h and readahead_dir.cpp.
#include "readahead.h"

#include <stdlib.h>
#include <string.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "readahead_dir.h"
#include "sysdep.h"

// Everything below is shared with the readers and guarded by aheadLock,
// except a record being listed, which belongs to the thread that claimed it
// until it is marked ready.
std::mutex aheadLock;
static std::condition_variable workCv;  // readers wait for work
static std::condition_variable walkCv;  // the walk waits for walkWaitsFor
static std::thread readers[AHEAD_MAX_READERS];
static int readerCount;
static int stopping;
static int idleReaders;
static unsigned aheadCount;  // claimed by readers, not yet taken by the walk
size_t bufferBytes;  // charged to the budget: listings read ahead, not yet taken
static AheadDir* topDir;
static AheadDir* walkDir;  // the directory the walk is listing
static int workOutside;    // there may be work outside walkDir's subtree
static AheadDir* walkWaitsFor;
static AheadDir* freeDirs;
static AheadDir* allDirs;
const char* scanFilter;  // set before the readers start

// ---- records (aheadLock held) ------------------------------------------------

static void LinkLive(AheadDir* parent, AheadDir* d)
{
    d->livePrev = parent->liveTail;
    d->liveNext = NULL;
    if (parent->liveTail)
        parent->liveTail->liveNext = d;
    else
        parent->liveHead = d;
    parent->liveTail = d;
    d->linked = 1;
}

static void UnlinkLive(AheadDir* d)
{
    AheadDir* p = d->parent;
    if (d->livePrev)
        d->livePrev->liveNext = d->liveNext;
    else
        p->liveHead = d->liveNext;
    if (d->liveNext)
        d->liveNext->livePrev = d->livePrev;
    else
        p->liveTail = d->livePrev;
    d->livePrev = d->liveNext = NULL;
    d->linked = 0;
}

// A record for the subdirectory `rec` of `parent` (both NULL for the top),
// from the pool. NULL when out of memory.
static AheadDir* NewDir(AheadDir* parent, AheadRec* rec, int byWalk)
{
    AheadDir* d = freeDirs;
    if (d) {
        freeDirs = d->nextFree;
    } else {
        d = (AheadDir*)calloc(1, sizeof *d);
        if (!d)
            return NULL;
        d->dir = ListNew();
        if (!d->dir) {
            free(d);
            return NULL;
        }
        d->nextAll = allDirs;
        allDirs = d;
    }
    // The pool keeps the listing record, the buffer and the place in allDirs.
    ListDir* dir = d->dir;
    char* buf = d->buf;
    size_t cap = d->cap;
    AheadDir* nextAll = d->nextAll;
    memset(d, 0, sizeof *d);
    d->dir = dir;
    d->buf = buf;
    d->cap = cap;
    d->nextAll = nextAll;
    d->parent = parent;
    d->rec = rec;
    d->state = AHEAD_CLAIMED;
    d->byWalk = d->taken = byWalk;
    if (!byWalk) {
        d->charged = cap;
        bufferBytes += cap;
    }
    d->openResult = LISTING_FAILED;
    d->endResult = LISTING_END;
    if (rec)
        rec->child = d;
    if (parent)
        LinkLive(parent, d);
    return d;
}

// The walk takes `d`: its buffer is no longer charged to the budget.
static void Uncharge(AheadDir* d)
{
    bufferBytes -= d->charged;
    d->charged = 0;
}

static void ReleaseDir(AheadDir* d)
{
    if (d->linked)
        UnlinkLive(d);
    if (d->dirOpen)
        ListClose(d->dir);
    d->dirOpen = 0;
    Uncharge(d);
    if (d->cap > AHEAD_KEEP) {
        free(d->buf);
        d->buf = NULL;
        d->cap = 0;
    }
    d->nextFree = freeDirs;
    freeDirs = d;
}

// Whether `d` is `top` or lies below it.
static int Below(const AheadDir* d, const AheadDir* top)
{
    for (; d; d = d->parent) {
        if (d == top)
            return 1;
    }
    return 0;
}

static void MarkReady(AheadDir* d)
{
    d->state = AHEAD_READY;
    if (!Below(d, walkDir))
        workOutside = 1;
    if (walkWaitsFor == d)
        walkCv.notify_one();
    if (idleReaders > 0 && d->unopened > 0)
        workCv.notify_all();
}

// Claims the next unclaimed subdirectory listed in `n`, if any.
static AheadDir* ClaimNext(AheadDir* n)
{
    while (n->claimPos < n->used) {
        AheadRec* r = RecAt(n, n->claimPos);
        if (Enterable(r) && !r->child) {
            AheadDir* c = NewDir(n, r, 0);
            if (!c)
                return NULL;
            n->claimPos += r->len;
            aheadCount++;
            return c;
        }
        n->claimPos += r->len;
    }
    return NULL;
}

// The first directory below `start` in the walk's order that nobody has
// claimed, claimed now; NULL when there is none. Depth first over the
// records that may still hold work: below each ready subdirectory before
// the next entry of its parent. A subtree found to hold no more work is
// dropped from its parent's list, so the search stays short.
static AheadDir* FindWorkBelow(AheadDir* start)
{
    AheadDir* n = start;
    AheadDir* c = n->liveHead;
    for (;;) {
        while (c && c->state != AHEAD_READY)
            c = c->liveNext;  // its entries are not known yet
        if (c) {
            n = c;
            c = n->liveHead;
            continue;
        }
        AheadDir* w = ClaimNext(n);
        if (w)
            return w;
        if (n == start)
            return NULL;
        AheadDir* up = n->parent;
        c = n->liveNext;
        if (n->complete && !n->liveHead)
            UnlinkLive(n);
        n = up;
    }
}

// The first unclaimed directory in the walk's order, claimed now; NULL when
// there is none or the window is full. What lies below the directory the
// walk is in comes first in its order, and the search begins there; the
// search from the top, which passes every level the walk holds, is made
// only when a directory outside has been read since it last found nothing.
static AheadDir* FindWork(void)
{
    if (!topDir || stopping || aheadCount >= AHEAD_WINDOW)
        return NULL;
    AheadDir* w = walkDir && walkDir != topDir ? FindWorkBelow(walkDir) : NULL;
    if (!w && (workOutside || walkDir == topDir || !walkDir)) {
        w = FindWorkBelow(topDir);
        if (!w)
            workOutside = 0;
    }
    return w;
}

// ---- the readers ---------------------------------------------------------------

static void ReaderMain(void)
{
    std::unique_lock<std::mutex> g(aheadLock);
    while (!stopping) {
        AheadDir* w = FindWork();
        if (!w) {
            idleReaders++;
            workCv.wait(g);
            idleReaders--;
            continue;
        }
        g.unlock();
        ReadDir(w, RecName(w->rec), 0);
        g.lock();
        MarkReady(w);
    }
}

// With one processor the readers would only take turns with the walk; a
// thread that cannot start leaves the work to the ones that did, or to the
// walk alone.
static void StartReaders(void)
{
    int cpus = SysCpuCount();
    int want = cpus < 2 ? 0 : cpus * AHEAD_READERS_PER_CPU;
    if (want > AHEAD_MAX_READERS)
        want = AHEAD_MAX_READERS;
    readerCount = 0;
    for (int i = 0; i < want; i++) {
        try {
            readers[i] = std::thread(ReaderMain);
        } catch (const std::system_error&) {
            break;
        }
        readerCount++;
    }
}

// ---- the walk's side -----------------------------------------------------------

int AheadBegin(const char* filter, AheadDir** top)
{
    scanFilter = filter;
    stopping = 0;
    idleReaders = 0;
    aheadCount = 0;
    walkWaitsFor = NULL;
    AheadDir* d;
    {
        std::lock_guard<std::mutex> g(aheadLock);
        d = NewDir(NULL, NULL, 1);
    }
    if (!d)
        return LISTING_NO_MEMORY;
    ReadDir(d, NULL, 1);
    std::lock_guard<std::mutex> g(aheadLock);
    int rc = d->openResult;
    if (rc != LISTING_OK) {
        ReleaseDir(d);
        return rc;
    }
    d->state = AHEAD_READY;
    topDir = walkDir = d;
    workOutside = 1;
    *top = d;
    if (d->unopened > 0 || !d->complete)
        StartReaders();
    return LISTING_OK;
}

int AheadNext(AheadDir* d, AheadEntry* e)
{
    if (d->readPos < d->used) {
        AheadRec* r = RecAt(d, d->readPos);
        d->readPos += r->len;
        FillEntry(e, r);
        return LISTING_ENTRY;
    }
    if (d->complete)
        return d->endResult;
    return NextDirect(d, e);
}

// Until `c` is ready; meanwhile the walk lists what a reader would.
static void WaitReady(std::unique_lock<std::mutex>& g, AheadDir* c)
{
    while (c->state != AHEAD_READY) {
        AheadDir* w = FindWork();
        if (w) {
            g.unlock();
            ReadDir(w, RecName(w->rec), 0);
            g.lock();
            MarkReady(w);
            continue;
        }
        walkWaitsFor = c;
        walkCv.wait(g);
        walkWaitsFor = NULL;
    }
}

// The walk lists `c` itself, now.
static void ReadForWalk(std::unique_lock<std::mutex>& g, AheadDir* c, const char* name)
{
    c->state = AHEAD_CLAIMED;
    g.unlock();
    ReadDir(c, name, 1);
    g.lock();
    MarkReady(c);
}

int AheadEnter(AheadDir* parent, const AheadEntry* e, AheadDir** child)
{
    std::unique_lock<std::mutex> g(aheadLock);
    AheadRec* rec = (AheadRec*)e->slot;
    AheadDir* c = rec ? rec->child : NULL;
    *child = NULL;
    if (!c) {
        c = NewDir(parent, rec, 1);
        if (!c)
            return LISTING_NO_MEMORY;
        if (rec) {
            size_t after = (size_t)((char*)rec - parent->buf) + rec->len;
            if (parent->claimPos < after)
                parent->claimPos = after;
        }
        ReadForWalk(g, c, e->name);
    } else {
        if (!c->taken) {
            c->taken = 1;
            Uncharge(c);
            if (aheadCount-- == AHEAD_WINDOW && idleReaders > 0)
                workCv.notify_one();
        }
        WaitReady(g, c);
        if (c->openResult == LISTING_NO_FD)
            ReadForWalk(g, c, e->name);  // the readers' descriptors may be free by now
    }
    int rc = c->openResult;
    if (rc != LISTING_OK) {
        ReleaseDir(c);
        return rc;
    }
    *child = walkDir = c;
    return LISTING_OK;
}

void AheadId(const AheadDir* d, uint64_t* dev, uint64_t* ino)
{
    ListId(d->dir, dev, ino);
}

void AheadLeave(AheadDir* d)
{
    std::lock_guard<std::mutex> g(aheadLock);
    if (d == topDir)
        topDir = NULL;
    if (d == walkDir)
        walkDir = d->parent;
    ReleaseDir(d);
}

void AheadEnd(void)
{
    {
        std::lock_guard<std::mutex> g(aheadLock);
        stopping = 1;
        topDir = walkDir = NULL;
        workCv.notify_all();
    }
    for (int i = 0; i < readerCount; i++)
        readers[i].join();
    readerCount = 0;
}

void AheadRelease(void)
{
    std::lock_guard<std::mutex> g(aheadLock);
    while (allDirs) {
        AheadDir* d = allDirs;
        allDirs = d->nextAll;
        if (d->dirOpen)
            ListClose(d->dir);
        free(d->dir);
        free(d->buf);
        free(d);
    }
    freeDirs = NULL;
    bufferBytes = 0;
}
