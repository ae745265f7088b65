#include <gtest/gtest.h>

#include <string>

#include "scan.h"

TEST(Scan, ClusterRoundingTakesWholeClustersAndAtLeastOne)
{
    EXPECT_EQ(ClustersForSize(0, 12), 1u);
    EXPECT_EQ(ClustersForSize(1, 12), 1u);
    EXPECT_EQ(ClustersForSize(4096, 12), 1u);
    EXPECT_EQ(ClustersForSize(4097, 12), 2u);
    EXPECT_EQ(ClustersForSize(5ull << 30, 15), 163840u);  // beyond 32 bits
    EXPECT_EQ(ClustersForSize(~0ull, 0), ~0ull);          // 1-byte clusters
    EXPECT_EQ(ClustersForSize(~0ull, 200), 2u);           // shift held to the width
}

TEST(Scan, UsageFieldsKeepTheirWidthsAndWidenRatherThanCut)
{
    ReportOptions o = {};
    o.showDirs = o.showFiles = o.showBytes = o.showPath = 1;
    ScanContext ctx = {};
    ctx.options = &o;
    ctx.rootPath = "";
    DriveInfo info = {};
    info.clusterShift = 12;
    UsageTotals t = {7, 3, 5};
    char buf[128];

    FormatUsageFields(buf, sizeof buf, &t, &ctx, &info);
    EXPECT_STREQ(buf, "\r     3       7          20 480  ");

    // A filter hides the Dirs column; kilo-clusters drop the remainder.
    o.hasFilter = 1;
    o.inClusters = o.inKilo = 1;
    t.clusters = 2047;
    FormatUsageFields(buf, sizeof buf, &t, &ctx, &info);
    EXPECT_STREQ(buf, "\r      7               1  ");

    o = ReportOptions();
    o.showDirs = o.showFiles = o.showBytes = 1;
    UsageTotals big = {4000000000u, 12345678u, 1ull << 40};
    FormatUsageFields(buf, sizeof buf, &big, &ctx, &info);
    EXPECT_STREQ(buf, "\r12345678 4000000000 4 503 599 627 370 496  ");

    // Indentation: two spaces a level, never past the 80 there are.
    EXPECT_STREQ(UsageIndent(0), "");
    EXPECT_EQ(std::string(UsageIndent(3)), std::string(6, ' '));
    EXPECT_EQ(std::string(UsageIndent(41)), std::string(80, ' '));
    EXPECT_EQ(std::string(UsageIndent(3000)), std::string(80, ' '));
    EXPECT_STREQ(UsageIndent(-1), "");
}
