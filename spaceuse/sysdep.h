// The operating-system services spaceuse needs, apart from directory
// listing, and the conventions that differ by platform. sysdep_win32.cpp
// implements them with the Win32 calls, sysdep_posix.cpp with POSIX ones;
// nothing else in the program calls the system for these or asks which
// platform it runs on.
//
// For the per-path driver: the drive and directory operations are the
// Sys*Drive* / Sys*Dir* functions below. On POSIX there are no drive
// letters; the drive functions there behave as if every path lay on one
// existing, accessible drive whose letter is 0, so the driver needs no
// platform branches.
//
// All texts are written with their bound; a result that does not fit is a
// failure, never a cut path.
//
// Texts cross this interface as the file system's bytes on POSIX and as
// UTF-8 on Windows, whose side calls the wide-character interfaces and
// reaches every directory through a long (\\?\) absolute path. The current
// directory of the Windows build is the program's own, kept here: it is not
// the process's, which the system limits to 260 characters.
#ifndef SPACEUSE_SYSDEP_H
#define SPACEUSE_SYSDEP_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// ---- conventions ------------------------------------------------------------

// A path argument of this many characters or more is refused (SysPathChars
// counts them).
#define PATH_ARG_LIMIT 512
// Every path and name the program keeps fits a buffer of this size: on
// Windows one of PATH_ARG_LIMIT - 1 characters of any script in UTF-8, up to
// three bytes for each UTF-16 unit.
#ifdef _WIN32
#define PATH_BUF_SIZE (3 * (PATH_ARG_LIMIT - 1) + 3)
#else
#define PATH_BUF_SIZE PATH_ARG_LIMIT
#endif

// The character that introduces a switch: '/' on Windows, '-' on POSIX
// (where an argument beginning with '/' is an absolute path). Messages that
// name a switch show it.
extern const char SWITCH_CHAR;
// The separator of the paths the program builds and takes apart: '\' on
// Windows, '/' on POSIX.
extern const char PATH_SEP;

// True when `c` separates the components of the program's own path (Windows
// takes '/' as well, as a POSIX-style shell may start it with one).
int SysIsDirSeparator(char c);
// True when `path` begins with a drive letter and a colon ("c:", "D:sub").
// POSIX: never; an argument such as "c:x" is an ordinary relative name.
int SysHasDriveLetter(const char* path);
// The length of `text` in the characters path arguments are limited in:
// bytes on POSIX, UTF-16 units on Windows (as the system counts them).
size_t SysPathChars(const char* text);

// ---- command line -----------------------------------------------------------

// The program's arguments. POSIX: left as the runtime gave them. Windows:
// replaced by the wide command line (GetCommandLineW, CommandLineToArgvW)
// in UTF-8, so that no name outside the ANSI code page is lost; kept when
// that cannot be read.
void SysArguments(int* argc, char*** argv);

// ---- version ----------------------------------------------------------------

// Platform identifiers as the Windows version query reports them, plus one
// for POSIX systems (which have neither the NT nor the 95/98 services).
#define OS_PLATFORM_WIN32S 0
#define OS_PLATFORM_WIN32_WINDOWS 1  // the 95/98 family
#define OS_PLATFORM_WIN32_NT 2
#define OS_PLATFORM_POSIX 100

typedef struct OsVersion {
    uint32_t platformId;
    uint32_t major;
    uint32_t minor;
    uint32_t build;
} OsVersion;

// 0 on success, -1 when the system does not tell.
int SysGetOsVersion(OsVersion* version);

// ---- console ----------------------------------------------------------------

// 1 when standard output goes to a file (so no progress line is wanted),
// 0 when it is a console. Windows: standard output has a file position.
// POSIX: standard output is not a terminal (a pipe counts as a file).
int SysStdoutIsFile(void);
// Sets up standard output before anything is written to it. POSIX: output
// to a file or pipe is line buffered, so whole report lines are out before
// the abort hook writes its own line and ends the process without flushing.
// Windows: nothing (the hook flushes the streams itself).
void SysPrepareStdout(int toFile);

#define ABORT_REASON_INTERRUPT 0  // Ctrl+C, SIGINT
#define ABORT_REASON_BREAK 1      // Ctrl+Break, SIGQUIT
#define ABORT_REASON_OTHER 2      // close/logoff/shutdown, SIGTERM, SIGHUP
#define ABORT_REASON_COUNT 3

// Registers the console abort hook. texts[reason] is written whole to
// standard output when that event arrives, then the process ends with
// `exitStatus`. The texts must stay valid and unchanged from now on: the
// hook may run on another thread (Windows) or in a signal handler (POSIX),
// so it formats nothing and takes no lock of its own. On Windows the texts
// are made ready for a console's wide output here, so the hook only writes.
// 0 on success, -1 when the hook could not be registered.
int SysInstallAbortHook(const char* const texts[ABORT_REASON_COUNT], int exitStatus);

// Writes `len` bytes of text to `stream` (output.h formats for it). POSIX:
// the bytes as they are. Windows: to a console, through its wide output
// (the text is UTF-8; "\n" ends a line as the runtime's text mode ends it);
// to a file or a pipe, the UTF-8 bytes. `len` on success, -1 on failure.
int SysWriteText(FILE* stream, const char* text, size_t len);

// ---- processors --------------------------------------------------------------

// The processors this process may run on (its affinity, so a run pinned to
// one CPU counts one); at least 1.
int SysCpuCount(void);

// ---- drives and directories -------------------------------------------------

#define SYS_DRIVE_UNKNOWN 0
#define SYS_DRIVE_NO_ROOT_DIR 1  // there is no such drive
#define SYS_DRIVE_REMOVABLE 2
#define SYS_DRIVE_FIXED 3
#define SYS_DRIVE_REMOTE 4
#define SYS_DRIVE_CDROM 5
#define SYS_DRIVE_RAMDISK 6

// Upper-case letter of the current drive; 0 when the current directory has
// no drive letter (POSIX, or a UNC directory on Windows).
char SysGetCurrentDrive(void);
// Makes `letter` the current drive ("X:"). 0 or -1. POSIX: always 0.
int SysSetCurrentDrive(char letter);
// Type of the drive with this letter (one of SYS_DRIVE_*). POSIX: FIXED.
int SysGetDriveType(char letter);
// Current directory of drive `letter` (Windows "X:." made full), 0 or -1.
// POSIX: -1 (there are no drive-relative paths).
int SysGetDriveDir(char letter, char* buf, size_t size);

// Full path of the current directory: "C:\dir\sub" / "/dir/sub", no
// trailing separator except at a root. 0 or -1.
int SysGetCurrentDir(char* buf, size_t size);
// Makes `path` the current directory. 0 or -1. Windows: a relative path is
// taken against the program's current directory, whatever its length, and
// the process's own current directory is left where the program started.
int SysSetCurrentDir(const char* path);

// ---- files the program writes (--export, --treemap) -------------------------

// Opens the file to be named `final` for writing in binary: a new file
// `part` (emptying one that is there), to be given its name when complete;
// but where `final` is something other than a file (a device such as
// /dev/null, a pipe), `final` itself, never replaced: *inPlace is then set.
// NULL, with errno set, when it cannot be opened.
FILE* SysCreateFile(const char* final, const char* part, int* inPlace);
// Finishes a file written under the name `part`: with `keep`, renames it
// to `final`, replacing a file of that name; otherwise removes it. 0, or
// -1 with errno set.
int SysFinishFile(const char* part, const char* final, int keep);

// ---- volumes ----------------------------------------------------------------

typedef struct SysVolume {
    char driveName[PATH_BUF_SIZE];  // "C" on Windows, the mount point on POSIX
    char label[PATH_BUF_SIZE];      // empty when the volume has none
    char fsName[16];                // "NTFS", "FAT32", "ext4", "tmpfs" ...
    uint32_t serial;                // 0 when the volume has none
} SysVolume;

// Label, serial and file-system name of the volume of drive `letter`
// (Windows) or of the current directory (POSIX, `letter` unused). 0 or -1;
// on -1 `driveName` is still filled as well as it can be and the rest empty.
int SysGetVolume(char letter, SysVolume* volume);

typedef struct SysSpace {
    uint32_t sectorsPerCluster;
    uint32_t bytesPerSector;
    uint64_t freeClusters;   // available to the caller
    uint64_t totalClusters;
} SysSpace;

// Cluster geometry and space of the volume of drive `letter` (Windows) or
// of the current directory (POSIX), whose file system SysGetVolume named
// `fsName`. Windows: a FAT32 volume on the 95/98 family is asked through the
// VWIN32 device, whose answer is not capped at 2 GB as that family's
// GetDiskFreeSpaceA answer is; every other volume through GetDiskFreeSpaceA.
// POSIX: statvfs. 0 or -1; `space` is written only on success.
int SysGetDiskSpace(char letter, const char* fsName, SysSpace* space);

#endif
