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
// below that directory, however deep it goes. A listing is closed once read in full and each of its
// subdirectories opened, so a chain of directories holds a few descriptors
// however deep it goes. Records and buffers are reused until AheadRelease.
#include "readahead.h"

#include <stdlib.h>
#include <string.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "sysdep.h"
#include "text.h"

#define AHEAD_MAX_READERS 16
#define AHEAD_READERS_PER_CPU 4   // the disk answers faster with more requests in flight
#define AHEAD_WINDOW 64           // directories claimed ahead of the walk
#define AHEAD_BUDGET (4u << 20)   // bytes of listings buffered for them
#define AHEAD_DIR_MAX (256u << 10)
#define AHEAD_KEEP (16u << 10)    // a record going back to the pool keeps this much

#define AHEAD_CLAIMED 0  // being opened and listed
#define AHEAD_READY 1

// One entry of a buffered listing. Its name follows, NUL-terminated; the
// whole record is padded to 8 bytes.
typedef struct AheadRec {
    uint64_t size;
    uint64_t ino;
    AheadDir* child;  // set once this subdirectory is claimed
    uint32_t nlink;
    uint32_t len;     // bytes of the whole record
    uint8_t flags;
    int8_t sizeResult;
} AheadRec;

#define REC_DIR 1
#define REC_LINK 2
#define REC_WANTED 4

struct AheadDir {
    ListDir* dir;
    int dirOpen;
    AheadDir* parent;
    AheadRec* rec;  // the parent's record of it; NULL at the top and for an
                    // entry the walk read straight from its parent's listing
    char* buf;
    size_t used, cap;
    size_t readPos;     // the walk's place in buf
    size_t claimPos;    // every subdirectory in buf before it is claimed
    unsigned unopened;  // subdirectories in buf not opened yet
    int state;
    int byWalk;  // claimed by the walk: never counted in the window
    int taken;   // handed to the walk
    size_t charged;  // bytes of buf charged to the budget, until taken
    int openResult;
    int complete;   // the whole listing is in buf
    int endResult;  // how it ended, once complete
    int pending;    // not complete: pendingEntry was read but not stored
    ListEntry pendingEntry;
    AheadDir *liveHead, *liveTail;  // claimed subdirectories that may hold work
    AheadDir *livePrev, *liveNext;
    int linked;  // in its parent's list
    AheadDir* nextFree;
    AheadDir* nextAll;
};

// Everything below is shared with the readers and guarded by aheadLock,
// except a record being listed, which belongs to the thread that claimed it
// until it is marked ready.
static std::mutex aheadLock;
static std::condition_variable workCv;  // readers wait for work
static std::condition_variable walkCv;  // the walk waits for walkWaitsFor
static std::thread readers[AHEAD_MAX_READERS];
static int readerCount;
static int stopping;
static int idleReaders;
static unsigned aheadCount;  // claimed by readers, not yet taken by the walk
static size_t bufferBytes;  // charged to the budget: listings read ahead, not yet taken
static AheadDir* topDir;
static AheadDir* walkWaitsFor;
static AheadDir* freeDirs;
static AheadDir* allDirs;
static const char* scanFilter;  // set before the readers start

static size_t RecSize(size_t nameLen)
{
    return (sizeof(AheadRec) + nameLen + 1 + 7) & ~(size_t)7;
}

static AheadRec* RecAt(AheadDir* d, size_t pos)
{
    return (AheadRec*)(void*)(d->buf + pos);
}

static const char* RecName(const AheadRec* r)
{
    return (const char*)(r + 1);
}

static int Enterable(const AheadRec* r)
{
    return (r->flags & (REC_DIR | REC_LINK)) == REC_DIR;
}

static int IsDotName(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

static int Wanted(const char* name)
{
    return !scanFilter || MatchPattern(scanFilter, name) == MATCH_OK;
}

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

static void MarkReady(AheadDir* d)
{
    d->state = AHEAD_READY;
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

// The first directory in the walk's order that nobody has claimed, claimed
// now; NULL when there is none or the window is full. Depth first over the
// records that may still hold work: below each ready subdirectory before
// the next entry of its parent. A subtree found to hold no more work is
// dropped from its parent's list, so the search stays short.
static AheadDir* FindWork(void)
{
    if (!topDir || stopping || aheadCount >= AHEAD_WINDOW)
        return NULL;
    AheadDir* n = topDir;
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
        if (n == topDir)
            return NULL;
        AheadDir* up = n->parent;
        c = n->liveNext;
        if (n->complete && !n->liveHead)
            UnlinkLive(n);
        n = up;
    }
}

// ---- listing a directory (the claiming thread, without the lock) -------------

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
static void ReadDir(AheadDir* d, const char* name, int final)
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
    topDir = d;
    *top = d;
    if (d->unopened > 0 || !d->complete)
        StartReaders();
    return LISTING_OK;
}

static void FillEntry(AheadEntry* e, const AheadRec* r)
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
static int NextDirect(AheadDir* d, AheadEntry* e)
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
    *child = c;
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
    ReleaseDir(d);
}

void AheadEnd(void)
{
    {
        std::lock_guard<std::mutex> g(aheadLock);
        stopping = 1;
        topDir = NULL;
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
