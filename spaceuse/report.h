// The report for each path of the command line.
#ifndef SPACEUSE_REPORT_H
#define SPACEUSE_REPORT_H

#include <stdint.h>

#include "options.h"
#include "sysdep.h"
#include "volume.h"

// The run: what the command line set, read by every path and written by
// none, and the one rule a path hands on to the paths after it.
typedef struct ReportRun {
    const ReportOptions* options;
    uint32_t fakeClusterSize;      // bytes, read when options->fakeCluster is set
    char (*paths)[PATH_BUF_SIZE];  // each rewritten in place as it is resolved
    unsigned pathCount;
    const char* exportFile;   // --export, or NULL
    const char* treemapFile;  // --treemap, or NULL
    // Once a path lies on an NTFS volume, directories take no cluster of
    // their own for the rest of the run.
    int ntfsMet;
} ReportRun;

// One path's report, made afresh for each path: nothing a path finds out
// about itself (its filter, its volume, its cluster size) reaches the next.
typedef struct PathReport {
    char* path;                  // the run's entry, resolved in place
    ReportOptions options;       // the run's, with this path's hasFilter and dirCluster
    char filter[PATH_BUF_SIZE];  // the wildcard filter; empty unless hasFilter
    char drive;                  // upper-case letter; 0 where there is none
    DriveInfo driveInfo;         // the volume, its cluster size a power of two
} PathReport;

// Reports every path of the run in turn; a path that fails is reported on
// standard error and skipped. Returns the program's exit status: 0 when
// every path and every directory below it was read, 1 otherwise. Stops
// after the path during which standard output failed.
int RunReport(ReportRun* run);

// 0 while everything written to standard output has gone out; otherwise
// the error number of the failed write, kept from the first time it is
// seen. With `flush` whatever is still buffered is written first.
int StdoutError(int flush);

// A fresh report for `path`, with the run's options as they stand now.
void BeginPathReport(PathReport* pr, const ReportRun* run, char* path);
// Once the volume is read into pr->driveInfo: the cluster size the scan
// counts in, a power of two (from the substitute size when one was given),
// and the NTFS rule.
void SettleClusters(PathReport* pr, ReportRun* run);

#endif
