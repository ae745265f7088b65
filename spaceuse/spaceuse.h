// Types and routines shared by the modules of spaceuse.
#ifndef SPACEUSE_H
#define SPACEUSE_H

#include <stddef.h>
#include <stdint.h>

#include "sysdep.h"

// ---- platform conventions ---------------------------------------------------

#ifdef _WIN32
#define SWITCH_CHAR '/'
#define PATH_SEP '\\'
#else
// On POSIX an argument beginning with '/' is an absolute path.
#define SWITCH_CHAR '-'
#define PATH_SEP '/'
#endif

#define PATH_BUF_SIZE 512
#define PROGNAME_SIZE 1024
#define MAX_PATHS 10

// ---- options (command line) -------------------------------------------------

#define MODE_NORMAL 0
#define MODE_QUICK 1
#define MODE_SILENT 2

typedef struct ReportOptions {
    unsigned mode : 2;
    unsigned hasFilter : 1;
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
} ReportOptions;

extern ReportOptions reportOptions;
extern char progName[PROGNAME_SIZE];
extern char pathList[MAX_PATHS][PATH_BUF_SIZE];
extern unsigned pathCount;
extern uint32_t fakeClusterSize;  // bytes, read when fakeCluster is set
extern OsVersion osVersion;       // filled once at start

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

// ---- text utilities ---------------------------------------------------------

#define GROUPED_BUF_SIZE 28

#define MATCH_OK 0
#define MATCH_NAME_LEFT 2
#define MATCH_PATTERN_LEFT 3
#define MATCH_CHAR 4

char* FormatGrouped(uint64_t value, char sep, int group, char* buf);
uint8_t MatchPattern(const char* pattern, const char* name);
char* UpperName(char* text);

// ---- volume information -----------------------------------------------------

typedef struct DriveInfo {
    char letter;                    // Windows: the drive letter, upper case
    char driveName[PATH_BUF_SIZE];  // as the header names it: "C" or a mount point
    char volumeName[PATH_BUF_SIZE];
    char fsName[16];
    uint32_t clusterSize;
    uint8_t clusterShift;
    uint64_t freeBytes;
    uint64_t totalBytes;
    uint32_t serialNumber;
} DriveInfo;

extern DriveInfo driveInfo;

// Fills `info` for the volume of drive `letter` (Windows) or of the current
// directory (POSIX, where `letter` is not used): 0, or 1 when the space query
// failed.
int ReadDriveInfo(char letter, DriveInfo* info);
uint8_t Log2Floor(uint64_t value);
void PrintDriveInfo(const DriveInfo* info, const ReportOptions* options);
// The two header lines into `buf` (always terminated); the length they need.
size_t FormatDriveInfo(const DriveInfo* info, const ReportOptions* options,
                       char* buf, size_t size);
#define DRIVE_INFO_BUF_SIZE 1536

#endif
