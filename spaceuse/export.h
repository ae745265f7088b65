// The scan in ncdu's JSON export format (--export <file>), written while
// the walk goes, with no tree held in memory:
//
//   [1, 2, {metadata}, <root directory>]
//
// where a directory is an array whose first element is its own object and
// whose further elements are its entries (arrays for subdirectories,
// objects for everything else). Names are the file system's bytes, JSON
// escaped and never re-encoded; `dsize` is the usage as the report counts
// it, so the totals equal the report's bytes. The file is written as
// <file>.part and takes its name only once it is complete.
//
// With one path the root is that path's directory. With several, the root
// is a directory of no size named after the run, holding each path that
// was scanned as a subdirectory named by its full path.
#ifndef SPACEUSE_EXPORT_H
#define SPACEUSE_EXPORT_H

#include <stddef.h>
#include <stdint.h>

#define EXPORT_READ_ERROR 1  // a directory that could not be read, a file whose size could not
#define EXPORT_OTHER_FS 2    // a mount point, counted where it stands and not entered

typedef struct ExportItem {
    const char* name;
    uint64_t asize;  // bytes: a file's length; 0 for a directory
    uint64_t dsize;  // bytes of usage: a directory's own cluster, not its contents
    uint64_t dev;    // 0 where unknown (a file's is its directory's)
    uint64_t ino;    // 0 where unknown
    uint32_t nlink;  // a file's names; above 1 marks a hard link
    int flags;       // EXPORT_*
} ExportItem;

// Creates <file>.part for a run of `paths` paths and writes the head. 0, or
// 1 with the error line written.
int ExportOpen(const char* file, unsigned paths);
// Whether an export is being written.
int ExportActive(void);
// A directory entered (`isRoot`: the path's own); its entries follow until
// ExportDirEnd.
void ExportDirBegin(const ExportItem* dir, int isRoot);
void ExportDirEnd(void);
// A directory that is not entered: unreadable, gone, another file system,
// or a link to a directory.
void ExportLeafDir(const ExportItem* dir, int isRoot);
void ExportFile(const ExportItem* file);
// Completes the export and gives it its name; with `abandon` (or when the
// run exported no path) removes it instead. 0, or 1 with the error line
// written when it could not be written in full.
int ExportClose(int abandon);

// The JSON text of `name` between quotes, into `buf` (always terminated;
// EXPORT_NAME_SIZE holds any name of 1023 bytes; a longer one is cut).
// Returns the length.
#define EXPORT_NAME_SIZE (6 * 1024 + 3)
size_t ExportQuote(const char* name, char* buf, size_t size);

#endif
