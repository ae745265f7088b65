// Drives, directories and volumes on Windows, and the VWIN32 device of the
// 95/98 family (sysdep.h).
//
// Directories are reached through long (\\?\) absolute paths built from
// the program's own current directory, kept here: the process's current
// directory is limited to 260 characters, so it stays where the program
// was started, and a walk of any depth never depends on it.
#include <windows.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "sysdep.h"
#include "sysdep_win32.h"
#include "widetext.h"

// ---- the program's current directory ----------------------------------------

// The program's current directory in its ordinary full form ("C:\dir",
// "\\server\share\dir"), with no closing separator except at a drive's
// root. Set by the main thread between scans only.
static WideChar* curDir;

static int IsSep(WideChar c)
{
    return c == L'\\' || c == L'/';
}

static int StartsWith(const WideChar* s, const WideChar* prefix)
{
    return wcsncmp(s, prefix, wcslen(prefix)) == 0;
}

// The first `alen` units of `a`, then `b` and `c`, in a heap block; NULL
// when out of memory.
static WideChar* Join(const WideChar* a, size_t alen, const WideChar* b, const WideChar* c)
{
    size_t blen = wcslen(b), clen = wcslen(c);
    WideChar* w = (WideChar*)malloc((alen + blen + clen + 1) * sizeof(WideChar));
    if (w == NULL)
        return NULL;
    memcpy(w, a, alen * sizeof(WideChar));
    memcpy(w + alen, b, blen * sizeof(WideChar));
    memcpy(w + alen + blen, c, (clen + 1) * sizeof(WideChar));
    return w;
}

// The system's full form of `path` (GetFullPathNameW, which takes paths of
// any length); a heap block, or NULL.
static WideChar* FullPath(const WideChar* path)
{
    DWORD need = GetFullPathNameW(path, 0, NULL, NULL);
    if (need == 0)
        return NULL;
    WideChar* w = (WideChar*)malloc(need * sizeof(WideChar));
    if (w == NULL)
        return NULL;
    DWORD n = GetFullPathNameW(path, need, w, NULL);
    if (n == 0 || n >= need) {
        free(w);
        return NULL;
    }
    return w;
}

// Units of `full` that name its root: "C:", "\\server\share"; 0 for
// anything else.
static size_t RootLength(const WideChar* full)
{
    if (full[0] != 0 && full[1] == L':')
        return 2;
    if (!IsSep(full[0]) || !IsSep(full[1]))
        return 0;
    size_t i = 2;
    for (int part = 0; part < 2; part++) {
        while (full[i] != 0 && !IsSep(full[i]))
            i++;
        if (part == 0 && full[i] != 0)
            i++;
    }
    return i;
}

// The long form of an ordinary full path, which the system takes as it is
// and at any length; a heap block, or NULL.
static WideChar* LongForm(const WideChar* full)
{
    if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\"))
        return Join(full, wcslen(full), L"", L"");
    if (IsSep(full[0]) && IsSep(full[1]))
        return Join(L"\\\\?\\UNC\\", 8, full + 2, L"");
    return Join(L"\\\\?\\", 4, full, L"");
}

// Makes `full` (a heap block, taken over) the ordinary form: a long form of
// a drive or UNC path loses its prefix, and a closing separator goes
// unless it closes a drive's root.
static WideChar* Ordinary(WideChar* full)
{
    if (StartsWith(full, L"\\\\?\\UNC\\")) {
        memmove(full + 2, full + 8, (wcslen(full + 8) + 1) * sizeof(WideChar));
    } else if (StartsWith(full, L"\\\\?\\") && full[4] != 0 && full[5] == L':') {
        memmove(full, full + 4, (wcslen(full + 4) + 1) * sizeof(WideChar));
    }
    size_t len = wcslen(full);
    if (len > 1 && IsSep(full[len - 1]) && full[len - 2] != L':')
        full[len - 1] = 0;
    return full;
}

static int IsDirectory(const WideChar* full)
{
    WideChar* lng = LongForm(full);
    if (lng == NULL)
        return 0;
    DWORD attr = GetFileAttributesW(lng);
    free(lng);
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

// Knows the current directory: where the process was started, at first.
static int KnowCurrent(void)
{
    if (curDir != NULL)
        return 0;
    DWORD need = GetCurrentDirectoryW(0, NULL);
    WideChar* w = need > 0 ? (WideChar*)malloc(need * sizeof(WideChar)) : NULL;
    if (w == NULL)
        return -1;
    DWORD n = GetCurrentDirectoryW(need, w);
    if (n == 0 || n >= need) {
        free(w);
        return -1;
    }
    curDir = Ordinary(w);
    return 0;
}

// Makes `full` (a heap block, taken over; NULL fails) the current
// directory when it is one. 0 or -1.
static int Enter(WideChar* full)
{
    if (full == NULL)
        return -1;
    Ordinary(full);
    if (!IsDirectory(full)) {
        free(full);
        return -1;
    }
    free(curDir);
    curDir = full;
    return 0;
}

static char UpperLetter(WideChar c)
{
    if (c >= L'a' && c <= L'z')
        return (char)(c - L'a' + 'A');
    return c >= L'A' && c <= L'Z' ? (char)c : 0;
}

// `path` made full against the current directory: a relative path below
// it, a rooted one on its root, one relative to its drive below it. The
// system's full form (".", "..", '/' resolved); a long form is taken as it
// stands. A heap block, or NULL.
static WideChar* Resolve(const WideChar* path)
{
    if (StartsWith(path, L"\\\\?\\"))
        return Join(path, wcslen(path), L"", L"");
    size_t curLen = wcslen(curDir);
    const WideChar* sep = curLen > 0 && IsSep(curDir[curLen - 1]) ? L"" : L"\\";
    WideChar* joined;
    if ((IsSep(path[0]) && IsSep(path[1])) || (path[0] != 0 && path[1] == L':' && IsSep(path[2])))
        joined = Join(path, wcslen(path), L"", L"");
    else if (path[0] != 0 && path[1] == L':' && UpperLetter(path[0]) == SysGetCurrentDrive())
        joined = Join(curDir, curLen, sep, path + 2);
    else if (path[0] != 0 && path[1] == L':')
        joined = Join(path, wcslen(path), L"", L"");  // that drive's own directory
    else if (IsSep(path[0]))
        joined = Join(curDir, RootLength(curDir), path, L"");
    else
        joined = Join(curDir, curLen, sep, path);
    if (joined == NULL)
        return NULL;
    WideChar* full = FullPath(joined);
    free(joined);
    return full;
}

WideChar* WinCurrentDirLong(void)
{
    return KnowCurrent() == 0 ? LongForm(curDir) : NULL;
}

WideChar* WinLongPath(const char* path)
{
    if (KnowCurrent() != 0)
        return NULL;
    WideChar* wide = WideDup(path);
    WideChar* full = wide != NULL ? Resolve(wide) : NULL;
    free(wide);
    WideChar* lng = full != NULL ? LongForm(full) : NULL;
    free(full);
    return lng;
}

// ---- drives and directories -------------------------------------------------

char SysGetCurrentDrive(void)
{
    if (KnowCurrent() != 0 || curDir[0] == 0 || curDir[1] != L':')
        return 0;
    return UpperLetter(curDir[0]);
}

// The current directory of drive `letter` ("X:." made full): the program's
// own on its current drive. A heap block, or NULL.
static WideChar* DriveDir(char letter)
{
    if (KnowCurrent() != 0)
        return NULL;
    if (letter != 0 && letter == SysGetCurrentDrive())
        return Join(curDir, wcslen(curDir), L"", L"");
    const WideChar rel[4] = {(WideChar)letter, L':', L'.', 0};
    return FullPath(rel);
}

int SysSetCurrentDrive(char letter)
{
    return Enter(DriveDir(letter));
}

int SysGetDriveType(char letter)
{
    const WideChar root[4] = {(WideChar)letter, L':', L'\\', 0};
    return (int)GetDriveTypeW(root);
}

int SysGetDriveDir(char letter, char* buf, size_t size)
{
    WideChar* dir = DriveDir(letter);
    if (dir == NULL) {
        if (size > 0)
            buf[0] = '\0';
        return -1;
    }
    int r = ToUtf8(dir, buf, size);
    free(dir);
    return r;
}

int SysGetCurrentDir(char* buf, size_t size)
{
    if (KnowCurrent() != 0) {
        if (size > 0)
            buf[0] = '\0';
        return -1;
    }
    return ToUtf8(curDir, buf, size);
}

int SysSetCurrentDir(const char* path)
{
    if (KnowCurrent() != 0)
        return -1;
    WideChar* w = WideDup(path);
    if (w == NULL)
        return -1;
    WideChar* full = Resolve(w);
    free(w);
    return Enter(full);
}

// ---- volumes ----------------------------------------------------------------

// The root the volume calls take for drive `letter` ("X:\"), or for the
// current directory when it has no letter ("\\server\share\"). A heap
// block, or NULL.
static WideChar* VolumeRoot(char letter)
{
    if (letter != 0) {
        const WideChar drive[3] = {(WideChar)letter, L':', 0};
        return Join(drive, 2, L"\\", L"");
    }
    if (KnowCurrent() != 0)
        return NULL;
    return Join(curDir, RootLength(curDir), L"\\", L"");
}

int SysGetVolume(char letter, SysVolume* volume)
{
    memset(volume, 0, sizeof(*volume));
    volume->driveName[0] = letter;
    volume->driveName[1] = '\0';
    WideChar* root = VolumeRoot(letter);
    WideChar label[MAX_PATH + 1];
    WideChar fsName[MAX_PATH + 1];
    DWORD serial = 0;
    BOOL ok = GetVolumeInformationW(root, label, MAX_PATH + 1, &serial, NULL, NULL, fsName,
                                    MAX_PATH + 1);
    free(root);
    if (!ok) {
        volume->serial = 0;
        return -1;
    }
    // A label or name too long for its field is left out, never cut.
    ToUtf8(label, volume->label, sizeof(volume->label));
    ToUtf8(fsName, volume->fsName, sizeof(volume->fsName));
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
    if (strcmp(fsName, "FAT32") == 0 && OnWindows9x()) {
        // The device takes the root in the system's 8-bit characters.
        char root[4] = {letter, ':', '\\', '\0'};
        return QueryFat32Space(root, space) ? 0 : -1;
    }
    WideChar* root = VolumeRoot(letter);
    DWORD spc = 0, bps = 0, freeCl = 0, totalCl = 0;
    BOOL ok = GetDiskFreeSpaceW(root, &spc, &bps, &freeCl, &totalCl);
    free(root);
    if (!ok)
        return -1;
    space->sectorsPerCluster = spc;
    space->bytesPerSector = bps;
    space->freeClusters = freeCl;
    space->totalClusters = totalCl;
    return 0;
}
