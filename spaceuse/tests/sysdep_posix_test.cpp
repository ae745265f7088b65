// What spaceuse does on POSIX systems alone: the version it reports, the
// abort hook's signals, and the volume of real mounts.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "options.h"
#include "volume.h"

namespace {

// The two header lines for `info`.
std::string Header(const DriveInfo& info)
{
    ReportOptions options;
    InitReportOptions(&options, 0);
    char buf[DRIVE_INFO_BUF_SIZE];
    size_t n = FormatDriveInfo(&info, &options, buf, sizeof(buf));
    EXPECT_EQ(n, strlen(buf));
    return buf;
}

// The file-system type of the last mount listed exactly at `mountPoint`,
// read straight from the mount table; empty when there is none.
std::string MountType(const std::string& mountPoint)
{
    FILE* f = fopen("/proc/self/mountinfo", "r");
    if (f == NULL)
        return "";
    std::string type;
    char line[8192];
    while (fgets(line, sizeof(line), f) != NULL) {
        char mp[4096];
        if (sscanf(line, "%*s %*s %*s %*s %4095s", mp) != 1 || mountPoint != mp)
            continue;
        const char* dash = strstr(line, " - ");
        char t[256];
        if (dash != NULL && sscanf(dash + 3, "%255s", t) == 1)
            type = t;
    }
    fclose(f);
    return type;
}

}  // namespace

TEST(Options, VersionQueryNamesThePlatform)
{
    OsVersion v;
    memset(&v, 0xEE, sizeof(v));
    ASSERT_EQ(0, GetOsVersion(&v));
    EXPECT_EQ((uint32_t)OS_PLATFORM_POSIX, v.platformId);
}

// The hook in a child: each signal writes its reason and ends with 1, and
// report lines written before it are not lost.
TEST(Options, AbortHookEndsTheReportWithFailure)
{
    struct Case {
        int sig;
        const char* reason;
    };
    const Case cases[] = {
        {SIGINT, "(you pressed CTRL+c)\n"},
        {SIGQUIT, "(you pressed CTRL+break)\n"},
        {SIGTERM, "Recieved some really BAD signals!\n"},
        {SIGHUP, "Recieved some really BAD signals!\n"},
    };
    for (const Case& c : cases) {
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        fflush(stdout);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            dup2(fds[1], 1);
            SysPrepareStdout(1);  // as the program does for a pipe
            BuildProgName("/usr/bin/spaceuse");
            if (InstallAbortHandler() != 0)
                _exit(99);
            printf("line before\n");
            raise(c.sig);
            _exit(98);
        }
        close(fds[1]);
        std::string out;
        char buf[256];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof(buf))) > 0)
            out.append(buf, (size_t)n);
        close(fds[0]);
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status)) << c.sig;
        EXPECT_EQ(1, WEXITSTATUS(status)) << c.sig;
        EXPECT_EQ(std::string("line before\n\rSPACEUSE: MISSION ABORT! ") + c.reason, out);
    }
}

TEST(ReadDriveInfo, RealMountsAgreeWithTheSystem)
{
    char saved[4096];
    ASSERT_NE(nullptr, getcwd(saved, sizeof(saved)));
    OsVersion osVersion;
    ASSERT_EQ(0, GetOsVersion(&osVersion));

    int checked = 0;
    for (const char* mount : {"/", "/dev/shm", "/proc"}) {
        std::string type = MountType(mount);
        if (type.empty() || chdir(mount) != 0)
            continue;
        struct statvfs sv;
        ASSERT_EQ(0, statvfs(".", &sv));
        DriveInfo info;
        memset(&info, 0x55, sizeof(info));
        int r = ReadDriveInfo('?', &info);
        struct statvfs after;
        ASSERT_EQ(0, statvfs(".", &after));
        if (sv.f_frsize == 0 && sv.f_bsize == 0) {
            EXPECT_EQ(1, r) << mount;
            continue;
        }
        ASSERT_EQ(0, r) << mount;
        unsigned long cluster = sv.f_frsize != 0 ? sv.f_frsize : sv.f_bsize;
        EXPECT_STREQ(mount, info.driveName);
        EXPECT_EQ(type.substr(0, sizeof(info.fsName) - 1), info.fsName) << mount;
        EXPECT_EQ(Log2Floor(cluster), info.clusterShift) << mount;
        EXPECT_EQ((uint64_t)cluster * sv.f_blocks, info.totalBytes) << mount;
        // The free space, as the system told it just before and after (give
        // or take what others write meanwhile), and not the size.
        uint64_t free1 = (uint64_t)cluster * sv.f_bavail,
                 free2 = (uint64_t)cluster * after.f_bavail;
        const uint64_t slack = 64ull << 20;
        EXPECT_GE(info.freeBytes + slack, std::min(free1, free2)) << mount;
        EXPECT_LE(info.freeBytes, std::max(free1, free2) + slack) << mount;
        EXPECT_LE(info.freeBytes, info.totalBytes) << mount;
        EXPECT_EQ((uint32_t)((unsigned long long)sv.f_fsid & 0xFFFFFFFFu), info.serialNumber);
        info.clusterSize = (uint32_t)1 << info.clusterShift;
        std::string header = Header(info);
        EXPECT_EQ(0u, header.find(std::string("Info drive ") + mount + ": ")) << header;
        EXPECT_NE(std::string::npos, header.find("- FS:" + std::string(info.fsName) + " - "))
            << header;
        checked++;

        // A directory below the mount point belongs to the same drive.
        if (strcmp(mount, "/") == 0 && chdir("/tmp") == 0 && MountType("/tmp").empty()) {
            ASSERT_EQ(0, ReadDriveInfo('?', &info));
            EXPECT_STREQ("/", info.driveName);
        }
    }
    ASSERT_EQ(0, chdir(saved));
    EXPECT_GT(checked, 0);
}
