// The directory scan and the report lines.
#ifndef SPACEUSE_SCAN_H
#define SPACEUSE_SCAN_H

#include <stddef.h>
#include <stdint.h>

#include "options.h"
#include "volume.h"

// Everything below a directory, at every depth, not the directory itself.
typedef struct UsageTotals {
    uint32_t files;
    uint32_t dirs;
    uint64_t clusters;
} UsageTotals;

typedef struct ScanContext {
    int32_t depth;  // 0 while the scanned directory itself is listed
    const ReportOptions* options;
    // The scanned directory as the report names it; error lines about its
    // subdirectories name them below it.
    const char* rootPath;
    // Directories (the scanned one or any below it) that could not be read
    // in full during this context's scans.
    unsigned failures;
    // The cause of a shortage of descriptors, or of memory, has been told
    // for this path.
    int noDescriptorTold;
    int noMemoryTold;
    // Why the scanned directory itself could not be listed (a LISTING_*
    // result), when ScanDirectory returns false.
    int topResult;
} ScanContext;

// Scans the current directory and everything below it, adding to `totals`
// and printing a line per subdirectory as the options ask. `filter` is read
// only when options->hasFilter is set. False when the current directory
// cannot be listed (nothing is then added).
bool ScanDirectory(const char* filter, UsageTotals* totals, ScanContext* ctx,
                   const DriveInfo* info);

// Writes one report line. `name` is a writable PATH_BUF_SIZE text; when it is
// empty and the Path column is on, it is first filled with the full path of
// the current directory.
void PrintUsageLine(char* name, const UsageTotals* totals, const ScanContext* ctx,
                    const DriveInfo* info);

// Clusters that a file of `size` bytes takes: at least one, even when empty.
uint64_t ClustersForSize(uint64_t size, unsigned clusterShift);

// The numeric columns of a report line, from its leading carriage return up
// to where the indentation begins. Returns the length written (always
// terminated, cut at `size`).
size_t FormatUsageFields(char* buf, size_t size, const UsageTotals* totals,
                         const ScanContext* ctx, const DriveInfo* info);

// Two spaces per level of `depth`, at most 80.
const char* UsageIndent(int32_t depth);

// The line that tells why directories could not be read, after their
// error lines, once per path: a shortage of descriptors or of memory
// (LISTING_NO_FD, LISTING_NO_MEMORY); nothing for any other result.
void ReportCause(ScanContext* ctx, int result);

// Frees the per-level listing records kept between scans.
void ScanRelease(void);

#endif
