// Directory listing for the scan: one open listing per directory.
//
// A listing is opened either on the current directory or on a subdirectory
// of an open listing, by name, so the walk never has to build a full path.
// A child may outlive its parent's listing: once opened it needs nothing of
// the parent. Different listings may be used from different threads at the
// same time, and several threads may open subdirectories of one listing at
// once; one listing is read by one thread at a time.
#ifndef SPACEUSE_LIST_H
#define SPACEUSE_LIST_H

#include <stddef.h>
#include <stdint.h>

// Results of ListOpenCurrent / ListOpenSub / ListEntrySize.
#define LISTING_OK 0
#define LISTING_FAILED (-1)    // the directory exists but cannot be listed (or read)
#define LISTING_GONE (-2)      // the entry vanished (or stopped being a directory)
#define LISTING_OTHER_FS (-3)  // a subdirectory that is another file system's root
#define LISTING_NO_FD (-4)     // no descriptor left to open it with (a retry may work)
#define LISTING_NO_MEMORY (-5) // no memory left for its listing

// Results of ListNext.
#define LISTING_ENTRY 1
#define LISTING_END 0
#define LISTING_ERROR (-1)  // reading the listing failed; what came before stands

typedef struct ListDir ListDir;

typedef struct ListEntry {
    const char* name;  // valid until the next ListNext or ListClose on its listing
    uint64_t size;     // bytes; 0 for directories
    int isDir;
    int isLink;     // a symbolic link, junction or other reparse point: never entered
    int sizeKnown;  // `size` is filled; otherwise ask ListEntrySize when it is wanted
    uint64_t ino;    // the file's number where the system has one, else 0
    uint32_t nlink;  // its names (hard links) once its size is read, else 0
} ListEntry;

// Prepares the process for deep walks (on POSIX: raises the open-descriptor
// soft limit to the hard one, since open listings hold descriptors).
void ListInit(void);

// A listing record, reused for one directory after another; it starts
// closed. NULL when out of memory. Released with ListClose and free().
ListDir* ListNew(void);

int ListOpenCurrent(ListDir* d);
// Opens `name`, a subdirectory listed by `parent` (which must be open), as
// `d`. LISTING_OTHER_FS when it lies on another device than `parent`: a
// mount point, counted where it stands and never entered.
int ListOpenSub(ListDir* parent, const char* name, ListDir* d);
int ListNext(ListDir* d, ListEntry* e);
// Fills in the size of a file entry just returned by ListNext, when the
// listing did not give it: LISTING_OK, LISTING_GONE (removed since it was
// listed) or LISTING_FAILED (it cannot be read). Names are often enough to
// skip an entry, and reading a size costs a call to the system.
int ListEntrySize(ListDir* d, ListEntry* e);
// The device and file number of the directory `d` was last opened on; both
// 0 where the system has none.
void ListId(const ListDir* d, uint64_t* dev, uint64_t* ino);
// Closes the listing; its record may be opened again.
void ListClose(ListDir* d);

#endif
