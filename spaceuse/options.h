// The command line: the option record, the program's name, the paths, the
// banner and hint texts, the version query and the console abort hook.
#ifndef SPACEUSE_OPTIONS_H
#define SPACEUSE_OPTIONS_H

#include <stddef.h>
#include <stdint.h>

#include "sysdep.h"

#define PROGNAME_SIZE 1024
#define PROGRAM_VERSION "2.0.7"
#define MAX_PATHS 10

#define MODE_NORMAL 0
#define MODE_QUICK 1
#define MODE_SILENT 2

typedef struct ReportOptions {
    unsigned mode : 2;
    unsigned hasFilter : 1;  // set only in a path's own copy (report.h)
    unsigned fakeCluster : 1;
    unsigned showDirs : 1;
    unsigned showFiles : 1;
    unsigned showBytes : 1;
    unsigned showPath : 1;
    unsigned showDiskInfo : 1;
    unsigned inClusters : 1;
    unsigned inKilo : 1;
    unsigned dirCluster : 1;
    unsigned toFile : 1;
    unsigned recursive : 1;
    unsigned showHeader : 1;
    unsigned biggestFirst : 1;  // S: subdirectory lines by usage, largest first
} ReportOptions;

// What the command line set, filled by ParseArguments and read-only after.
extern ReportOptions reportOptions;
extern char progName[PROGNAME_SIZE];
extern char pathList[MAX_PATHS][PATH_BUF_SIZE];
extern unsigned pathCount;
extern uint32_t fakeClusterSize;  // bytes, read when fakeCluster is set
// The files that --export and --treemap name (arguments of the command
// line); NULL when not asked for.
extern const char* exportFile;
extern const char* treemapFile;

// ParseArguments' result when the report is to run; any other result is
// the exit status the program ends with (its messages already written).
#define ARGS_CONTINUE (-1)

// Initial values of the record; `toFile` as found for standard output.
void InitReportOptions(ReportOptions* options, int toFile);
// progName from the program path: last component, cut at its last ".",
// upper-cased. A null or empty path gives "SPACEUSE".
void BuildProgName(const char* programPath);
// Reads the switches and paths after argv[0] into reportOptions,
// fakeClusterSize, pathList and pathCount (which it resets first; the
// options keep the `toFile` they were initialised with). Stores one empty
// path when none was given and applies the column selection.
int ParseArguments(int argc, char* const* argv);
int GetOsVersion(OsVersion* record);
void PrintBanner(void);  // banner and help text to standard output
void PrintHint(void);    // "Type '%s -?' ..." to standard output
// The abort line and reason for ABORT_REASON_*; the length written.
size_t BuildAbortText(int reason, char* buf, size_t size);
// Builds the abort texts from progName and registers the console abort
// hook; a report cut short ends with status 1. 0 or -1.
int InstallAbortHandler(void);

#endif
