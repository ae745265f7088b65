// Read-ahead for the scan: directories listed, and the sizes of their files
// taken, before the walk reaches them.
//
// The walk stays one sequential walk in the listing's order and alone
// writes the report; a few reader threads list the directories it will
// enter next (in the order it will enter them, within a bounded window) and
// the walk takes each listing as it arrives, or lists a directory itself
// when no reader has. A directory's listing, its entries' sizes and every
// failure are recorded, so the walk meets them at the place and in the
// order it would have met them reading the directory itself.
#ifndef SPACEUSE_READAHEAD_H
#define SPACEUSE_READAHEAD_H

#include <stdint.h>

#include "list.h"

typedef struct AheadDir AheadDir;

typedef struct AheadEntry {
    const char* name;  // valid until the next AheadNext on its directory
    uint64_t size;     // bytes, for a wanted file whose sizeResult is LISTING_OK
    int isDir;
    int isLink;
    int wanted;      // a file that the filter takes (every file without one)
    int sizeResult;  // wanted files: LISTING_OK, LISTING_GONE or LISTING_FAILED
    uint64_t ino;    // as the listing gives them (ListEntry)
    uint32_t nlink;
    void* slot;      // where the listing of this subdirectory is kept
} AheadEntry;

// Lists the current directory, the top of a walk, and starts the readers
// (none with one processor, or where no thread can start). `filter` (NULL for
// none) decides which files are wanted; only their sizes are read.
// LISTING_OK with *top set, or the failure to open it.
int AheadBegin(const char* filter, AheadDir** top);
// The next entry of `d`: LISTING_ENTRY, LISTING_END or LISTING_ERROR (the
// listing broke off; the entries before it stand). "." and ".." are skipped.
int AheadNext(AheadDir* d, AheadEntry* e);
// The listing of the subdirectory `e` just returned by AheadNext on
// `parent`: LISTING_OK with *child set, or the reason it cannot be entered
// (LISTING_FAILED, LISTING_GONE, LISTING_OTHER_FS, LISTING_NO_FD).
int AheadEnter(AheadDir* parent, const AheadEntry* e, AheadDir** child);
// The device and file number of the directory `d` lists (ListId).
void AheadId(const AheadDir* d, uint64_t* dev, uint64_t* ino);
// The walk is done with `d` and everything below it.
void AheadLeave(AheadDir* d);
// After the walk (or when AheadBegin failed): stops the readers.
void AheadEnd(void);
// Frees the records kept between scans.
void AheadRelease(void);

#endif
