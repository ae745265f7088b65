#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "volume.h"

namespace {

DriveInfo MakeInfo(const char* name, const char* label, uint32_t serial, const char* fs,
                   uint32_t cluster, uint64_t total, uint64_t freeBytes)
{
    DriveInfo info;
    memset(&info, 0, sizeof(info));
    info.letter = name[0];
    snprintf(info.driveName, sizeof(info.driveName), "%s", name);
    snprintf(info.volumeName, sizeof(info.volumeName), "%s", label);
    snprintf(info.fsName, sizeof(info.fsName), "%s", fs);
    info.serialNumber = serial;
    info.clusterSize = cluster;
    info.clusterShift = Log2Floor(cluster);
    info.totalBytes = total;
    info.freeBytes = freeBytes;
    return info;
}

std::string Header(const DriveInfo& info, bool fake = false)
{
    ReportOptions options;
    InitReportOptions(&options, 0);
    options.fakeCluster = fake ? 1 : 0;
    char buf[DRIVE_INFO_BUF_SIZE];
    size_t n = FormatDriveInfo(&info, &options, buf, sizeof(buf));
    EXPECT_EQ(n, strlen(buf));
    return buf;
}

// The second line alone.
std::string Totals(uint64_t total, uint64_t freeBytes)
{
    std::string h = Header(MakeInfo("C", "", 0, "NTFS", 4096, total, freeBytes));
    size_t nl = h.find('\n');
    return nl == std::string::npos ? h : h.substr(nl + 1);
}

}  // namespace

TEST(Log2Floor, HighestSetBit)
{
    EXPECT_EQ(0, Log2Floor(0));
    EXPECT_EQ(0, Log2Floor(1));
    EXPECT_EQ(1, Log2Floor(2));
    EXPECT_EQ(1, Log2Floor(3));
    EXPECT_EQ(11, Log2Floor(3000));
    EXPECT_EQ(12, Log2Floor(4096));
    EXPECT_EQ(12, Log2Floor(4097));
    EXPECT_EQ(32, Log2Floor(1ULL << 32));
    EXPECT_EQ(63, Log2Floor(UINT64_MAX));
}

TEST(DriveInfoHeader, Fat32DriveWithLabelAndSerial)
{
    DriveInfo c = MakeInfo("C", "SYSTEM", 0x1A2B3C4D, "FAT32", 4096, 2146762752ULL, 1073709056ULL);
    EXPECT_EQ("Info drive C: \"SYSTEM\" 1A2B:3C4D - FS:FAT32 - Clusters:4k\n"
              "Total: 2 146 762 752 [2047 MB] - Free: 1 073 709 056 [1023 MB]\n",
              Header(c));

    // No label, serial 0, a small cluster and a mount point as the name.
    DriveInfo m = MakeInfo("/home", "", 0, "ext4", 512, 8589934592ULL, 4096);
    EXPECT_EQ("Info drive /home: - FS:ext4 - Clusters:512\n"
              "Total: 8 589 934 592 [8 GB] - Free: 4 096 [4096]\n",
              Header(m));

    // The serial's halves keep their leading zeros.
    DriveInfo z = MakeInfo("D", "", 0x000A0001, "NTFS", 1024, 0, 0);
    EXPECT_EQ(0u, Header(z).find("Info drive D: 000A:0001 - FS:NTFS - Clusters:1k\n"));
}

TEST(DriveInfoHeader, ShortForms)
{
    // A full volume shows the bare 0.
    EXPECT_EQ("Total: 8 589 934 592 [8 GB] - Free: 0 [0]\n", Totals(8589934592ULL, 0));
    EXPECT_EQ("Total: 1 048 576 [1024 kB] - Free: 4 097 [4 kB]\n", Totals(1048576, 4097));
    // Short forms only when either amount is above 32768.
    EXPECT_EQ("Total: 32 768 - Free: 4 097\n", Totals(32768, 4097));
    EXPECT_EQ("Total: 32 769 [32 kB] - Free: 0 [0]\n", Totals(32769, 0));
    // Past the gigabytes the steps go on through T, P and E.
    EXPECT_EQ("Total: 5 497 558 138 880 [5 TB] - Free: 4 398 046 511 104 [4096 GB]\n",
              Totals(5ULL << 40, 4ULL << 40));
    EXPECT_EQ("Total: 18 446 744 073 709 551 615 [15 EB] - Free: 0 [0]\n",
              Totals(UINT64_MAX, 0));
}

TEST(DriveInfoHeader, FailedQueryWithSubstituteSize)
{
    DriveInfo f = MakeInfo("E", "", 0, "", 2048, 0, 0);
    EXPECT_EQ("Info drive E: - FS: - Clusters:2k(fake)\nTotal: 0 - Free: 0\n", Header(f, true));
}

TEST(DriveInfoHeader, LongNamesAreCutNotOverrun)
{
    DriveInfo big = MakeInfo("x", "", 0xFFFFFFFF, "fuseblk", 65536, UINT64_MAX, UINT64_MAX);
    memset(big.driveName, 'd', sizeof(big.driveName) - 1);
    memset(big.volumeName, 'v', sizeof(big.volumeName) - 1);
    std::string h = Header(big, true);
    EXPECT_NE(std::string::npos, h.find("FFFF:FFFF - FS:fuseblk - Clusters:64k(fake)\nTotal: "));
    EXPECT_EQ('\n', h.back());

    char small[40];
    memset(small, 'Z', sizeof(small));
    ReportOptions options;
    InitReportOptions(&options, 0);
    size_t need = FormatDriveInfo(&big, &options, small, 32);
    EXPECT_EQ(h.size() - strlen("(fake)"), need);
    EXPECT_EQ(31u, strlen(small));
    EXPECT_EQ('Z', small[32]);
}
