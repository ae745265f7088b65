// End-to-end tests of spaceuse: the built program is run on trees made here
// and every figure it prints is checked against a count made independently
// from the sizes of the files (lstat) and the volume's cluster size.
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proc.h"

namespace {

const char kDashLine[] = "--------------------------------------------------------------";

// ---- running the program ------------------------------------------------

std::string Sw(const char* letters)
{
    return std::string(1, UnderLauncher() ? '/' : '-') + letters;
}

// How the program names a directory of the test: the path itself natively,
// the drive that wine maps the root to otherwise.
std::string ToolPathOf(const std::string& path)
{
    if (!UnderLauncher())
        return path;
    std::string p = "Z:" + path;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

char Sep()
{
    return UnderLauncher() ? '\\' : '/';
}

ProcResult RunSpaceuse(const std::vector<std::string>& args, const std::string& cwd = std::string())
{
    ProcOptions opt;
    opt.cwd = cwd;
    opt.timeoutSec = 120;
    ProcResult r = RunTool("spaceuse", args, opt);
    if (UnderLauncher()) {
        // The launcher adds notes of its own; the program's lines are the
        // ones it writes, with the Windows runtime's line endings.
        std::string own;
        size_t start = 0;
        while (start < r.err.size()) {
            size_t nl = r.err.find('\n', start);
            std::string l = r.err.substr(start, nl == std::string::npos ? nl : nl - start + 1);
            start = nl == std::string::npos ? r.err.size() : nl + 1;
            if (l.compare(0, 7, "Error: ") != 0)
                continue;
            if (l.size() >= 2 && l[l.size() - 2] == '\r')
                l.erase(l.size() - 2, 1);
            own += l;
        }
        r.err = own;
    }
    return r;
}

// The lines as a console would show them: what follows the last carriage
// return of each line (progress lines are wiped and overwritten).
std::vector<std::string> ShownLines(const std::string& out)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t nl = out.find('\n', start);
        if (nl == std::string::npos)
            break;
        std::string l = out.substr(start, nl - start);
        if (!l.empty() && l.back() == '\r')
            l.pop_back();  // the Windows runtime's line ending
        size_t cr = l.rfind('\r');
        if (cr != std::string::npos)
            l = l.substr(cr + 1);
        lines.push_back(l);
        start = nl + 1;
    }
    return lines;
}

struct Columns {
    bool dirs = true, files = true, bytes = true, path = true;
};
const Columns noDirs = {false, true, true, true};  // with a filter
const Columns bp = {false, false, true, true};     // -s: usage and path

struct UsageLine {
    bool ok = false;
    uint64_t dirs = 0, files = 0, usage = 0;
    size_t indent = 0;
    std::string name;
};

bool TakeNumber(const std::string& field, uint64_t* value)
{
    std::string digits;
    for (char c : field) {
        if (c >= '0' && c <= '9')
            digits += c;
        else if (c != ' ')
            return false;
    }
    if (digits.empty())
        return false;
    *value = strtoull(digits.c_str(), nullptr, 10);
    return true;
}

// Reads a report line by its field widths: 6+1 Dirs, 7+1 Files, 15+2 usage,
// then the indentation and the name.
UsageLine ParseUsage(const std::string& line, const Columns& c = Columns())
{
    UsageLine u;
    size_t p = 0;
    auto field = [&](size_t width, size_t gap, uint64_t* v) {
        if (line.size() < p + width + gap || !TakeNumber(line.substr(p, width), v))
            return false;
        if (line.compare(p + width, gap, std::string(gap, ' ')) != 0)
            return false;
        p += width + gap;
        return true;
    };
    if (c.dirs && !field(6, 1, &u.dirs))
        return u;
    if (c.files && !field(7, 1, &u.files))
        return u;
    if (c.bytes && !field(15, 2, &u.usage))
        return u;
    if (c.path) {
        std::string rest = line.substr(p);
        u.indent = rest.find_first_not_of(' ');
        if (u.indent == std::string::npos)
            return u;
        u.name = rest.substr(u.indent);
    } else if (p != line.size()) {
        return u;
    }
    u.ok = true;
    return u;
}

struct Volume {
    uint64_t clusterSize = 0;
    std::string fs;
};

// The cluster size and file system as the disk-information header shows them.
Volume HeaderVolume(const std::vector<std::string>& lines)
{
    Volume v;
    for (const std::string& l : lines) {
        if (l.compare(0, 11, "Info drive ") != 0)
            continue;
        size_t fs = l.find("- FS:");
        if (fs != std::string::npos) {
            size_t end = l.find(" - ", fs + 5);
            v.fs = l.substr(fs + 5, end == std::string::npos ? std::string::npos : end - fs - 5);
        }
        size_t c = l.find("Clusters:");
        if (c != std::string::npos) {
            v.clusterSize = strtoull(l.c_str() + c + 9, nullptr, 10);
            size_t after = l.find_first_not_of("0123456789", c + 9);
            if (after != std::string::npos && l[after] == 'k')
                v.clusterSize *= 1024;
        }
    }
    return v;
}

// ---- making trees and counting them -----------------------------------

void MakeDir(const std::string& p)
{
    ASSERT_EQ(mkdir(p.c_str(), 0755), 0) << p;
}

void MakeFile(const std::string& p, uint64_t size)
{
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << p;
    if (size > 0 && size < 65536) {
        std::string data(size, 'x');
        ASSERT_EQ(write(fd, data.data(), size), (ssize_t)size);
    } else if (size > 0) {
        ASSERT_EQ(ftruncate(fd, (off_t)size), 0);  // sparse
    }
    close(fd);
}

std::string ReadAll(const std::string& path)
{
    std::string data;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return data;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data.append(buf, n);
    fclose(f);
    return data;
}

uint64_t VolumeClusterSize(const std::string& dir)
{
    struct statvfs sv;
    if (statvfs(dir.c_str(), &sv) != 0)
        return 0;
    return sv.f_frsize;
}

struct Count {
    uint64_t files = 0, dirs = 0, clusters = 0;
};

uint64_t ClustersOf(uint64_t size, uint64_t cs)
{
    return size == 0 ? 1 : (size + cs - 1) / cs;
}

bool EndsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Everything below `dir`; links are files of their own size. With a suffix,
// only files ending in it count, and directories add nothing themselves.
Count CountTree(const std::string& dir, uint64_t cs, bool dirCluster,
                const std::string& suffix = std::string())
{
    Count c;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return c;
    while (struct dirent* de = readdir(d)) {
        std::string name = de->d_name;
        if (name == "." || name == "..")
            continue;
        std::string p = dir + "/" + name;
        struct stat st;
        if (lstat(p.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            Count sub = CountTree(p, cs, dirCluster, suffix);
            c.files += sub.files;
            c.dirs += sub.dirs;
            c.clusters += sub.clusters;
            if (suffix.empty()) {
                c.dirs++;
                c.clusters += dirCluster ? 1 : 0;
            }
        } else if (suffix.empty() || EndsWith(name, suffix)) {
            c.files++;
            c.clusters += ClustersOf((uint64_t)st.st_size, cs);
        }
    }
    closedir(d);
    return c;
}

class SpaceuseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = MakeTempDir("spaceuse");
        ASSERT_FALSE(root.empty());
        // The name the program reports for it (symbolic links such as a
        // /tmp that is itself a link resolved).
        char real[4096];
        ASSERT_NE(realpath(root.c_str(), real), nullptr);
        root = real;
    }
    void TearDown() override { RemoveTree(root); }

    // Runs the report on `dir` and learns the volume's geometry from it.
    ProcResult Report(const std::vector<std::string>& args)
    {
        ProcResult r = RunSpaceuse(args);
        lines = ShownLines(r.out);
        vol = HeaderVolume(lines);
        dirCluster = vol.fs != "NTFS";
        return r;
    }

    // Index of the line equal to `text`, or -1.
    int Find(const std::string& text) const
    {
        for (size_t i = 0; i < lines.size(); i++)
            if (lines[i] == text)
                return (int)i;
        return -1;
    }

    // The report lines between the two dash lines, by name.
    std::map<std::string, UsageLine> SubdirLines(const Columns& c = Columns()) const
    {
        std::map<std::string, UsageLine> m;
        int first = Find(kDashLine);
        for (size_t i = first + 1; first >= 0 && i < lines.size() && lines[i] != kDashLine; i++) {
            UsageLine u = ParseUsage(lines[i], c);
            EXPECT_TRUE(u.ok) << "line: [" << lines[i] << "]";
            m[u.name] = u;
        }
        return m;
    }

    void ExpectLine(const UsageLine& u, const Count& c, uint64_t usage, const char* what) const
    {
        EXPECT_TRUE(u.ok) << what;
        EXPECT_EQ(u.dirs, c.dirs) << what;
        EXPECT_EQ(u.files, c.files) << what;
        EXPECT_EQ(u.usage, usage) << what;
    }

    std::string root;
    std::vector<std::string> lines;
    Volume vol;
    bool dirCluster = true;
};

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

// ---- tests ----------------------------------------------------------------

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

TEST_F(SpaceuseTest, FailingPathIsReportedAndTheNextOneStillRuns)
{
    MakeDir(root + "/here");
    MakeFile(root + "/here/f", 1);
    std::string missing = ToolPathOf(root + "/missing");

    ProcResult r = Report({Sw("s"), missing, ToolPathOf(root + "/here")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: could not access directory \"" + missing + Sep() +
                         "\", does it exist?\n");
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(ParseUsage(lines[0], bp).name, ToolPathOf(root + "/here"));

    // A wildcard in an earlier component makes the last one the filter; the
    // directory with the star cannot be entered.
    r = Report({Sw("s"), ToolPathOf(root + "/he*/f")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: could not access directory \"" + ToolPathOf(root + "/he*") + Sep() +
                         "\", does it exist?\n");
}

TEST_F(SpaceuseTest, RelativePathsAreReadAgainstTheStartingDirectory)
{
    // If the second argument were read against the first one's directory it
    // would find a/b rather than b.
    MakeDir(root + "/a");
    MakeDir(root + "/a/b");
    MakeDir(root + "/b");
    MakeFile(root + "/b/f", 1);

    ProcResult r = RunSpaceuse({Sw("s"), "a", "b", ""}, root);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> shown = ShownLines(r.out);
    ASSERT_EQ(shown.size(), 3u) << r.out;
    EXPECT_EQ(ParseUsage(shown[0], bp).name, ToolPathOf(root + "/a"));
    EXPECT_EQ(ParseUsage(shown[1], bp).name, ToolPathOf(root + "/b"));
    // An empty argument is the starting directory itself.
    EXPECT_EQ(ParseUsage(shown[2], bp).name, ToolPathOf(root));

    // No argument at all: the current directory, with every column.
    r = RunSpaceuse({}, root + "/b");
    EXPECT_EQ(r.status, 0);
    shown = ShownLines(r.out);
    ASSERT_FALSE(shown.empty());
    UsageLine total = ParseUsage(shown.back());
    EXPECT_TRUE(total.ok) << r.out;
    EXPECT_EQ(total.files, 1u);
    EXPECT_EQ(total.name, ToolPathOf(root + "/b"));
}

// Native behaviour of links, access rights and depth.

TEST_F(SpaceuseTest, LinksAreNeverFollowed)
{
    MakeDir(root + "/sub");
    MakeFile(root + "/sub/big", 1 << 20);
    ASSERT_EQ(symlink("..", (root + "/sub/up").c_str()), 0);
    if (!UnderLauncher()) {
        ASSERT_EQ(symlink("big", (root + "/sub/alias").c_str()), 0);
    }

    ProcResult r = Report({Sw("r"), Sw("c"), ToolPathOf(root)});
    ASSERT_FALSE(r.timedOut) << "a link to a parent must not be walked";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    uint64_t cs = vol.clusterSize;
    UsageLine total = ParseUsage(lines.back());
    if (!UnderLauncher()) {
        // A link is a file of its own size: one cluster each here.
        Count all = CountTree(root, cs, dirCluster);
        EXPECT_EQ(all.files, 3u);
        EXPECT_EQ(all.clusters, ClustersOf(1 << 20, cs) + 2 + (dirCluster ? 1 : 0));
        ExpectLine(total, all, all.clusters, "total");
    } else {
        // Windows sees a directory link (a reparse point): counted as a
        // directory where it stands, with a line of zeros, never entered.
        std::map<std::string, UsageLine> subs = SubdirLines();
        ExpectLine(subs["up"], Count(), 0, "up");
        EXPECT_EQ(subs["up"].indent, 2u);
        Count all;
        all.dirs = 2;
        all.files = 1;
        ExpectLine(total, all, ClustersOf(1 << 20, cs) + (dirCluster ? 2 : 0), "total");
    }
}

// Runs spaceuse through a shell, after `setup` (such as a lower descriptor
// limit or another user), leaving the test process as it is.
ProcResult RunInShell(const std::string& setup, const std::vector<std::string>& args,
                      const std::string& scratch)
{
    std::string out = scratch + ".out", err = scratch + ".err";
    std::string cmd = setup + " '" + ToolPath("spaceuse") + "'";
    for (const std::string& a : args)
        cmd += " '" + a + "'";
    cmd += " >'" + out + "' 2>'" + err + "'";
    int st = system(cmd.c_str());
    ProcResult r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

// True when an ordinary user can reach `path` (every directory above it
// searchable by others).
bool OthersCanReach(const std::string& path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        struct stat st;
        if (stat(path.substr(0, at).c_str(), &st) != 0 || !(st.st_mode & S_IXOTH))
            return false;
    }
    return true;
}

TEST_F(SpaceuseTest, UnlistableSubdirectoryKeepsItsLineAndIsReported)
{
    if (UnderLauncher())
        GTEST_SKIP() << "access rights and descriptor limits are POSIX ones";
    MakeDir(root + "/open");
    MakeFile(root + "/open/f", 1);
    MakeDir(root + "/locked");
    MakeFile(root + "/locked/hidden", 1 << 20);
    ASSERT_EQ(chmod((root + "/locked").c_str(), 0), 0);
    // Names can be listed here, but not one size read.
    MakeDir(root + "/nosearch");
    MakeFile(root + "/nosearch/file", 1 << 20);
    ASSERT_EQ(chmod((root + "/nosearch").c_str(), 0444), 0);
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);

    // Root reads everything: the check then runs as an ordinary user.
    if (geteuid() != 0 || OthersCanReach(root)) {
        std::string asUser =
            geteuid() == 0 ? "exec setpriv --reuid=65534 --regid=65534 --clear-groups" : "exec";
        ProcResult r = RunInShell(asUser, {Sw("c"), root}, root);
        lines = ShownLines(r.out);
        vol = HeaderVolume(lines);
        EXPECT_EQ(r.status, 1);
        for (const char* name : {"locked", "nosearch"}) {
            std::string msg =
                "Error: couldn't calculate size of directory: \"" + root + "/" + name + "\"\n";
            EXPECT_NE(r.err.find(msg), std::string::npos) << r.err;
        }
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        std::map<std::string, UsageLine> subs = SubdirLines();
        ExpectLine(subs["locked"], Count(), 0, "locked");
        ExpectLine(subs["nosearch"], Count(), 0, "nosearch");
        Count c;
        c.dirs = 3;
        c.files = 1;
        c.clusters = 1 + (vol.fs != "NTFS" ? 3 : 0);
        ExpectLine(ParseUsage(lines.back()), c, c.clusters, "total");
    }

    // Out of descriptors (a chain deeper than the limit allows open at
    // once): the directories beyond are reported, not silently dropped.
    std::string p = root + "/open";
    for (int i = 0; i < 60; i++) {
        p += "/d";
        MakeDir(p);
    }
    ProcResult r = RunInShell("ulimit -n 32 && exec", {Sw("c"), Sw("q"), root + "/open"}, root);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error: couldn't calculate size of directory: \"" + root + "/open/d/d/"),
              std::string::npos)
        << r.err;
    lines = ShownLines(r.out);
    ASSERT_FALSE(lines.empty());
    UsageLine total = ParseUsage(lines.back());
    EXPECT_TRUE(total.ok) << r.out;
    // The directory it could not open is still counted; what lies below it
    // cannot be.
    EXPECT_GT(total.dirs, 10u);
    EXPECT_LT(total.dirs, 60u);
    EXPECT_EQ(total.files, 1u);

    chmod((root + "/locked").c_str(), 0755);
    chmod((root + "/nosearch").c_str(), 0755);
}

TEST_F(SpaceuseTest, VeryDeepTreeIsReportedInFull)
{
    if (UnderLauncher()) {
        // Windows lists through bounded relative paths: a directory whose
        // path does not fit is reported, never cut short or overrun.
        std::string name(100, 'n'), p = root;
        for (int i = 0; i < 7; i++) {
            p += "/" + name;
            MakeDir(p);
        }
        MakeFile(p + "/f", 1);
        ProcResult r = Report({Sw("c"), ToolPathOf(root)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.compare(0, 46, "Error: couldn't calculate size of directory: \""), 0) << r.err;
        UsageLine total = ParseUsage(lines.back());
        EXPECT_TRUE(total.ok) << r.out;
        EXPECT_GE(total.dirs, 2u);
        EXPECT_EQ(total.files, 0u);
        return;
    }
    const int kDepth = 3000;
    // Built relative to descriptors: the full path is far beyond PATH_MAX.
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < kDepth; i++) {
        ASSERT_EQ(mkdirat(fd, "d", 0755), 0) << i;
        int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    int f = openat(fd, "leaf", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(f, 0);
    ASSERT_EQ(write(f, "x", 1), 1);
    close(f);
    close(fd);

    ProcResult r = Report({Sw("c"), root});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    UsageLine total = ParseUsage(lines.back());
    EXPECT_TRUE(total.ok) << lines.back();
    EXPECT_EQ(total.dirs, (uint64_t)kDepth);
    EXPECT_EQ(total.files, 1u);
    EXPECT_EQ(total.usage, 1u + (dirCluster ? kDepth : 0));

    // Every level gets its line; indentation stops at 80 spaces.
    r = Report({Sw("r"), Sw("c"), root});
    EXPECT_EQ(r.status, 0);
    int first = Find(kDashLine);
    ASSERT_GE(first, 0);
    size_t count = 0;
    for (size_t i = first + 1; i < lines.size() && lines[i] != kDashLine; i++, count++) {
        UsageLine u = ParseUsage(lines[i]);
        ASSERT_TRUE(u.ok) << lines[i];
        // Post-order: the deepest directory comes first.
        size_t depth = kDepth - 1 - count;
        ASSERT_EQ(u.indent, std::min<size_t>(2 * depth, 80)) << count;
        ASSERT_EQ(u.dirs, count) << count;
    }
    EXPECT_EQ(count, (size_t)kDepth);

    // A tree this deep is beyond what the removal helper walks.
    EXPECT_EQ(system(("rm -rf '" + root + "/d'").c_str()), 0);
}

// Windows paths: drive letters and drive-relative arguments.

TEST_F(SpaceuseTest, DriveLettersAndDriveRelativePaths)
{
    if (!UnderLauncher())
        GTEST_SKIP() << "there are no drive letters here";
    MakeDir(root + "/sub");
    MakeFile(root + "/sub/f", 1);
    std::string lower = ToolPathOf(root);
    lower[0] = 'z';

    // The letter is taken upper-case; the trailing separator is not doubled.
    ProcResult r = Report({Sw("s"), lower + "\\"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(ParseUsage(lines[0], bp).name, ToolPathOf(root));

    // Relative to the drive's current directory, which is where it starts.
    r = RunSpaceuse({Sw("s"), "z:", "z:sub"}, root);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> shown = ShownLines(r.out);
    ASSERT_EQ(shown.size(), 2u) << r.out;
    EXPECT_EQ(ParseUsage(shown[0], bp).name, ToolPathOf(root));
    EXPECT_EQ(ParseUsage(shown[1], bp).name, ToolPathOf(root + "/sub"));

    // A letter with no drive behind it, then a good path.
    char letter = 0;
    const char* home = getenv("HOME");
    std::string dosdevices = (getenv("WINEPREFIX") ? std::string(getenv("WINEPREFIX"))
                                                   : std::string(home ? home : "") + "/.wine") +
                             "/dosdevices/";
    for (char c = 'q'; c <= 'y' && !letter; c++) {
        struct stat st;
        std::string dev = dosdevices + c + ":";
        if (lstat(dev.c_str(), &st) != 0 && lstat((dev + ":").c_str(), &st) != 0)
            letter = c;
    }
    if (letter) {
        std::string arg = std::string(1, letter) + ":\\x";
        r = Report({Sw("s"), arg, ToolPathOf(root)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("Error: drive does not exist: ") +
                             (char)(letter - 'a' + 'A') + ">\n");
        ASSERT_EQ(lines.size(), 1u) << r.out;
        EXPECT_EQ(ParseUsage(lines[0], bp).name, ToolPathOf(root));
    }

    // A drive other than the test's: c:\windows is named C:\windows.
    r = Report({Sw("s"), "c:\\windows\\system32\\drivers"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_FALSE(lines.empty()) << r.out;
    UsageLine u = ParseUsage(lines.back(), bp);
    EXPECT_TRUE(u.ok) << lines.back();
    EXPECT_EQ(u.name.compare(0, 3, "C:\\"), 0) << u.name;
}

}  // namespace
