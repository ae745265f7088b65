// spaceuse end to end, the walk while it runs: directories removed under
// it, the same report whether directories are read ahead or not, and an
// interrupt while the readers run.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "spaceuse_e2e.h"

namespace {

// Starts spaceuse with `args` after `setup` (a shell prefix), its standard
// output a pipe that the caller reads; both streams go there.
pid_t StartWithPipe(const std::string& setup, const std::vector<std::string>& args, int* outFd)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    std::string cmd = setup + " '" + ToolPath("spaceuse") + "'";
    for (const std::string& a : args)
        cmd += " '" + a + "'";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    *outFd = fds[0];
    return pid;
}

// Reads what is left of `fd` and closes it; the exit status of `pid`.
int ReadToEnd(int fd, pid_t pid, std::string* out)
{
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out->append(buf, (size_t)n);
    close(fd);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

}  // namespace

// Directories removed after their parent was listed and before the walk
// reached them: each keeps its line of zeros and gets its error line, and
// the run fails. The walk is held up partway through a long directory by a
// pipe that is not read, far more directories behind it than are ever
// read ahead, and the last ones in the listing are removed meanwhile.
TEST_F(SpaceuseTest, DirectoriesRemovedWhileTheScanRunsAreReported)
{
    if (UnderLauncher())
        GTEST_SKIP() << "the walk is held up with a POSIX pipe";
    MakeDir(root + "/long");
    for (int i = 0; i < 1500; i++)
        MakeDir(root + "/long/e" + std::to_string(i));
    std::vector<std::string> order = ListingOrder(root + "/long");
    ASSERT_EQ(order.size(), 1500u);
    for (const char* setup : {"exec", "exec taskset -c 0"}) {
        SCOPED_TRACE(setup);
        std::vector<std::string> victims(order.end() - 20, order.end());
        int fd = -1;
        pid_t pid = StartWithPipe(setup, {Sw("r"), Sw("c"), root}, &fd);
        ASSERT_GT(pid, 0);
        // Until the pipe is full and the walk waits for it.
        int queued = 0;
        for (int tries = 0; tries < 600 && queued < 60000; tries++) {
            usleep(50 * 1000);
            ASSERT_EQ(ioctl(fd, FIONREAD, &queued), 0);
        }
        EXPECT_GE(queued, 60000);
        usleep(200 * 1000);
        for (const std::string& v : victims)
            ASSERT_EQ(rmdir((root + "/long/" + v).c_str()), 0) << v;
        std::string out;
        int status = ReadToEnd(fd, pid, &out);
        EXPECT_EQ(status, 1);
        lines = ShownLines(out);
        size_t errors = 0;
        for (const std::string& l : lines)
            errors += l.rfind("Error: ", 0) == 0;
        EXPECT_EQ(errors, victims.size());
        for (const std::string& v : victims) {
            std::string msg = "Error: couldn't calculate size of directory: \"" + root + "/long/" +
                              v + "\"";
            EXPECT_GE(Find(msg), 0) << v;
            auto line = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
                return ParseUsage(l).name == v;
            });
            ASSERT_NE(line, lines.end()) << v << "'s line of zeros";
            ExpectLine(ParseUsage(*line), Count(), 0, v.c_str());
        }
        // The next round finds them again.
        for (const std::string& v : victims)
            MakeDir(root + "/long/" + v);
        order = ListingOrder(root + "/long");
    }
}

// The report is the same, byte for byte and with its error lines at the
// same places among the others, whether directories are read ahead on other
// threads or by the walk alone (on one processor). The large directory is
// more than a listing held whole, so the walk reads the rest of it itself;
// its files take three clusters each, so a size lost there shows.
TEST_F(SpaceuseTest, ReadingAheadChangesNothingInTheReport)
{
    if (UnderLauncher())
        GTEST_SKIP() << "processor affinity is set with a POSIX tool";
    MakeDir(root + "/big");
    for (int i = 0; i < 12000; i++) {
        std::string name = root + "/big/a-file-with-a-longer-name-" + std::to_string(i);
        int fd = open(name.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 10000), 0);  // sparse: counted by its length
        close(fd);
    }
    for (int i = 0; i < 40; i++) {
        std::string sub = root + "/big/sub" + std::to_string(i);
        MakeDir(sub);
        MakeFile(sub + "/x.gif", i);
    }
    for (int a = 0; a < 5; a++) {
        MakeDir(root + "/t" + std::to_string(a));
        for (int b = 0; b < 6; b++) {
            std::string d = root + "/t" + std::to_string(a) + "/u" + std::to_string(b);
            MakeDir(d);
            MakeFile(d + "/y.gif", 4097);
            MakeFile(d + "/z", 1);
        }
    }
    OrdinaryUser user;
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    if (geteuid() != 0 || OthersCanReach(root)) {
        MakeDir(root + "/t2/locked");
        MakeDir(root + "/t4/nosearch");
        MakeFile(root + "/t4/nosearch/w.gif", 1);
        ASSERT_EQ(chmod((root + "/t2/locked").c_str(), 0), 0);
        ASSERT_EQ(chmod((root + "/t4/nosearch").c_str(), 0444), 0);
        user = AsOrdinaryUser();
    }
    const std::vector<std::string> cols = {Sw("D"), Sw("F"), Sw("B"), Sw("P")};
    for (const std::vector<std::string>& extra : std::vector<std::vector<std::string>>{
             {Sw("r"), root}, {root}, {Sw("r"), root + "/*.gif"}, {Sw("q"), root, root + "/t3"}}) {
        std::vector<std::string> args = cols;
        args.insert(args.end(), extra.begin(), extra.end());
        ProcResult one = RunInShell(user.setup + " taskset -c 0", args, root, true, user.program);
        ProcResult all = RunInShell(user.setup, args, root, true, user.program);
        EXPECT_EQ(one.status, all.status) << extra[0];
        EXPECT_GT(std::count(one.out.begin(), one.out.end(), '\n'), 2) << one.out;
        EXPECT_TRUE(one.out == all.out) << extra[0] << ":\n" << one.out << "\n---\n" << all.out;
    }
    chmod((root + "/t2/locked").c_str(), 0755);
    chmod((root + "/t4/nosearch").c_str(), 0755);

    // What both runs share: every entry of the large directory counted
    // once with its size, also those past the part of its listing held
    // whole, whether a reader or the walk listed it.
    // The export of the same run, many buffers long: written by a thread
    // of its own, or by the walk on one processor.
    std::string json = root + ".json", firstExport;
    for (const char* setup : {"exec", "exec taskset -c 0"}) {
        ProcResult r =
            RunInShell(setup, {Sw("c"), "--export", json, root + "/big", root}, root);
        EXPECT_EQ(r.status, 0) << r.err;
        std::string exported = ReadAll(json);
        size_t files = 0;
        for (size_t at = exported.find("{\"name\":\"a-file-with-a-longer-name-");
             at != std::string::npos; at = exported.find("{\"name\":\"a-file-", at + 1))
            files++;
        EXPECT_EQ(files, 2u * 12000) << "both paths, every file";
        // Byte for byte the same but for the time stamp of the first line.
        std::string body = exported.substr(exported.find('\n'));
        if (firstExport.empty())
            firstExport = body;
        EXPECT_TRUE(body == firstExport) << "the export differs with " << setup;
        // ncdu ends with 0 even where it finds the file broken, but says so;
        // gdu's reader fails.
        std::string said = json + ".said";
        EXPECT_EQ(system(("ncdu -0 -f '" + json + "' -o /dev/null >'" + said + "' 2>&1").c_str()),
                  0);
        EXPECT_EQ(ReadAll(said), "");
        EXPECT_EQ(system(("gdu -f '" + json + "' -n -p -s >/dev/null 2>&1").c_str()), 0);
        unlink(said.c_str());
        lines = ShownLines(r.out);
        vol = HeaderVolume(lines);
        Count big = CountTree(root + "/big", vol.clusterSize, dirCluster);
        EXPECT_EQ(big.files, 12040u);
        ASSERT_LT(Find(kDashLine) + 42, (int)lines.size());
        ExpectLine(ParseUsage(lines[Find(kDashLine) + 42]), big, big.clusters, setup);
        EXPECT_EQ(ParseUsage(lines[Find(kDashLine) + 42]).name, root + "/big");
        EXPECT_EQ(SubdirLines().size(), 40u);
        Count all = CountTree(root, vol.clusterSize, dirCluster);
        ExpectLine(ParseUsage(lines.back()), all, all.clusters, "the second path");
    }
    unlink(json.c_str());
}

// Interrupted while the readers run, the walk held up by a pipe that is not
// read: the abort line follows whole report lines, and the status is 1.
TEST_F(SpaceuseTest, InterruptedWhileReadingAheadEndsWithTheAbortLine)
{
    if (UnderLauncher())
        GTEST_SKIP() << "signals are POSIX ones";
    // Far more report than a pipe holds.
    for (int i = 0; i < 40; i++) {
        std::string d = root + "/d" + std::to_string(i);
        MakeDir(d);
        for (int j = 0; j < 60; j++)
            MakeDir(d + "/e" + std::to_string(j));
    }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string tool = ToolPath("spaceuse");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execl(tool.c_str(), tool.c_str(), "-r", root.c_str(), (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    usleep(300 * 1000);
    kill(pid, SIGINT);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, (size_t)n);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string abortLine = "\rSPACEUSE: MISSION ABORT! (you pressed CTRL+c)\n";
    ASSERT_GT(out.size(), abortLine.size());
    EXPECT_EQ(out.substr(out.size() - abortLine.size()), abortLine);
    EXPECT_EQ(out[out.size() - abortLine.size() - 1], '\n') << "a report line cut short";
    EXPECT_EQ(out.find(abortLine), out.size() - abortLine.size());
}
