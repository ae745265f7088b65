// spaceuse end to end, its figures and switches: every count checked
// against one made here, in each unit and mode, with a filter and in the
// recursive report.
#include <sys/stat.h>

#include <algorithm>

#include "spaceuse_e2e.h"

namespace {

// A tree with files at the cluster boundaries, names that only look special,
// a sparse file beyond 4 GiB and a nested directory.
void MakeMixedTree(const std::string& root, uint64_t cs)
{
    MakeDir(root + "/a");
    MakeFile(root + "/a/empty", 0);
    MakeFile(root + "/a/one", 1);
    MakeFile(root + "/a/exact", cs);
    MakeFile(root + "/a/over", cs + 1);
    MakeDir(root + "/a/inner");
    MakeFile(root + "/a/inner/x", cs - 1);
    // Windows drops trailing dots from names: there "..." is not a name.
    std::string dots = UnderLauncher() ? "/dots" : "/...";
    MakeDir(root + dots);
    MakeFile(root + dots + "/.profile", 3 * cs);
    MakeDir(root + "/.profile");
    MakeFile(root + "/top", 2 * cs + 7);
    MakeFile(root + "/big", 5ull << 30);
}

}  // namespace

TEST_F(SpaceuseTest, CountsEveryFileInWholeClustersAndNamesTheTree)
{
    uint64_t cs = VolumeClusterSize(root);
    ASSERT_GT(cs, 0u);
    MakeMixedTree(root, cs);

    ProcResult r = Report({ToolPathOf(root)});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    if (!UnderLauncher()) {
        EXPECT_EQ(vol.clusterSize, cs);
    }
    cs = vol.clusterSize;
    ASSERT_GT(cs, 0u);

    int header = Find("  Dirs   Files        Usage(B)  Path:");
    ASSERT_GE(header, 0) << r.out;
    EXPECT_EQ(lines[header + 1], kDashLine);

    std::map<std::string, UsageLine> subs = SubdirLines();
    ASSERT_EQ(subs.size(), 3u) << r.out;
    // Each subdirectory line first wipes the console line (even into a file).
    std::string wiped = "\r" + std::string(79, ' ') + "\r\r";
    size_t wipes = 0;
    for (size_t at = r.out.find(wiped); at != std::string::npos; at = r.out.find(wiped, at + 1))
        wipes++;
    EXPECT_EQ(wipes, 3u);
    for (const char* name : {"a", UnderLauncher() ? "dots" : "...", ".profile"}) {
        Count c = CountTree(root + "/" + name, cs, dirCluster);
        ASSERT_TRUE(subs.count(name)) << name;
        ExpectLine(subs[name], c, c.clusters * cs, name);
        EXPECT_EQ(subs[name].indent, 0u) << name;
    }
    // The boundaries: 0 and 1 byte take one cluster each, cs one, cs+1 two,
    // and the nested cs-1 one.
    if (!UnderLauncher()) {
        EXPECT_EQ(subs["a"].usage, (1 + 1 + 1 + 2 + 1 + (dirCluster ? 1 : 0)) * cs);
    }

    Count all = CountTree(root, cs, dirCluster);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], kDashLine);
    UsageLine total = ParseUsage(lines.back());
    ExpectLine(total, all, all.clusters * cs, "total");
    EXPECT_EQ(total.indent, 0u);
    EXPECT_EQ(total.name, ToolPathOf(root));
    // The sparse file is counted by its size, not by what it occupies.
    EXPECT_GE(total.usage, 5ull << 30);

    // Several paths: each total counts its own tree and nothing of the
    // paths before it.
    r = Report({Sw("i"), Sw("q"), Sw("c"), ToolPathOf(root + "/a"), ToolPathOf(root)});
    EXPECT_EQ(r.status, 0);
    std::vector<UsageLine> totals;
    for (const std::string& l : lines) {
        UsageLine u = ParseUsage(l);
        if (u.ok)
            totals.push_back(u);
    }
    ASSERT_EQ(totals.size(), 2u) << r.out;
    Count a = CountTree(root + "/a", cs, dirCluster);
    ExpectLine(totals[0], a, a.clusters, "first path");
    ExpectLine(totals[1], all, all.clusters, "second path");
}

TEST_F(SpaceuseTest, UnitsModesAndColumnChoices)
{
    uint64_t cs = VolumeClusterSize(root);
    ASSERT_GT(cs, 0u);
    MakeMixedTree(root, cs);
    std::string path = ToolPathOf(root);

    ProcResult r = Report({Sw("c"), path});
    EXPECT_EQ(r.status, 0);
    cs = vol.clusterSize;
    ASSERT_GT(cs, 0u);
    Count all = CountTree(root, cs, dirCluster);
    EXPECT_GE(Find("  Dirs   Files        Usage(c)  Path:"), 0) << r.out;
    ExpectLine(ParseUsage(lines.back()), all, all.clusters, "-c");

    // Bytes divided by 1024, the remainder dropped.
    r = Report({Sw("k"), path});
    EXPECT_GE(Find("  Dirs   Files       Usage(kB)  Path:"), 0) << r.out;
    ExpectLine(ParseUsage(lines.back()), all, (all.clusters * cs) >> 10, "-k");

    // Clusters divided by 1024.
    r = Report({Sw("k"), Sw("c"), path});
    EXPECT_GE(Find("  Dirs   Files       Usage(kc)  Path:"), 0) << r.out;
    ExpectLine(ParseUsage(lines.back()), all, all.clusters >> 10, "-k -c");

    // Quick: headers and the total, no subdirectory lines and no closing
    // dash line.
    r = Report({Sw("q"), path});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0].compare(0, 11, "Info drive "), 0);
    EXPECT_EQ(lines[2], "  Dirs   Files        Usage(B)  Path:");
    EXPECT_EQ(lines[3], kDashLine);
    ExpectLine(ParseUsage(lines[4]), all, all.clusters * cs, "-q");

    // Silent: the usage and the path only, nothing else.
    r = Report({Sw("s"), path});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    UsageLine s = ParseUsage(lines[0], bp);
    EXPECT_TRUE(s.ok) << lines[0];
    EXPECT_EQ(s.usage, all.clusters * cs);
    EXPECT_EQ(s.name, path);

    // The disk information alone: nothing is scanned.
    r = Report({Sw("I"), path});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].compare(0, 11, "Info drive "), 0);
    EXPECT_EQ(lines[1].compare(0, 7, "Total: "), 0);

    // A substitute cluster size is taken down to a power of two.
    r = Report({Sw("f3000"), Sw("c"), Sw("q"), path});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Clusters:2k(fake)"), std::string::npos) << r.out;
    Count fake = CountTree(root, 2048, dirCluster);
    ExpectLine(ParseUsage(lines.back()), fake, fake.clusters, "-f3000");
}

TEST_F(SpaceuseTest, EmptySubdirectoriesCountOneClusterUnlessToldNotTo)
{
    for (const char* n : {"x", "y", "z"})
        MakeDir(root + "/" + n);
    std::string path = ToolPathOf(root);

    ProcResult r = Report({Sw("c"), path});
    EXPECT_EQ(r.status, 0);
    std::map<std::string, UsageLine> subs = SubdirLines();
    ASSERT_EQ(subs.size(), 3u) << r.out;
    for (auto& kv : subs)
        ExpectLine(kv.second, Count(), 0, kv.first.c_str());
    Count three;
    three.dirs = 3;
    ExpectLine(ParseUsage(lines.back()), three, dirCluster ? 3 : 0, "with dir clusters");

    r = Report({Sw("c"), Sw("d"), path});
    ExpectLine(ParseUsage(lines.back()), three, 0, "-d");
}

TEST_F(SpaceuseTest, FilterCountsMatchingFilesOnlyAndDropsTheDirsColumn)
{
    MakeDir(root + "/pics");
    MakeFile(root + "/pics/a.gif", 10);
    MakeFile(root + "/pics/b.GIF", 10);
    MakeFile(root + "/pics/c.png", 10);
    MakeDir(root + "/pics/deeper");
    MakeFile(root + "/pics/deeper/d.gif", 100000);
    MakeDir(root + "/none");
    MakeFile(root + "/none/readme", 5);
    MakeFile(root + "/e.gif", 0);

    std::string path = ToolPathOf(root);
    ProcResult r = Report({path + Sep() + "*.gif"});
    EXPECT_EQ(r.status, 0);
    uint64_t cs = vol.clusterSize;
    ASSERT_GT(cs, 0u);
    EXPECT_GE(Find("  Files        Usage(B)  Path: - \"*.gif\""), 0) << r.out;
    std::map<std::string, UsageLine> subs = SubdirLines(noDirs);
    ASSERT_EQ(subs.size(), 2u) << r.out;
    Count pics = CountTree(root + "/pics", cs, dirCluster, ".gif");
    EXPECT_EQ(pics.files, 2u);
    ExpectLine(subs["pics"], pics, pics.clusters * cs, "pics");
    ExpectLine(subs["none"], Count(), 0, "none");
    Count all = CountTree(root, cs, dirCluster, ".gif");
    UsageLine total = ParseUsage(lines.back(), noDirs);
    ExpectLine(total, all, all.clusters * cs, "total");
    EXPECT_EQ(total.name, path);

    // No match at all: lines of zeros, still one per subdirectory.
    r = Report({path + Sep() + "*.nothing"});
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(Find("  Files        Usage(B)  Path: - \"*.nothing\""), 0) << r.out;
    subs = SubdirLines(noDirs);
    EXPECT_EQ(subs.size(), 2u);
    ExpectLine(ParseUsage(lines.back(), noDirs), Count(), 0, "no match");
}

TEST_F(SpaceuseTest, RecursiveReportIsPostOrderAndIndented)
{
    MakeDir(root + "/a");
    MakeDir(root + "/a/b");
    MakeDir(root + "/a/b/c");
    MakeFile(root + "/a/b/c/f", 1);
    MakeDir(root + "/a/d");
    MakeDir(root + "/e");

    ProcResult r = Report({Sw("r"), Sw("c"), ToolPathOf(root)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("scanning:"), std::string::npos) << "no progress line with -r";
    int first = Find(kDashLine);
    ASSERT_GE(first, 0);
    std::vector<UsageLine> order;
    for (size_t i = first + 1; i < lines.size() && lines[i] != kDashLine; i++)
        order.push_back(ParseUsage(lines[i]));
    ASSERT_EQ(order.size(), 5u) << r.out;

    std::map<std::string, size_t> pos;
    for (size_t i = 0; i < order.size(); i++)
        pos[order[i].name] = i;
    std::map<std::string, std::pair<std::string, size_t>> shape = {
        {"a", {"a", 0}}, {"b", {"a/b", 1}}, {"c", {"a/b/c", 2}}, {"d", {"a/d", 1}}, {"e", {"e", 0}}};
    for (auto& kv : shape) {
        ASSERT_TRUE(pos.count(kv.first)) << kv.first;
        const UsageLine& u = order[pos[kv.first]];
        EXPECT_EQ(u.indent, 2 * kv.second.second) << kv.first;
        Count c = CountTree(root + "/" + kv.second.first, vol.clusterSize, dirCluster);
        ExpectLine(u, c, c.clusters, kv.first.c_str());
    }
    // Each directory after everything inside it.
    EXPECT_LT(pos["c"], pos["b"]);
    EXPECT_LT(pos["b"], pos["a"]);
    EXPECT_LT(pos["d"], pos["a"]);
}

// S: the lines of each directory's subdirectories by usage, largest first,
// equal ones by name; in the recursive report each block (a directory's
// own subdirectories' lines, then its line) moves whole. Nothing else
// moves, and no line changes.
TEST_F(SpaceuseTest, BiggestFirstOrdersTheLinesOfEachDirectory)
{
    // Names whose listing order has nothing to do with their sizes; "tie1"
    // and "tie2" hold the same.
    const std::vector<std::pair<std::string, uint64_t>> tree = {
        {"m", 3}, {"big", 9}, {"tie2", 2}, {"a", 1}, {"tie1", 2}, {"z", 5}};
    for (const auto& d : tree) {
        MakeDir(root + "/" + d.first);
        MakeFile(root + "/" + d.first + "/f", d.second * 5000);
        for (const char* sub : {"p", "q", "r"}) {
            MakeDir(root + "/" + d.first + "/" + sub);
            MakeFile(root + "/" + d.first + "/" + sub + "/g",
                     (uint64_t)(sub[0] - 'o') * d.second * 3000);
        }
    }
    std::string path = ToolPathOf(root);
    for (bool recursive : {false, true}) {
        SCOPED_TRACE(recursive ? "recursive" : "flat");
        // No disk information: the free space may change between runs.
        std::vector<std::string> args = {Sw("D"), Sw("F"),     Sw("B"), Sw("P"),
                                         Sw("c"), Sw("f4096"), path};
        if (recursive)
            args.insert(args.begin(), Sw("r"));
        ProcResult plain = Report(args);
        std::vector<std::string> plainLines = lines;
        args.insert(args.begin(), Sw("S"));
        ProcResult sorted = Report(args);
        EXPECT_EQ(sorted.status, 0);
        EXPECT_EQ(sorted.out.size(), plain.out.size());
        ASSERT_EQ(lines.size(), plainLines.size());
        std::vector<std::string> a = lines, b = plainLines;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b) << "the same lines";
        int first = Find(kDashLine);
        ASSERT_GE(first, 0);
        for (int i = 0; i <= first; i++)
            EXPECT_EQ(lines[i], plainLines[i]) << "headers stay";
        EXPECT_EQ(lines.back(), plainLines.back()) << "the total stays last";

        // Level by level: the lines of one level, between those of the level
        // above, are in order; a block's lines come right before its line.
        std::vector<UsageLine> shown;
        for (size_t i = first + 1; i < lines.size() && lines[i] != kDashLine; i++)
            shown.push_back(ParseUsage(lines[i]));
        ASSERT_EQ(shown.size(), recursive ? 24u : 6u);
        std::vector<const UsageLine*> top;
        for (size_t i = 0; i < shown.size(); i++) {
            if (shown[i].indent != 0) {
                ASSERT_EQ(shown[i].indent, 2u);
                continue;
            }
            top.push_back(&shown[i]);
            if (recursive) {
                ASSERT_GE(i, 3u);
                // Its own three, biggest first: r, q, p.
                EXPECT_EQ(shown[i - 3].name, "r");
                EXPECT_EQ(shown[i - 2].name, "q");
                EXPECT_EQ(shown[i - 1].name, "p");
                EXPECT_GT(shown[i - 3].usage, shown[i - 2].usage);
            }
        }
        std::vector<std::string> names;
        for (const UsageLine* u : top)
            names.push_back(u->name);
        EXPECT_EQ(names, (std::vector<std::string>{"big", "z", "m", "tie1", "tie2", "a"}));
    }
}
