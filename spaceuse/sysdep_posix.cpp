// Operating-system services on POSIX systems. There are no drive letters:
// the "drive" of a directory is the mounted file system that holds it, named
// by its mount point and found in the process's mount table.
#include <dirent.h>
#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "sysdep.h"

#define MOUNT_TABLE "/proc/self/mountinfo"
#define LABEL_DIR "/dev/disk/by-label"

// Copies `src` into `dst` of `size` bytes; -1 (with `dst` emptied) when it
// does not fit, so that no caller ever works on a cut path.
static int CopyText(char* dst, size_t size, const char* src)
{
    size_t len = strlen(src);
    if (size == 0)
        return -1;
    if (len >= size) {
        dst[0] = '\0';
        return -1;
    }
    memcpy(dst, src, len + 1);
    return 0;
}

// Copies as much of `src` as fits, for texts that are only shown.
static void CutText(char* dst, size_t size, const char* src)
{
    if (size == 0)
        return;
    size_t len = strlen(src);
    if (len >= size)
        len = size - 1;
    memcpy(dst, src, len);
    dst[len] = '\0';
}

// ---- conventions ------------------------------------------------------------

extern const char SWITCH_CHAR = '-';
extern const char PATH_SEP = '/';

int SysIsDirSeparator(char c)
{
    return c == PATH_SEP;
}

int SysHasDriveLetter(const char* path)
{
    (void)path;
    return 0;
}

size_t SysPathChars(const char* text)
{
    return strlen(text);
}

// ---- command line -----------------------------------------------------------

void SysArguments(int* argc, char*** argv)
{
    (void)argc;
    (void)argv;
}

// ---- version ----------------------------------------------------------------

static uint32_t ReadNumber(const char** p)
{
    uint32_t n = 0;
    while (**p >= '0' && **p <= '9') {
        n = n * 10 + (uint32_t)(**p - '0');
        (*p)++;
    }
    return n;
}

int SysGetOsVersion(OsVersion* version)
{
    struct utsname u;
    if (uname(&u) != 0)
        return -1;
    // The release reads "6.1.0-18-amd64" and the like.
    const char* p = u.release;
    version->platformId = OS_PLATFORM_POSIX;
    version->major = ReadNumber(&p);
    version->minor = 0;
    version->build = 0;
    if (*p == '.') {
        p++;
        version->minor = ReadNumber(&p);
        if (*p == '.') {
            p++;
            version->build = ReadNumber(&p);
        }
    }
    return 0;
}

// ---- console ----------------------------------------------------------------

int SysStdoutIsFile(void)
{
    return isatty(STDOUT_FILENO) ? 0 : 1;
}

void SysPrepareStdout(int toFile)
{
    static char lineBuffer[BUFSIZ];
    if (toFile)
        setvbuf(stdout, lineBuffer, _IOLBF, sizeof(lineBuffer));
}

int SysWriteText(FILE* stream, const char* text, size_t len)
{
    if (len > 0 && fwrite(text, 1, len, stream) != len)
        return -1;
    return (int)(len > INT32_MAX ? INT32_MAX : len);
}

// The signals the hook answers and the reason each one gives.
static const struct {
    int sig;
    int reason;
} kAbortSignals[] = {
    {SIGINT, ABORT_REASON_INTERRUPT},
    {SIGQUIT, ABORT_REASON_BREAK},
    {SIGTERM, ABORT_REASON_OTHER},
    {SIGHUP, ABORT_REASON_OTHER},
};

static const char* abortText[ABORT_REASON_COUNT];
static size_t abortLength[ABORT_REASON_COUNT];
static int abortStatus;

// Runs as a signal handler: only write(2) and _exit(2). Standard output is
// line buffered when it is not a terminal (SysPrepareStdout), so whole
// report lines are already out and the abort line follows them.
static void AbortSignal(int sig)
{
    int reason = ABORT_REASON_OTHER;
    for (const auto& a : kAbortSignals) {
        if (a.sig == sig)
            reason = a.reason;
    }
    const char* p = abortText[reason];
    size_t left = abortLength[reason];
    while (left > 0) {
        ssize_t n = write(STDOUT_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        p += n;
        left -= (size_t)n;
    }
    _exit(abortStatus);
}

int SysInstallAbortHook(const char* const texts[ABORT_REASON_COUNT], int exitStatus)
{
    for (int r = 0; r < ABORT_REASON_COUNT; r++) {
        abortText[r] = texts[r];
        abortLength[r] = strlen(texts[r]);
    }
    abortStatus = exitStatus;

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = AbortSignal;
    sigemptyset(&sa.sa_mask);
    // One abort line only: the other signals wait while the first is handled.
    for (const auto& a : kAbortSignals)
        sigaddset(&sa.sa_mask, a.sig);
    int result = 0;
    for (const auto& a : kAbortSignals) {
        if (sigaction(a.sig, &sa, NULL) != 0)
            result = -1;
    }
    return result;
}

// ---- processors --------------------------------------------------------------

int SysCpuCount(void)
{
#ifdef CPU_COUNT
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        return n > 0 ? n : 1;
    }
#endif
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? (int)(n > 1024 ? 1024 : n) : 1;
}

// ---- drives and directories -------------------------------------------------

char SysGetCurrentDrive(void)
{
    return 0;
}

int SysSetCurrentDrive(char letter)
{
    (void)letter;
    return 0;
}

int SysGetDriveType(char letter)
{
    (void)letter;
    return SYS_DRIVE_FIXED;
}

int SysGetDriveDir(char letter, char* buf, size_t size)
{
    (void)letter;
    if (size > 0)
        buf[0] = '\0';
    return -1;
}

int SysGetCurrentDir(char* buf, size_t size)
{
    if (size == 0)
        return -1;
    if (getcwd(buf, size) == NULL) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

int SysSetCurrentDir(const char* path)
{
    return chdir(path) == 0 ? 0 : -1;
}

// ---- files the program writes -----------------------------------------------

FILE* SysCreateFile(const char* final, const char* part, int* inPlace)
{
    struct stat st;
    *inPlace = stat(final, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
    return fopen(*inPlace ? final : part, "wb");
}

int SysFinishFile(const char* part, const char* final, int keep)
{
    if (keep)
        return rename(part, final) == 0 ? 0 : -1;
    return unlink(part) == 0 ? 0 : -1;
}

// ---- volumes ----------------------------------------------------------------

// Undoes the octal escapes (\040 for a space, \011, \012, \134) with which
// the mount table writes blanks and backslashes, in place.
static void UnescapeOctal(char* s)
{
    char* out = s;
    for (char* in = s; *in != '\0';) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
            in[3] >= '0' && in[3] <= '7') {
            *out++ = (char)(((in[1] - '0') << 6) | ((in[2] - '0') << 3) | (in[3] - '0'));
            in += 4;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
}

// True when `dir` is `mountPoint` or lies below it.
static int IsBelow(const char* dir, const char* mountPoint)
{
    size_t len = strlen(mountPoint);
    if (strcmp(mountPoint, "/") == 0)
        return dir[0] == '/';
    if (strncmp(dir, mountPoint, len) != 0)
        return 0;
    return dir[len] == '\0' || dir[len] == '/';
}

typedef struct MountMatch {
    char mountPoint[4096];
    char fsType[256];
    char source[4096];
} MountMatch;

// Finds the mount that holds `dir`: the longest mount point above it, the
// last one listed when several are stacked on the same point. 0 or -1.
static int FindMount(const char* dir, MountMatch* match)
{
    FILE* f = fopen(MOUNT_TABLE, "r");
    if (f == NULL)
        return -1;
    char* line = NULL;
    size_t cap = 0;
    size_t bestLen = 0;
    int found = 0;
    while (getline(&line, &cap, f) >= 0) {
        // id parent major:minor root mountpoint options [optional...] - type source super
        char* fields[6] = {NULL, NULL, NULL, NULL, NULL, NULL};
        char* save = NULL;
        int n = 0;
        for (char* tok = strtok_r(line, " \n", &save); tok != NULL && n < 5;
             tok = strtok_r(NULL, " \n", &save))
            fields[n++] = tok;
        if (n < 5)
            continue;
        char* tok;
        while ((tok = strtok_r(NULL, " \n", &save)) != NULL && strcmp(tok, "-") != 0) {
        }
        if (tok == NULL)
            continue;
        char* type = strtok_r(NULL, " \n", &save);
        char* source = strtok_r(NULL, " \n", &save);
        if (type == NULL)
            continue;
        char* mountPoint = fields[4];
        UnescapeOctal(mountPoint);
        if (!IsBelow(dir, mountPoint))
            continue;
        size_t len = strlen(mountPoint);
        if (found && len < bestLen)
            continue;
        if (CopyText(match->mountPoint, sizeof(match->mountPoint), mountPoint) != 0)
            continue;
        if (CopyText(match->fsType, sizeof(match->fsType), type) != 0)
            match->fsType[0] = '\0';
        match->source[0] = '\0';
        if (source != NULL) {
            UnescapeOctal(source);
            if (CopyText(match->source, sizeof(match->source), source) != 0)
                match->source[0] = '\0';
        }
        bestLen = len;
        found = 1;
    }
    free(line);
    fclose(f);
    return found ? 0 : -1;
}

static int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Undoes the \xHH escapes with which the label links name blanks and
// slashes, in place.
static void UnescapeHex(char* s)
{
    char* out = s;
    for (char* in = s; *in != '\0';) {
        int hi, lo;
        if (in[0] == '\\' && in[1] == 'x' && (hi = HexDigit(in[2])) >= 0 &&
            (lo = HexDigit(in[3])) >= 0) {
            *out++ = (char)((hi << 4) | lo);
            in += 4;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
}

// The label of the block device `source`, from the label links the system
// keeps; empty when there is none.
static void FindLabel(const char* source, char* label, size_t size)
{
    label[0] = '\0';
    if (source[0] != '/')
        return;  // not a block device: tmpfs, overlay, proc ...
    char* device = realpath(source, NULL);
    if (device == NULL)
        return;
    DIR* d = opendir(LABEL_DIR);
    if (d != NULL) {
        struct dirent* e;
        while ((e = readdir(d)) != NULL) {
            if (e->d_name[0] == '.')
                continue;
            char link[4096];
            int n = snprintf(link, sizeof(link), "%s/%s", LABEL_DIR, e->d_name);
            if (n < 0 || (size_t)n >= sizeof(link))
                continue;
            char* target = realpath(link, NULL);
            if (target == NULL)
                continue;
            int same = strcmp(target, device) == 0;
            free(target);
            if (same) {
                char name[sizeof(e->d_name)];
                CutText(name, sizeof(name), e->d_name);
                UnescapeHex(name);
                CutText(label, size, name);
                break;
            }
        }
        closedir(d);
    }
    free(device);
}

int SysGetVolume(char letter, SysVolume* volume)
{
    (void)letter;
    memset(volume, 0, sizeof(*volume));

    char cwd[4096];
    if (getcwd(cwd, sizeof(cwd)) == NULL)
        return -1;
    // Until the mount is known the best name for the drive is the directory.
    CutText(volume->driveName, sizeof(volume->driveName), cwd);

    static MountMatch match;  // large; one query at a time
    if (FindMount(cwd, &match) != 0)
        return -1;
    CutText(volume->driveName, sizeof(volume->driveName), match.mountPoint);
    // A longer type name is cut to what the record holds.
    CutText(volume->fsName, sizeof(volume->fsName), match.fsType);
    FindLabel(match.source, volume->label, sizeof(volume->label));

    struct statvfs sv;
    if (statvfs(".", &sv) == 0)
        volume->serial = (uint32_t)((unsigned long long)sv.f_fsid & 0xFFFFFFFFu);
    return 0;
}

int SysGetDiskSpace(char letter, const char* fsName, SysSpace* space)
{
    (void)letter;
    (void)fsName;
    struct statvfs sv;
    if (statvfs(".", &sv) != 0)
        return -1;
    unsigned long fragment = sv.f_frsize != 0 ? sv.f_frsize : sv.f_bsize;
    if (fragment == 0 || fragment > UINT32_MAX)
        return -1;
    space->sectorsPerCluster = 1;
    space->bytesPerSector = (uint32_t)fragment;
    space->freeClusters = (uint64_t)sv.f_bavail;
    space->totalClusters = (uint64_t)sv.f_blocks;
    return 0;
}
