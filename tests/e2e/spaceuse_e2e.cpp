// The spaceuse end-to-end tests' shared helpers and fixture (spaceuse_e2e.h).
#include "spaceuse_e2e.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

const char kDashLine[] = "--------------------------------------------------------------";

std::string Sw(const char* letters)
{
    return std::string(1, UnderLauncher() ? '/' : '-') + letters;
}

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

ProcResult RunSpaceuse(const std::vector<std::string>& args, const std::string& cwd,
                       const ProcOptions& base)
{
    ProcOptions opt = base;
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

ProcResult RunInShell(const std::string& setup, const std::vector<std::string>& args,
                      const std::string& scratch, bool merged, const std::string& program)
{
    std::string out = scratch + ".out", err = scratch + ".err";
    std::string cmd = setup + " '" + (program.empty() ? ToolPath("spaceuse") : program) + "'";
    for (const std::string& a : args)
        cmd += " '" + a + "'";
    cmd += " >'" + out + (merged ? "' 2>&1" : "' 2>'" + err + "'");
    int st = system(cmd.c_str());
    ProcResult r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

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

const Columns noDirs = {false, true, true, true};
const Columns bp = {false, false, true, true};

static bool TakeNumber(const std::string& field, uint64_t* value)
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

UsageLine ParseUsage(const std::string& line, const Columns& c)
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

uint64_t ClustersOf(uint64_t size, uint64_t cs)
{
    return size == 0 ? 1 : (size + cs - 1) / cs;
}

static bool EndsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

Count CountTree(const std::string& dir, uint64_t cs, bool dirCluster, const std::string& suffix)
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

// ---- the fixture ------------------------------------------------------------

void SpaceuseTest::SetUp()
{
    root = MakeTempDir("spaceuse");
    ASSERT_FALSE(root.empty());
    // The name the program reports for it (symbolic links such as a /tmp
    // that is itself a link resolved).
    char real[4096];
    ASSERT_NE(realpath(root.c_str(), real), nullptr);
    root = real;
}

void SpaceuseTest::TearDown() { RemoveTree(root); }

ProcResult SpaceuseTest::Report(const std::vector<std::string>& args)
{
    ProcResult r = RunSpaceuse(args);
    lines = ShownLines(r.out);
    vol = HeaderVolume(lines);
    dirCluster = vol.fs != "NTFS";
    return r;
}

int SpaceuseTest::Find(const std::string& text) const
{
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i] == text)
            return (int)i;
    return -1;
}

std::map<std::string, UsageLine> SpaceuseTest::SubdirLines(const Columns& c) const
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

void SpaceuseTest::ExpectLine(const UsageLine& u, const Count& c, uint64_t usage,
                              const char* what) const
{
    EXPECT_TRUE(u.ok) << what;
    EXPECT_EQ(u.dirs, c.dirs) << what;
    EXPECT_EQ(u.files, c.files) << what;
    EXPECT_EQ(u.usage, usage) << what;
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

OrdinaryUser AsOrdinaryUser()
{
    static std::string copyDir;
    struct Cleanup {
        ~Cleanup() { RemoveTree(copyDir); }
    };
    static Cleanup cleanup;
    OrdinaryUser u;
    if (geteuid() != 0)
        return u;
    u.setup = "exec setpriv --reuid=65534 --regid=65534 --clear-groups";
    if (OthersCanReach(u.program))
        return u;
    if (copyDir.empty()) {
        copyDir = MakeTempDir("spaceuse-program");
        chmod(copyDir.c_str(), 0755);
        WriteFile(copyDir + "/spaceuse", ReadAll(u.program));
        chmod((copyDir + "/spaceuse").c_str(), 0755);
    }
    u.program = copyDir + "/spaceuse";
    return u;
}

// The names of `dir`'s entries in the order its listing gives them.
std::vector<std::string> ListingOrder(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (struct dirent* e = d ? readdir(d) : nullptr) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    if (d)
        closedir(d);
    return names;
}
