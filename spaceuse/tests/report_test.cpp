#include <gtest/gtest.h>

#include <stdio.h>

#include "report.h"

namespace {

// What the volume query would have found for the path.
void VolumeFound(PathReport* pr, const char* fsName, uint32_t clusterSize)
{
    snprintf(pr->driveInfo.fsName, sizeof pr->driveInfo.fsName, "%s", fsName);
    pr->driveInfo.clusterSize = clusterSize;
    pr->driveInfo.clusterShift = Log2Floor(clusterSize);
}

}  // namespace

// Each path is reported with what the command line set and what it finds
// out itself; nothing of the latter reaches the next path but the NTFS
// rule, which holds for the rest of the run on purpose.
TEST(Report, APathsOwnSettingsDoNotCarryToTheNextPath)
{
    ReportOptions options;
    InitReportOptions(&options, 0);
    char paths[3][PATH_BUF_SIZE] = {"pics", "docs", "more"};
    ReportRun run = {&options, 0, paths, 3, NULL, NULL, 0};

    PathReport pr;
    BeginPathReport(&pr, &run, paths[0]);
    snprintf(pr.filter, sizeof pr.filter, "*.gif");
    pr.options.hasFilter = 1;
    VolumeFound(&pr, "ext4", 65536);
    SettleClusters(&pr, &run);
    EXPECT_EQ(65536u, pr.driveInfo.clusterSize);
    EXPECT_EQ(1u, pr.options.dirCluster);

    // The next path has no filter and a volume of its own; a cluster size
    // that is no power of two is brought down to one.
    BeginPathReport(&pr, &run, paths[1]);
    EXPECT_EQ(paths[1], pr.path);
    EXPECT_EQ(0u, pr.options.hasFilter);
    EXPECT_STREQ("", pr.filter);
    EXPECT_EQ(0u, pr.driveInfo.clusterSize);
    EXPECT_STREQ("", pr.driveInfo.fsName);
    VolumeFound(&pr, "NTFS", 3000);
    SettleClusters(&pr, &run);
    EXPECT_EQ(2048u, pr.driveInfo.clusterSize);
    EXPECT_EQ(0u, pr.options.dirCluster);

    // After an NTFS path directories add no cluster on any volume, while the
    // command line's own record stays as it was given.
    BeginPathReport(&pr, &run, paths[2]);
    VolumeFound(&pr, "FAT", 512);
    SettleClusters(&pr, &run);
    EXPECT_EQ(0u, pr.options.dirCluster);
    EXPECT_EQ(512u, pr.driveInfo.clusterSize);
    EXPECT_EQ(1u, options.dirCluster);
    EXPECT_EQ(0u, options.hasFilter);

    // A substitute size replaces every path's own, also where the volume
    // could not be read at all.
    options.fakeCluster = 1;
    run.fakeClusterSize = 4096;
    BeginPathReport(&pr, &run, paths[0]);
    VolumeFound(&pr, "ext4", 65536);
    SettleClusters(&pr, &run);
    EXPECT_EQ(4096u, pr.driveInfo.clusterSize);
    BeginPathReport(&pr, &run, paths[1]);
    SettleClusters(&pr, &run);
    EXPECT_EQ(4096u, pr.driveInfo.clusterSize);
    EXPECT_EQ(12, pr.driveInfo.clusterShift);
}
