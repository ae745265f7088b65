// The per-path report: resolve the path, read its volume, print the
// headers, scan the tree and print the total line.
#include "report.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "export.h"
#include "list.h"
#include "output.h"
#include "scan.h"
#include "sysdep.h"
#include "text.h"
#include "treemap.h"

static const char kDashLine[] =
    "--------------------------------------------------------------\n";

// Where the program was started: every argument is read against it.
static char startDrive;
static char startDir[PATH_BUF_SIZE];
static int haveStartDir;
static int movedAway;  // a path has changed the current drive or directory

// Splits a wildcard filter off `path`: when the path holds a '*' or '?'
// anywhere, its last component (after the last separator) goes into
// `filter` and is cut from the path, which then ends with a separator or is
// empty; returns 1. Otherwise empties `filter` and returns 0.
static int SplitFilter(char* path, char* filter, size_t filterSize)
{
    if (filterSize == 0)
        return 0;
    filter[0] = '\0';
    if (!strpbrk(path, "*?"))
        return 0;
    char* sep = strrchr(path, PATH_SEP);
    char* last = sep ? sep + 1 : path;
    snprintf(filter, filterSize, "%s", last);
    *last = '\0';
    return 1;
}

void BeginPathReport(PathReport* pr, const ReportRun* run, char* path)
{
    memset(pr, 0, sizeof *pr);
    pr->path = path;
    pr->options = *run->options;
    pr->options.hasFilter = 0;
    if (run->ntfsMet)
        pr->options.dirCluster = 0;
}

void SettleClusters(PathReport* pr, ReportRun* run)
{
    DriveInfo* info = &pr->driveInfo;
    if (pr->options.fakeCluster)
        info->clusterShift = Log2Floor(run->fakeClusterSize);
    if (info->clusterShift > 31)
        info->clusterShift = 31;
    info->clusterSize = (uint32_t)1 << info->clusterShift;
    if (strcmp(info->fsName, "NTFS") == 0)
        run->ntfsMet = 1;
    if (run->ntfsMet)
        pr->options.dirCluster = 0;
}

// Messages about a drive name it by letter on Windows; on POSIX by the
// mount point the volume query found, or by the path itself.
static const char* DriveLabel(const PathReport* pr)
{
    static char label[PATH_BUF_SIZE];
    if (pr->drive)
        snprintf(label, sizeof label, "%c", pr->drive);
    else if (pr->driveInfo.driveName[0])
        snprintf(label, sizeof label, "%s", pr->driveInfo.driveName);
    else
        snprintf(label, sizeof label, "%s", pr->path);
    return label;
}

// The error lines of a path are the system's own wording, kept letter for
// letter: "%c>" and "(unable to read diskinformation" with no closing
// parenthesis included.
#define DIR_ERROR "Error: could not access directory \"%s\", does it exist?\n"
#define DRIVE_MISSING_ERROR "Error: drive does not exist: %c>\n"
#define DRIVE_ACCESS_ERROR "Error: could not access drive %c:\n"
#define DISK_INFO_ERROR "Error: could not read disk information of drive %s\n"
#define DISK_INFO_UNREAD "(unable to read diskinformation of drive: %s\n"
#define SIZE_ERROR "Error: couldn't calculate size of directory: \"%s\"\n"

static void PathError(const char* fmt, const char* text)
{
    char shown[SHOWN_NAME_SIZE];
    fflush(stdout);
    OutFprintf(stderr, fmt, ShownName(text, shown, sizeof shown));
}

static void DriveError(const char* fmt, char drive)
{
    fflush(stdout);
    OutFprintf(stderr, fmt, drive);
}

// Steps back to where the program was started, so that every argument is
// read against that directory. 0, or -1 when that directory is gone.
static int RestoreStart(void)
{
    if (!movedAway)
        return 0;
    if (startDrive)
        SysSetCurrentDrive(startDrive);
    if (!haveStartDir)
        return -1;
    return SysSetCurrentDir(startDir);
}

static int IsAbsolute(const char* path)
{
    return path[0] == PATH_SEP || (SysHasDriveLetter(path) && path[2] == PATH_SEP);
}

// Turns a drive-relative argument ("D:" or "D:sub") into a full path. 0, or
// -1 when the joined path would not fit (it is never cut short).
static int JoinDriveRelative(char* path)
{
    char dir[PATH_BUF_SIZE];
    if (SysGetDriveDir(path[0], dir, sizeof dir) != 0)
        return 0;  // left as given; the system reads it as it can
    size_t len = strlen(dir);
    const char sep[2] = {(len > 0 && dir[len - 1] == PATH_SEP) ? '\0' : PATH_SEP, '\0'};
    char joined[PATH_BUF_SIZE];
    int n = snprintf(joined, sizeof joined, "%s%s%s", dir, sep, path + 2);
    if (n < 0 || (size_t)n >= sizeof joined)
        return -1;
    memcpy(path, joined, (size_t)n + 1);
    return 0;
}

// The path's drive, its drive-relative form made full, its filter split
// off and a closing separator added. 0, or 1 when the path fails.
static int ResolvePath(PathReport* pr)
{
    char* path = pr->path;
    if (RestoreStart() != 0 && !IsAbsolute(path)) {
        PathError(DIR_ERROR, path);
        return 1;
    }
    if (SysHasDriveLetter(path)) {
        if (path[0] >= 'a' && path[0] <= 'z')
            path[0] = (char)(path[0] - 'a' + 'A');
        pr->drive = path[0];
        if (path[2] != PATH_SEP && JoinDriveRelative(path) != 0) {
            PathError(DIR_ERROR, path);
            return 1;
        }
    } else {
        pr->drive = SysGetCurrentDrive();
    }

    pr->options.hasFilter = SplitFilter(path, pr->filter, sizeof pr->filter) ? 1 : 0;

    size_t len = strlen(path);
    if (len > 0 && path[len - 1] != PATH_SEP && len + 1 < PATH_BUF_SIZE) {
        path[len] = PATH_SEP;
        path[len + 1] = '\0';
    }
    return 0;
}

// Makes the path's drive and directory current; the path then names the
// directory as the system reports it. 0, or 1 when the path fails.
static int EnterPath(PathReport* pr)
{
    char* path = pr->path;
    if (pr->drive) {
        movedAway = 1;
        if (SysGetDriveType(pr->drive) == SYS_DRIVE_NO_ROOT_DIR) {
            DriveError(DRIVE_MISSING_ERROR, pr->drive);
            return 1;
        }
        if (SysSetCurrentDrive(pr->drive) != 0) {
            DriveError(DRIVE_ACCESS_ERROR, pr->drive);
            return 1;
        }
    }
    if (path[0]) {
        movedAway = 1;
        if (SysSetCurrentDir(path) != 0) {
            PathError(DIR_ERROR, path);
            return 1;
        }
        // A directory whose full name does not fit keeps the name it was
        // given; it is still the directory that gets measured.
        char full[PATH_BUF_SIZE];
        if (SysGetCurrentDir(full, sizeof full) == 0)
            memcpy(path, full, strlen(full) + 1);
    } else if (SysSetCurrentDir(".") != 0) {
        // No path is the current directory, and says so as "." would when
        // that directory cannot be entered.
        const char here[3] = {'.', PATH_SEP, '\0'};
        PathError(DIR_ERROR, here);
        return 1;
    }
    return 0;
}

// The volume of the path, with zero space when it cannot be read but a
// substitute cluster size was given. 0, or 1 when the path fails.
static int ReadVolume(PathReport* pr, ReportRun* run)
{
    if (ReadDriveInfo(pr->drive, &pr->driveInfo) != 0) {
        if (!pr->options.fakeCluster) {
            PathError(DISK_INFO_ERROR, DriveLabel(pr));
            return 1;
        }
        OutPrintf(DISK_INFO_UNREAD, DriveLabel(pr));
    }
    SettleClusters(pr, run);
    return 0;
}

static int AnyColumn(const ReportOptions* o)
{
    return o->showDirs || o->showFiles || o->showBytes || o->showPath;
}

// The headings are the system's own, in its spacing: each stands over the
// field of the report lines that it names.
static void PrintColumnHeader(const PathReport* pr)
{
    const ReportOptions* o = &pr->options;
    if (o->showDirs && !o->hasFilter)
        OutFputs("  Dirs ", stdout);
    if (o->showFiles)
        OutFputs("  Files ", stdout);
    if (o->showBytes) {
        OutPrintf("      %s", o->inKilo ? "" : " ");
        OutPrintf("Usage(%s%c)", o->inKilo ? "k" : "", o->inClusters ? 'c' : 'B');
    }
    if (o->showPath) {
        OutFputs("  Path:", stdout);
        char shown[SHOWN_NAME_SIZE];
        if (o->hasFilter)
            OutPrintf(" - \"%s\"", ShownName(pr->filter, shown, sizeof shown));
    }
    OutPrintf("\n%s", kDashLine);
}

// The disk information and the column header, as the options ask.
static void PrintHeaders(const PathReport* pr)
{
    const ReportOptions* o = &pr->options;
    if (o->showDiskInfo && o->mode != MODE_SILENT)
        PrintDriveInfo(&pr->driveInfo, o);
    if (o->showHeader && AnyColumn(o))
        PrintColumnHeader(pr);
}

// Scans the current directory and prints the total line. 0 when all of it
// was read.
static int ScanPath(PathReport* pr)
{
    char* path = pr->path;
    if (!AnyColumn(&pr->options))
        return 0;
    if (!path[0] && SysGetCurrentDir(path, PATH_BUF_SIZE) != 0)
        path[0] = '\0';

    ScanContext ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.depth = 0;
    ctx.options = &pr->options;
    ctx.rootPath = path;
    UsageTotals totals = {0, 0, 0};
    size_t treemapMark = TreemapMark();
    if (!ScanDirectory(pr->filter, &totals, &ctx, &pr->driveInfo)) {
        PathError(SIZE_ERROR, path);
        ReportCause(&ctx, ctx.topResult);
        return 1;
    }
    if (TreemapActive())
        TreemapPath(treemapMark, path, totals.clusters << pr->driveInfo.clusterShift);
    if (pr->options.mode == MODE_NORMAL)
        OutFputs(kDashLine, stdout);
    PrintUsageLine(path, &totals, &ctx, &pr->driveInfo);
    return ctx.failures ? 1 : 0;
}

// Reports one path; 0 when it and everything below it was read.
static int ReportPath(ReportRun* run, char* path)
{
    PathReport pr;
    BeginPathReport(&pr, run, path);
    if (ResolvePath(&pr) != 0 || EnterPath(&pr) != 0 || ReadVolume(&pr, run) != 0)
        return 1;
    PrintHeaders(&pr);
    return ScanPath(&pr);
}

int StdoutError(int flush)
{
    static int failed;
    if (failed != 0)
        return failed;
    // A failed write leaves its reason in errno, and the stream's error
    // indicator set; a line-buffered stream then drops what it held, so a
    // later flush succeeds and only the indicator tells.
    int err = errno;
    if (flush) {
        errno = 0;
        if (fflush(stdout) != 0)
            err = errno;
    }
    if (!ferror(stdout))
        return 0;
    failed = err != 0 ? err : EIO;
    return failed;
}

// The files the run writes beside the report: created before the first
// path, completed after the last. 0, or 1 when one cannot be written.
static int OpenOutputFiles(const ReportRun* run)
{
    if (run->exportFile && ExportOpen(run->exportFile, run->pathCount) != 0)
        return 1;
    if (run->treemapFile && TreemapOpen(run->treemapFile, run->pathCount) != 0) {
        ExportClose(1);
        return 1;
    }
    return 0;
}

static int CloseOutputFiles(void)
{
    // Their names are read against the starting directory, as the paths are.
    RestoreStart();
    int status = ExportClose(0);
    return TreemapClose(0) != 0 ? 1 : status;
}

int RunReport(ReportRun* run)
{
    int status = 0;
    if (OpenOutputFiles(run) != 0)
        return 1;
    ListInit();
    startDrive = SysGetCurrentDrive();
    haveStartDir = SysGetCurrentDir(startDir, sizeof startDir) == 0;
    movedAway = 0;

    for (unsigned i = 0; i < run->pathCount && i < MAX_PATHS; i++) {
        if (ReportPath(run, run->paths[i]) != 0)
            status = 1;
        // Nothing more could be shown.
        if (StdoutError(0) != 0)
            break;
    }
    ScanRelease();
    if (CloseOutputFiles() != 0)
        status = 1;
    fflush(stdout);
    return status;
}
