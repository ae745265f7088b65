// The per-path report: resolve the path, read its volume, print the
// headers, scan the tree and print the total line.
#include "report.h"

#include <stdio.h>
#include <string.h>

#include "list.h"
#include "scan.h"
#include "spaceuse.h"
#include "sysdep.h"

#ifdef _WIN32
static const int kHasDriveLetters = 1;
#else
// An argument such as "c:x" is an ordinary relative name here.
static const int kHasDriveLetters = 0;
#endif

static const char kDashLine[] =
    "--------------------------------------------------------------\n";

static char filterList[MAX_PATHS][PATH_BUF_SIZE];
static char startDrive;
static char startDir[PATH_BUF_SIZE];
static int haveStartDir;
static int movedAway;  // a path has changed the current drive or directory

int SplitFilter(char* path, char* filter, size_t filterSize)
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

// Messages about a drive name it by letter on Windows; on POSIX by the
// mount point the volume query found, or by the path itself.
static const char* DriveLabel(char letter, const char* path)
{
    static char label[PATH_BUF_SIZE];
    if (letter)
        snprintf(label, sizeof label, "%c", letter);
    else if (driveInfo.driveName[0])
        snprintf(label, sizeof label, "%s", driveInfo.driveName);
    else
        snprintf(label, sizeof label, "%s", path);
    return label;
}

static void PathError(const char* fmt, const char* text)
{
    fflush(stdout);
    fprintf(stderr, fmt, text);
}

static void PrintColumnHeader(const char* filter)
{
    const ReportOptions* o = &reportOptions;
    if (o->showDirs && !o->hasFilter)
        fputs("  Dirs ", stdout);
    if (o->showFiles)
        fputs("  Files ", stdout);
    if (o->showBytes) {
        printf("      %s", o->inKilo ? "" : " ");
        printf("Usage(%s%c)", o->inKilo ? "k" : "", o->inClusters ? 'c' : 'B');
    }
    if (o->showPath) {
        fputs("  Path:", stdout);
        if (o->hasFilter)
            printf(" - \"%s\"", filter);
    }
    printf("\n%s", kDashLine);
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
    if (path[0] == PATH_SEP)
        return 1;
    return kHasDriveLetters && path[0] && path[1] == ':' && path[2] == PATH_SEP;
}

// Turns a drive-relative argument ("D:" or "D:sub") into a full path. 0, or
// -1 when the joined path would not fit (it is never cut short).
static int JoinDriveRelative(char* path)
{
    char dir[PATH_BUF_SIZE];
    if (SysGetDriveDir(path[0], dir, sizeof dir) != 0)
        return 0;  // left as given; the system reads it as it can
    size_t len = strlen(dir);
    const char* sep = (len > 0 && dir[len - 1] == PATH_SEP) ? "" : "\\";
    char joined[PATH_BUF_SIZE];
    int n = snprintf(joined, sizeof joined, "%s%s%s", dir, sep, path + 2);
    if (n < 0 || (size_t)n >= sizeof joined)
        return -1;
    memcpy(path, joined, (size_t)n + 1);
    return 0;
}

// Reports one path; 0 when it and everything below it was read.
static int ReportPath(char* path, char* filter)
{
    ReportOptions* o = &reportOptions;

    if (RestoreStart() != 0 && !IsAbsolute(path)) {
        PathError("Error: could not access directory \"%s\", does it exist?\n", path);
        return 1;
    }

    char drive = 0;
    if (kHasDriveLetters && path[0] && path[1] == ':') {
        if (path[0] >= 'a' && path[0] <= 'z')
            path[0] = (char)(path[0] - 'a' + 'A');
        drive = path[0];
        if (path[2] != PATH_SEP && JoinDriveRelative(path) != 0) {
            PathError("Error: could not access directory \"%s\", does it exist?\n", path);
            return 1;
        }
    } else {
        drive = SysGetCurrentDrive();
    }

    o->hasFilter = SplitFilter(path, filter, PATH_BUF_SIZE) ? 1 : 0;

    size_t len = strlen(path);
    if (len > 0 && path[len - 1] != PATH_SEP && len + 1 < PATH_BUF_SIZE) {
        path[len] = PATH_SEP;
        path[len + 1] = '\0';
    }

    if (kHasDriveLetters && drive) {
        movedAway = 1;
        if (SysGetDriveType(drive) == SYS_DRIVE_NO_ROOT_DIR) {
            fflush(stdout);
            fprintf(stderr, "Error: drive does not exist: %c>\n", drive);
            return 1;
        }
        if (SysSetCurrentDrive(drive) != 0) {
            fflush(stdout);
            fprintf(stderr, "Error: could not access drive %c:\n", drive);
            return 1;
        }
    }

    if (path[0]) {
        movedAway = 1;
        if (SysSetCurrentDir(path) != 0) {
            PathError("Error: could not access directory \"%s\", does it exist?\n", path);
            return 1;
        }
        // A directory whose full name does not fit keeps the name it was
        // given; it is still the directory that gets measured.
        char full[PATH_BUF_SIZE];
        if (SysGetCurrentDir(full, sizeof full) == 0)
            memcpy(path, full, strlen(full) + 1);
    }

    memset(&driveInfo, 0, sizeof driveInfo);
    if (ReadDriveInfo(drive, &driveInfo) != 0) {
        if (o->fakeCluster) {
            printf("(unable to read diskinformation of drive: %s\n", DriveLabel(drive, path));
        } else {
            fflush(stdout);
            fprintf(stderr, "Error: could not read disk information of drive %s\n",
                    DriveLabel(drive, path));
            return 1;
        }
    }

    if (o->fakeCluster)
        driveInfo.clusterShift = Log2Floor(fakeClusterSize);
    if (driveInfo.clusterShift > 31)
        driveInfo.clusterShift = 31;
    driveInfo.clusterSize = (uint32_t)1 << driveInfo.clusterShift;

    // Directories take no cluster of their own there; this holds for the
    // rest of the run.
    if (strcmp(driveInfo.fsName, "NTFS") == 0)
        o->dirCluster = 0;

    if (o->showDiskInfo && o->mode != MODE_SILENT)
        PrintDriveInfo(&driveInfo, o);

    int anyColumn = o->showDirs || o->showFiles || o->showBytes || o->showPath;
    if (o->showHeader && anyColumn)
        PrintColumnHeader(filter);

    ScanContext ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.depth = 0;
    ctx.options = o;
    UsageTotals totals = {0, 0, 0};
    if (!anyColumn)
        return 0;

    if (!path[0] && SysGetCurrentDir(path, PATH_BUF_SIZE) != 0)
        path[0] = '\0';
    ctx.rootPath = path;
    if (!ScanDirectory(filter, &totals, &ctx, &driveInfo)) {
        PathError("Error: couldn't calculate size of directory: \"%s\"\n", path);
        return 1;
    }
    if (o->mode == MODE_NORMAL)
        fputs(kDashLine, stdout);
    PrintUsageLine(path, &totals, &ctx, &driveInfo);
    return ctx.failures ? 1 : 0;
}

int RunReport(void)
{
    int status = 0;
    ListInit();
    memset(filterList, 0, sizeof filterList);
    startDrive = SysGetCurrentDrive();
    haveStartDir = SysGetCurrentDir(startDir, sizeof startDir) == 0;
    movedAway = 0;

    for (unsigned i = 0; i < pathCount && i < MAX_PATHS; i++) {
        if (ReportPath(pathList[i], filterList[i]) != 0)
            status = 1;
    }
    ScanRelease();
    fflush(stdout);
    return status;
}
