// The records of the read-ahead (readahead.cpp) and the listing of one
// directory into them (readahead_dir.cpp): private to those two files.
#ifndef SPACEUSE_READAHEAD_DIR_H
#define SPACEUSE_READAHEAD_DIR_H

#include <stddef.h>
#include <stdint.h>

#include <mutex>

#include "list.h"
#include "readahead.h"

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

// Shared with the readers and guarded by aheadLock (readahead.cpp).
extern std::mutex aheadLock;
extern size_t bufferBytes;
extern const char* scanFilter;  // set before the readers start

inline size_t RecSize(size_t nameLen)
{
    return (sizeof(AheadRec) + nameLen + 1 + 7) & ~(size_t)7;
}

inline AheadRec* RecAt(AheadDir* d, size_t pos)
{
    return (AheadRec*)(void*)(d->buf + pos);
}

inline const char* RecName(const AheadRec* r)
{
    return (const char*)(r + 1);
}

inline int Enterable(const AheadRec* r)
{
    return (r->flags & (REC_DIR | REC_LINK)) == REC_DIR;
}

inline int IsDotName(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// A file the filter takes (every file without one).
int Wanted(const char* name);

// Opens and lists `d`, named `name` in its parent (readahead_dir.cpp). A
// shortage of descriptors is final only for the walk (`final`): a reader's
// attempt leaves the parent open for the walk to try again.
void ReadDir(AheadDir* d, const char* name, int final);
// The walk's next entry of `d` from its buffer, or straight from the
// listing past what the buffer holds (AheadNext without its end).
void FillEntry(AheadEntry* e, const AheadRec* r);
int NextDirect(AheadDir* d, AheadEntry* e);

#endif
