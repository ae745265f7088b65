// The report for each path of the command line.
#ifndef SPACEUSE_REPORT_H
#define SPACEUSE_REPORT_H

#include <stddef.h>

// Reports every path of pathList in turn; a path that fails is reported on
// standard error and skipped. Returns the program's exit status: 0 when
// every path and every directory below it was read, 1 otherwise.
int RunReport(void);

// Splits a wildcard filter off `path`: when the path holds a '*' or '?'
// anywhere, its last component (after the last separator) goes into
// `filter` and is cut from the path, which then ends with a separator or is
// empty; returns 1. Otherwise empties `filter` and returns 0.
int SplitFilter(char* path, char* filter, size_t filterSize);

#endif
