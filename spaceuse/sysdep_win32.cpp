// Operating-system services on Windows: console, version, drive, directory
// and volume services, and the VWIN32 device of the 95/98 family.
#include <windows.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "sysdep.h"

static void MakeRoot(char letter, char root[4])
{
    root[0] = letter;
    root[1] = ':';
    root[2] = '\\';
    root[3] = '\0';
}

// ---- conventions ------------------------------------------------------------

extern const char SWITCH_CHAR = '/';
extern const char PATH_SEP = '\\';

int SysIsDirSeparator(char c)
{
    return c == '\\' || c == '/';
}

int SysHasDriveLetter(const char* path)
{
    return path[0] != '\0' && path[1] == ':';
}

// ---- version ----------------------------------------------------------------

static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record the query expects");

int SysGetOsVersion(OsVersion* version)
{
    OSVERSIONINFOA info;
    memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);  // 148
    if (!GetVersionExA(&info))
        return -1;
    version->platformId = info.dwPlatformId;
    version->major = info.dwMajorVersion;
    version->minor = info.dwMinorVersion;
    version->build = info.dwBuildNumber;
    return 0;
}

// ---- console ----------------------------------------------------------------

int SysStdoutIsFile(void)
{
    // A console has no file position; a redirected file has one.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == NULL || out == INVALID_HANDLE_VALUE)
        return 0;
    LARGE_INTEGER zero;
    LARGE_INTEGER pos;
    zero.QuadPart = 0;
    return SetFilePointerEx(out, zero, &pos, FILE_CURRENT) ? 1 : 0;
}

void SysPrepareStdout(int toFile)
{
    (void)toFile;
}

static const char* abortText[ABORT_REASON_COUNT];
static int abortStatus;

// Runs on a thread the system starts for the console event, while the main
// thread may be writing: the stream lock keeps the lines whole, and the
// process ends from here without handing anything back.
static BOOL WINAPI AbortHandler(DWORD controlType)
{
    int reason = controlType == CTRL_C_EVENT       ? ABORT_REASON_INTERRUPT
                 : controlType == CTRL_BREAK_EVENT ? ABORT_REASON_BREAK
                                                   : ABORT_REASON_OTHER;
    fputs(abortText[reason], stdout);
    fflush(stdout);
    fflush(stderr);
    ExitProcess((UINT)abortStatus);
    return TRUE;
}

int SysInstallAbortHook(const char* const texts[ABORT_REASON_COUNT], int exitStatus)
{
    for (int r = 0; r < ABORT_REASON_COUNT; r++)
        abortText[r] = texts[r];
    abortStatus = exitStatus;
    return SetConsoleCtrlHandler(AbortHandler, TRUE) ? 0 : -1;
}

// ---- processors --------------------------------------------------------------

int SysCpuCount(void)
{
    DWORD_PTR process = 0, system = 0;
    int n = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        for (; process != 0; process &= process - 1)
            n++;
    }
    return n > 0 ? n : 1;
}

// ---- drives and directories -------------------------------------------------

char SysGetCurrentDrive(void)
{
    char dir[MAX_PATH + 1];
    DWORD n = GetCurrentDirectoryA(sizeof(dir), dir);
    if (n == 0 || n >= sizeof(dir) || dir[1] != ':')
        return 0;
    char c = dir[0];
    if (c >= 'a' && c <= 'z')
        c = (char)(c - 'a' + 'A');
    return c;
}

int SysSetCurrentDrive(char letter)
{
    char drive[3] = {letter, ':', '\0'};
    return SetCurrentDirectoryA(drive) ? 0 : -1;
}

int SysGetDriveType(char letter)
{
    char root[4];
    MakeRoot(letter, root);
    return (int)GetDriveTypeA(root);
}

// The room a buffer of `size` bytes gives a call that counts in DWORDs.
static DWORD Room(size_t size)
{
    return size > 0x7FFFFFFF ? 0x7FFFFFFF : (DWORD)size;
}

// A text call's result `n` (characters stored) for a buffer of `room`:
// 0, or -1 with the buffer emptied when the call failed or did not fit.
static int TextResult(DWORD n, DWORD room, char* buf)
{
    if (n == 0 || n >= room) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

int SysGetDriveDir(char letter, char* buf, size_t size)
{
    if (size == 0)
        return -1;
    char rel[4] = {letter, ':', '.', '\0'};
    DWORD room = Room(size);
    return TextResult(GetFullPathNameA(rel, room, buf, NULL), room, buf);
}

int SysGetCurrentDir(char* buf, size_t size)
{
    if (size == 0)
        return -1;
    DWORD room = Room(size);
    return TextResult(GetCurrentDirectoryA(room, buf), room, buf);
}

int SysSetCurrentDir(const char* path)
{
    return SetCurrentDirectoryA(path) ? 0 : -1;
}

// ---- files the program writes -----------------------------------------------

FILE* SysCreateFile(const char* final, const char* part, int* inPlace)
{
    // A device name such as NUL is no file on a disk.
    HANDLE h =
        CreateFileA(final, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    *inPlace = 0;
    if (h != INVALID_HANDLE_VALUE) {
        *inPlace = GetFileType(h) != FILE_TYPE_DISK;
        CloseHandle(h);
    }
    return fopen(*inPlace ? final : part, "wb");
}

int SysFinishFile(const char* part, const char* final, int keep)
{
    BOOL done = keep ? MoveFileExA(part, final, MOVEFILE_REPLACE_EXISTING) : DeleteFileA(part);
    if (!done)
        errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return done ? 0 : -1;
}

// ---- volumes ----------------------------------------------------------------

int SysGetVolume(char letter, SysVolume* volume)
{
    memset(volume, 0, sizeof(*volume));
    char root[4];
    MakeRoot(letter, root);
    volume->driveName[0] = letter;
    volume->driveName[1] = '\0';
    DWORD serial = 0;
    // Without a letter (a UNC directory) the current directory's root.
    if (!GetVolumeInformationA(letter != 0 ? root : NULL, volume->label, sizeof(volume->label),
                               &serial, NULL, NULL, volume->fsName, sizeof(volume->fsName))) {
        volume->label[0] = '\0';
        volume->fsName[0] = '\0';
        volume->serial = 0;
        return -1;
    }
    volume->label[sizeof(volume->label) - 1] = '\0';
    volume->fsName[sizeof(volume->fsName) - 1] = '\0';
    volume->serial = serial;
    return 0;
}

// The register block the VWIN32 device takes and returns.
typedef struct DIOC_REGISTERS {
    uint32_t reg_EBX;
    uint32_t reg_EDX;
    uint32_t reg_ECX;
    uint32_t reg_EAX;
    uint32_t reg_EDI;
    uint32_t reg_ESI;
    uint32_t reg_Flags;
} DIOC_REGISTERS;
static_assert(sizeof(DIOC_REGISTERS) == 28, "DIOC_REGISTERS is seven 32-bit registers");

#define VWIN32_DIOC_DOS_DRIVEINFO 6
#define GET_EXT_FREE_SPACE 0x7303
#define EXT_FREE_SPACE_SIZE 44  // the ExtGetDskFreSpcStruc result record
#define CARRY_FLAG 0x0001

// A little-endian word of the device's result record.
static uint32_t ResultWord(const unsigned char* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The FAT32 space query through the VWIN32 device (Int 21h 7303h). Non-zero
// on success, 0 on failure; `space` is written only on success.
static int QueryFat32Space(const char* root, SysSpace* space)
{
    // The device lives on the 32-bit 95/98 family only and takes 32-bit
    // addresses in its registers; a 64-bit process never runs there.
    if (sizeof(void*) > 4)
        return 0;

    unsigned char result[EXT_FREE_SPACE_SIZE];
    DIOC_REGISTERS regs;
    memset(result, 0, sizeof(result));
    memset(&regs, 0, sizeof(regs));

    HANDLE device = CreateFileA("\\\\.\\vwin32", 0, 0, NULL, 0, FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (device == INVALID_HANDLE_VALUE)
        return 0;

    regs.reg_EBX = 0;
    regs.reg_EDX = (uint32_t)(uintptr_t)root;
    regs.reg_ECX = sizeof(result);
    regs.reg_EAX = GET_EXT_FREE_SPACE;
    regs.reg_EDI = (uint32_t)(uintptr_t)result;
    regs.reg_ESI = 0;
    regs.reg_Flags = CARRY_FLAG;

    DWORD returned = 0;
    BOOL called = DeviceIoControl(device, VWIN32_DIOC_DOS_DRIVEINFO, &regs, sizeof(regs), &regs,
                                  sizeof(regs), &returned, NULL);
    int ok = called && (regs.reg_Flags & CARRY_FLAG) == 0;
    if (ok) {
        // Words at offsets 4, 8, 12 and 16 of the result.
        space->sectorsPerCluster = ResultWord(result + 4);
        space->bytesPerSector = ResultWord(result + 8);
        space->freeClusters = ResultWord(result + 12);
        space->totalClusters = ResultWord(result + 16);
    }
    CloseHandle(device);
    return ok ? 1 : 0;
}

// The 95/98 family (anything but the NT family), where the ordinary
// free-space call caps its answer at 2 GB.
static int OnWindows9x(void)
{
    OsVersion version;
    return SysGetOsVersion(&version) == 0 && version.platformId != OS_PLATFORM_WIN32_NT;
}

int SysGetDiskSpace(char letter, const char* fsName, SysSpace* space)
{
    char root[4];
    MakeRoot(letter, root);
    if (strcmp(fsName, "FAT32") == 0 && OnWindows9x())
        return QueryFat32Space(root, space) ? 0 : -1;
    DWORD spc = 0, bps = 0, freeCl = 0, totalCl = 0;
    if (!GetDiskFreeSpaceA(letter != 0 ? root : NULL, &spc, &bps, &freeCl, &totalCl))
        return -1;
    space->sectorsPerCluster = spc;
    space->bytesPerSector = bps;
    space->freeClusters = freeCl;
    space->totalClusters = totalCl;
    return 0;
}
