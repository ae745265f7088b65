// What spaceuse does on Windows alone: the program name's separators, the
// version it reports, the volume of real drives, path arguments counted in
// characters, names of any script at any depth, text out.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

#include "list.h"
#include "options.h"
#include "output.h"
#include "sysdep_win32.h"
#include "volume.h"
#include "widetext.h"

TEST(Options, ProgramNameTakesEitherSeparator)
{
    BuildProgName("C:\\TOOLS\\spaceuse.exe");
    EXPECT_STREQ("SPACEUSE", progName);
    BuildProgName("C:/tools/su.exe");
    EXPECT_STREQ("SU", progName);
}

TEST(Options, VersionQueryNamesThePlatform)
{
    OsVersion v;
    memset(&v, 0xEE, sizeof(v));
    ASSERT_EQ(0, GetOsVersion(&v));
    EXPECT_NE(0xEEEEEEEEu, v.platformId);
}

TEST(ReadDriveInfo, SystemDriveAndMissingDrive)
{
    OsVersion osVersion;
    ASSERT_EQ(0, GetOsVersion(&osVersion));
    DriveInfo info;
    memset(&info, 0, sizeof(info));
    ASSERT_EQ(0, ReadDriveInfo('C', &info));
    EXPECT_STREQ("C", info.driveName);
    EXPECT_EQ('C', info.letter);
    EXPECT_GT(info.totalBytes, 0u);
    EXPECT_LE(info.freeBytes, info.totalBytes);
    EXPECT_NE('\0', info.fsName[0]);
    EXPECT_EQ(info.totalBytes % ((uint64_t)1 << info.clusterShift), 0u);

    char missing = 0;
    for (char l = 'Z'; l > 'C' && missing == 0; l--) {
        if (SysGetDriveType(l) == SYS_DRIVE_NO_ROOT_DIR)
            missing = l;
    }
    if (missing == 0)
        GTEST_SKIP() << "every drive letter is in use";
    memset(&info, 0x55, sizeof(info));
    EXPECT_EQ(1, ReadDriveInfo(missing, &info));
    EXPECT_EQ(0u, info.totalBytes);
    EXPECT_EQ(0u, info.freeBytes);
    EXPECT_EQ(0, info.clusterShift);
    EXPECT_STREQ("", info.volumeName);
    EXPECT_STREQ("", info.fsName);
    EXPECT_EQ(0u, info.serialNumber);
}

// ---- names and depth ----------------------------------------------------------

namespace {

std::wstring Wide(const std::string& s)
{
    std::wstring w(s.size() + 1, L'\0');
    w.resize(WideFromUtf8(s.data(), s.size(), &w[0], w.size()));
    return w;
}

std::string Repeat(const std::string& s, int n)
{
    std::string r;
    while (n-- > 0)
        r += s;
    return r;
}

void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(dir + L"\\" + name);
            else
                DeleteFileW((dir + L"\\" + name).c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
}

// Entries of the listing `d` (just opened) by UTF-8 name, with their sizes.
std::map<std::string, uint64_t> Entries(ListDir* d)
{
    std::map<std::string, uint64_t> m;
    ListEntry e;
    while (ListNext(d, &e) == LISTING_ENTRY) {
        if (strcmp(e.name, ".") != 0 && strcmp(e.name, "..") != 0)
            m[e.name] = e.isDir ? UINT64_MAX : e.size;
    }
    return m;
}

}  // namespace

TEST(Options, PathArgumentsAreCountedInCharactersNotBytes)
{
    // Three bytes each in UTF-8; an emoji is two UTF-16 units.
    std::string cjk = Repeat("\xE8\xAA\x9E", PATH_ARG_LIMIT - 1);
    std::string emoji = Repeat("\xF0\x9F\x98\x80", (PATH_ARG_LIMIT - 1) / 2);
    char prog[] = "spaceuse";
    for (const std::string& ok : {cjk, emoji}) {
        char* argv[] = {prog, const_cast<char*>(ok.c_str()), NULL};
        ASSERT_EQ(ARGS_CONTINUE, ParseArguments(2, argv));
        EXPECT_EQ(ok, pathList[0]);
    }
    for (const std::string& tooLong : {cjk + "x", emoji + "\xF0\x9F\x98\x80"}) {
        char* argv[] = {prog, const_cast<char*>(tooLong.c_str()), NULL};
        EXPECT_EQ(1, ParseArguments(2, argv));
    }
}

// Deeper than the 260 characters of the process's current directory, with
// names of four scripts: the program's current directory goes there and
// lists it, whatever the process's current directory says.
TEST(Directories, AnyNameAndAnyDepthFromTheProgramsOwnCurrentDirectory)
{
    char start[PATH_BUF_SIZE];
    ASSERT_EQ(0, SysGetCurrentDir(start, sizeof start));

    WCHAR tmp[MAX_PATH + 1];
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, tmp), 0u);
    std::wstring base = std::wstring(L"\\\\?\\") + tmp + L"spaceuse-wide-" +
                        std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(base.c_str(), NULL));
    const char* names[] = {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1",
                           "\xD0\x9A\xD0\xB8\xD1\x80\xD0\xB8\xD0\xBB\xD0\xBB\xD0\xB8\xD1\x86\xD0\xB0",
                           "emoji \xF0\x9F\x98\x80"};
    std::string chain;
    std::wstring deep = base;
    for (int i = 0; deep.size() < 400; i++) {
        std::string name = std::string(names[i % 4]) + " " + std::string(30, 'x') + std::to_string(i);
        chain += "\\" + name;
        deep += L"\\" + Wide(name);
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), NULL)) << i;
    }
    std::string leafName = "leaf \xF0\x9F\x98\x80.txt";
    HANDLE f = CreateFileW((deep + L"\\" + Wide(leafName)).c_str(), GENERIC_WRITE, 0, NULL,
                           CREATE_NEW, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    DWORD wrote = 0;
    ASSERT_TRUE(WriteFile(f, "12345", 5, &wrote, NULL));
    CloseHandle(f);
    std::wstring sub = deep + L"\\" + Wide(names[3]);
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), NULL));

    char baseUtf8[PATH_BUF_SIZE];
    ASSERT_EQ(0, ToUtf8(base.c_str() + 4, baseUtf8, sizeof baseUtf8));
    std::string deepUtf8 = baseUtf8 + chain;

    ASSERT_EQ(0, SysSetCurrentDir(deepUtf8.c_str()));
    // Behind the program's back: its own current directory stays.
    SetCurrentDirectoryW(L"C:\\");
    char cur[PATH_BUF_SIZE];
    ASSERT_EQ(0, SysGetCurrentDir(cur, sizeof cur));
    EXPECT_EQ(deepUtf8, cur);
    EXPECT_EQ(SysGetCurrentDrive(), baseUtf8[0] & ~0x20);

    ListDir* d = ListNew();
    ListDir* s = ListNew();
    ASSERT_EQ(LISTING_OK, ListOpenCurrent(d));
    std::map<std::string, uint64_t> top = Entries(d);
    EXPECT_EQ(2u, top.size());
    EXPECT_EQ(5u, top[leafName]);
    EXPECT_EQ(UINT64_MAX, top[names[3]]);
    // A subdirectory opens from its parent's listing, by its UTF-8 name.
    ASSERT_EQ(LISTING_OK, ListOpenCurrent(d));
    ASSERT_EQ(LISTING_OK, ListOpenSub(d, names[3], s));
    ListClose(d);
    EXPECT_TRUE(Entries(s).empty());
    ListClose(s);
    EXPECT_EQ(LISTING_FAILED, ListOpenSub(d, names[3], s));  // its parent is closed

    // Relative paths are taken against the program's current directory.
    ASSERT_EQ(0, SysSetCurrentDir(".."));
    ASSERT_EQ(0, SysGetCurrentDir(cur, sizeof cur));
    EXPECT_EQ(deepUtf8.substr(0, deepUtf8.rfind('\\')), cur);
    std::string last = chain.substr(chain.rfind('\\') + 1);
    ASSERT_EQ(0, SysSetCurrentDir((last + "\\" + names[3] + "\\").c_str()));
    ASSERT_EQ(0, SysGetCurrentDir(cur, sizeof cur));
    EXPECT_EQ(deepUtf8 + "\\" + names[3], cur);
    // A directory that is not there leaves the current one as it was.
    EXPECT_EQ(-1, SysSetCurrentDir("missing"));
    EXPECT_EQ(-1, SysSetCurrentDir((deepUtf8 + "\\" + leafName).c_str()));
    ASSERT_EQ(0, SysGetCurrentDir(cur, sizeof cur));
    EXPECT_EQ(deepUtf8 + "\\" + names[3], cur);

    free(d);
    free(s);
    EXPECT_EQ(0, SysSetCurrentDir(start));
    RemoveTree(base);
}

// To a file or a pipe the text goes as its UTF-8 bytes, untouched.
TEST(Output, FilesAndPipesGetTheUtf8Bytes)
{
    // A file of its own: the runtime's tmpfile() uses the drive's root.
    WCHAR dir[MAX_PATH + 1], name[MAX_PATH + 1];
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, dir), 0u);
    ASSERT_NE(0u, GetTempFileNameW(dir, L"su", 0, name));
    FILE* f = _wfopen(name, L"w+bD");  // removed when closed
    ASSERT_NE(nullptr, f);
    const char text[] = "\xE6\x97\xA5 \xCE\x95 \xF0\x9F\x98\x80\n";
    EXPECT_EQ((int)strlen(text), SysWriteText(f, text, strlen(text)));
    EXPECT_EQ(3, OutFprintf(f, "%s|", "\xCE\x95"));
    rewind(f);
    char back[64] = {0};
    size_t n = fread(back, 1, sizeof back - 1, f);
    fclose(f);
    EXPECT_EQ(std::string(text) + "\xCE\x95|", std::string(back, n));
}
