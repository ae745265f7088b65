// spaceuse end to end, paths that fail and odd trees: a missing path
// among good ones, relative paths, links, other file systems mounted inside,
// directories it may not read, too few descriptors, trees deeper than any
// path, and output that cannot be written.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <signal.h>
#include <string.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "spaceuse_e2e.h"

namespace {

// Which of the entries `a` and `b` of `dir` its listing gives first.
std::string FirstListed(const std::string& dir, const std::string& a, const std::string& b)
{
    std::string first;
    DIR* d = opendir(dir.c_str());
    while (d && first.empty()) {
        struct dirent* e = readdir(d);
        if (!e)
            break;
        if (e->d_name == a || e->d_name == b)
            first = e->d_name;
    }
    if (d)
        closedir(d);
    return first.empty() ? a : first;
}

}  // namespace

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

namespace {

// A file system mounted for the length of a test, detached at its end.
struct Mounted {
    Mounted(const std::string& at, const char* type) : path(at)
    {
        ok = mount(type, at.c_str(), type, 0, nullptr) == 0;
        why = ok ? "" : strerror(errno);
    }
    ~Mounted()
    {
        if (ok)
            umount2(path.c_str(), MNT_DETACH);
    }
    std::string path, why;
    bool ok;
};

}  // namespace

TEST_F(SpaceuseTest, OtherFileSystemsInsideTheTreeAreCountedButNotEntered)
{
    if (UnderLauncher())
        GTEST_SKIP() << "Windows sees a mounted volume as a reparse point (links test)";
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a file system needs root";
    MakeDir(root + "/a");
    MakeFile(root + "/a/f", 5000);
    MakeDir(root + "/mnt");
    MakeDir(root + "/proc");
    // The disk information goes: the free space may change between runs.
    const std::vector<std::string> cols = {Sw("D"), Sw("F"), Sw("B"), Sw("P"), Sw("r"), Sw("c")};
    std::vector<std::string> args = cols;
    args.push_back(root);
    ProcResult before = Report(args);
    ASSERT_EQ(before.status, 0) << before.err;

    Mounted tmp(root + "/mnt", "tmpfs");
    if (!tmp.ok)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << tmp.why;
    MakeDir(root + "/mnt/sub");
    MakeFile(root + "/mnt/sub/big", 1 << 20);
    // A pseudo file system too, where it can be had: one whose entries
    // come and go and may not be read.
    Mounted proc(root + "/proc", "proc");
    ProcResult after = Report(args);
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(after.err, "");
    EXPECT_EQ(after.out, before.out) << "the mounts changed the tree's figures";

    // The mount point given as the path: its own volume, entered.
    ProcResult r = Report({Sw("c"), root + "/mnt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vol.fs, "tmpfs");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].compare(0, 12 + tmp.path.size(), "Info drive " + tmp.path + ":"), 0)
        << lines[0];
    Count c = CountTree(tmp.path, vol.clusterSize, dirCluster);
    EXPECT_EQ(c.files, 1u);
    ExpectLine(ParseUsage(lines.back()), c, c.clusters, "the mount point");
}

// An ordinary user's run over a directory it cannot list and one whose
// sizes it cannot read: both reported, both lines kept with zeros.
void SpaceuseTest::ExpectUnlistableReportedToAUser()
{
    OrdinaryUser user = AsOrdinaryUser();
    ProcResult r = RunInShell(user.setup, {Sw("c"), root}, root, false, user.program);
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

    // One such directory alone fails the run all the same.
    ASSERT_EQ(chmod((root + "/nosearch").c_str(), 0755), 0);
    r = RunInShell(user.setup, {Sw("s"), root}, root, false, user.program);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: couldn't calculate size of directory: \"" + root + "/locked\"\n");

    // No path, in a current directory that cannot be entered, is told as
    // "." is.
    std::string inside = "cd '" + root + "/open' && chmod 0 . && ";
    for (const char* arg : {"", "."}) {
        std::vector<std::string> args;
        if (arg[0])
            args.push_back(arg);
        r = RunInShell(inside + user.setup, args, root, false, user.program);
        chmod((root + "/open").c_str(), 0755);
        EXPECT_EQ(r.status, 1) << arg;
        EXPECT_EQ(r.err, "Error: could not access directory \"./\", does it exist?\n") << arg;
    }
}

// Out of descriptors: each level of this chain has a second subdirectory,
// listed after the one the chain goes on in, so every level's listing stays
// open while the walk is below it and more are needed at once than the
// limit allows. The directories beyond are reported, with the cause once,
// not silently dropped.
void SpaceuseTest::ExpectDescriptorShortageReported()
{
    const int kLevels = 150;
    std::string p = root + "/open";
    for (int i = 0; i < kLevels; i++) {
        MakeDir(p + "/d");
        MakeDir(p + "/e");
        p += "/" + FirstListed(p, "d", "e");
    }
    ProcResult r = RunInShell("ulimit -n 32 && exec", {Sw("c"), Sw("q"), root + "/open"}, root);
    EXPECT_EQ(r.status, 1);
    std::string unlistable = "Error: couldn't calculate size of directory: \"" + root + "/open/";
    size_t at = r.err.find(unlistable);
    ASSERT_NE(at, std::string::npos) << r.err;
    // Far below the top: the levels above it were all counted.
    size_t from = at + unlistable.size();
    std::string named = r.err.substr(from, r.err.find('"', from) - from);
    EXPECT_GT(std::count(named.begin(), named.end(), '/'), 10) << named;
    const std::string cause = "Error: out of file descriptors (too many directories open at once)";
    size_t c = r.err.find(cause);
    EXPECT_NE(c, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(cause, c + 1), std::string::npos) << "the cause is told once";
    lines = ShownLines(r.out);
    ASSERT_FALSE(lines.empty());
    UsageLine total = ParseUsage(lines.back());
    EXPECT_TRUE(total.ok) << r.out;
    // The directory it could not open is still counted; what lies below it
    // cannot be.
    EXPECT_GT(total.dirs, 10u);
    EXPECT_LT(total.dirs, 2u * kLevels);
    EXPECT_EQ(total.files, 1u);
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
    if (geteuid() != 0 || OthersCanReach(root))
        ExpectUnlistableReportedToAUser();
    else
        ADD_FAILURE() << "an ordinary user cannot reach " << root;
    ExpectDescriptorShortageReported();

    chmod((root + "/locked").c_str(), 0755);
    chmod((root + "/nosearch").c_str(), 0755);
}

namespace {

// A chain of `depth` directories "d" below root with one file at its end,
// built relative to descriptors: the full path is far beyond PATH_MAX.
void MakeDeepChain(const std::string& root, int depth)
{
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < depth; i++) {
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
}

}  // namespace

TEST_F(SpaceuseTest, VeryDeepTreeIsReportedInFull)
{
    // Under wine as deep as the host lets wine go (its paths become the
    // host's, of at most PATH_MAX bytes): still far past 260 characters.
    const int kDepth = UnderLauncher() ? 400 : 12000;
    ASSERT_NO_FATAL_FAILURE(MakeDeepChain(root, kDepth));

    // Natively far deeper than the descriptors a process may hold, with and
    // without reading ahead: a directory's listing is closed once its
    // subdirectories are open, and the listings the walk holds are not
    // charged to what may be read ahead of it.
    std::vector<std::string> setups = {"ulimit -n 20 && exec", "ulimit -n 20 && exec taskset -c 0"};
    if (UnderLauncher())
        setups = {"wine"};
    for (const std::string& setup : setups) {
        ProcResult r = UnderLauncher() ? RunSpaceuse({Sw("c"), ToolPathOf(root)})
                                       : RunInShell(setup, {Sw("c"), root}, root);
        EXPECT_EQ(r.status, 0) << setup;
        EXPECT_EQ(r.err, "") << setup;
        lines = ShownLines(r.out);
        vol = HeaderVolume(lines);
        dirCluster = vol.fs != "NTFS";
        ASSERT_FALSE(lines.empty()) << r.out;
        UsageLine total = ParseUsage(lines.back());
        EXPECT_TRUE(total.ok) << lines.back();
        EXPECT_EQ(total.dirs, (uint64_t)kDepth) << setup;
        EXPECT_EQ(total.files, 1u);
        EXPECT_EQ(total.usage, 1u + (dirCluster ? kDepth : 0));
    }

#if !defined(__SANITIZE_ADDRESS__)
    // Each level the walk holds takes some memory: short of it, the levels
    // it could not hold are reported and the cause is told once. (The
    // sanitizer's own reservations exceed any such limit.)
    if (!UnderLauncher()) {
        ProcResult r =
            RunInShell("ulimit -v 8000 && exec taskset -c 0", {Sw("c"), Sw("q"), root}, root);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(
            r.err.rfind("Error: couldn't calculate size of directory: \"" + root + "/d/d/", 0), 0u)
            << r.err.substr(0, 200);
        const std::string cause = "\nError: out of memory (";
        EXPECT_NE(r.err.find(cause), std::string::npos) << r.err.substr(r.err.size() - 300);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2);
        lines = ShownLines(r.out);
        ASSERT_FALSE(lines.empty()) << r.out;
        UsageLine total = ParseUsage(lines.back());
        EXPECT_GT(total.dirs, 100u);
        EXPECT_LT(total.dirs, (uint64_t)kDepth);
    }
#endif

    // Every level gets its line; indentation stops at 80 spaces.
    ProcResult rr = Report({Sw("r"), Sw("c"), ToolPathOf(root)});
    EXPECT_EQ(rr.status, 0);
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

// A report (or help text) that cannot be written is a failure said in one
// line on standard error, not a success: a full device, no descriptor at
// all, a pipe nobody reads any more (with SIGPIPE ignored, as a parent may
// leave it).
TEST_F(SpaceuseTest, OutputThatCannotBeWrittenIsAFailure)
{
    MakeDir(root + "/sub");
    MakeFile(root + "/sub/f", 1);
    for (const UnwritableOutput& c : UnwritableOutputs()) {
        for (bool help : {false, true}) {
            SCOPED_TRACE(std::string(strerror(c.err)) + (help ? ", help" : ""));
            std::vector<std::string> args = {Sw("r"), ToolPathOf(root)};
            if (help)
                args = {Sw("?")};
            ProcResult r = RunSpaceuse(args, "", c.opt);
            EXPECT_EQ(r.status, 1);
            std::string want = "Error: cannot write the report: ";
            if (!UnderLauncher())
                want += std::string(strerror(c.err)) + "\n";
            EXPECT_EQ(r.err.rfind(want, 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
}
