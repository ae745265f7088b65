// What spaceuse does on Windows alone: the program name's separators, the
// version it reports, and the volume of real drives.
#include <gtest/gtest.h>

#include <string.h>

#include "options.h"
#include "volume.h"

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
