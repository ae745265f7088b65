// What the spaceuse end-to-end tests share: running the built program,
// reading its report lines by their field widths, making trees, and
// counting them independently of the program from the sizes of the files
// (lstat) and the volume's cluster size.
#ifndef E2E_SPACEUSE_E2E_H
#define E2E_SPACEUSE_E2E_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proc.h"

extern const char kDashLine[];

// ---- running the program ----

// A switch with the platform's switch character.
std::string Sw(const char* letters);
// How the program names a directory of the test: the path itself natively,
// the drive that wine maps the root to otherwise.
std::string ToolPathOf(const std::string& path);
char Sep();
// The program's own lines on stderr (a launcher's notes dropped); `base`
// for where its standard output goes.
ProcResult RunSpaceuse(const std::vector<std::string>& args,
                       const std::string& cwd = std::string(),
                       const ProcOptions& base = ProcOptions());
// Runs spaceuse (or `program`) through a shell, after `setup` (such as a
// lower descriptor limit or another user), leaving the test process as it
// is, its output into files beside `scratch`. `merged`: both streams into
// `out`, in the order they were written.
ProcResult RunInShell(const std::string& setup, const std::vector<std::string>& args,
                      const std::string& scratch, bool merged = false,
                      const std::string& program = std::string());
// True when an ordinary user can reach `path` (every directory above it
// searchable by others).
bool OthersCanReach(const std::string& path);
// The program as an ordinary user can run it, with the prefix that makes
// the shell that user: as root, setpriv to nobody and, when the build lies
// where nobody cannot reach it (a clone in a private folder), a copy of the
// program in a folder of its own that anyone may enter.
struct OrdinaryUser {
    std::string setup = "exec";
    std::string program = ToolPath("spaceuse");
};
OrdinaryUser AsOrdinaryUser();
// The names of `dir`'s entries in the order its listing gives them.
std::vector<std::string> ListingOrder(const std::string& dir);
// The lines as a console would show them: what follows the last carriage
// return of each line (progress lines are wiped and overwritten).
std::vector<std::string> ShownLines(const std::string& out);

// ---- reading the report ----

struct Columns {
    bool dirs = true, files = true, bytes = true, path = true;
};
extern const Columns noDirs;  // with a filter
extern const Columns bp;      // -s: usage and path

struct UsageLine {
    bool ok = false;
    uint64_t dirs = 0, files = 0, usage = 0;
    size_t indent = 0;
    std::string name;
};

// Reads a report line by its field widths: 6+1 Dirs, 7+1 Files, 15+2 usage,
// then the indentation and the name.
UsageLine ParseUsage(const std::string& line, const Columns& c = Columns());

struct Volume {
    uint64_t clusterSize = 0;
    std::string fs;
};

// The cluster size and file system as the disk-information header shows them.
Volume HeaderVolume(const std::vector<std::string>& lines);

// ---- making trees and counting them ----

void MakeDir(const std::string& p);
// A file of `size` bytes; from 64 KiB up a sparse one.
void MakeFile(const std::string& p, uint64_t size);
std::string ReadAll(const std::string& path);
uint64_t VolumeClusterSize(const std::string& dir);

struct Count {
    uint64_t files = 0, dirs = 0, clusters = 0;
};

uint64_t ClustersOf(uint64_t size, uint64_t cs);
// Everything below `dir`; links are files of their own size. With a suffix,
// only files ending in it count, and directories add nothing themselves.
Count CountTree(const std::string& dir, uint64_t cs, bool dirCluster,
                const std::string& suffix = std::string());

// ---- the fixture: a fresh directory per test ----

class SpaceuseTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the report and learns the volume's geometry from it.
    ProcResult Report(const std::vector<std::string>& args);
    // Index of the line equal to `text`, or -1.
    int Find(const std::string& text) const;
    // The report lines between the two dash lines, by name.
    std::map<std::string, UsageLine> SubdirLines(const Columns& c = Columns()) const;
    void ExpectLine(const UsageLine& u, const Count& c, uint64_t usage, const char* what) const;

    // Parts of the tests of odd trees (spaceuse_trees_e2e_test.cpp).
    void ExpectUnlistableReportedToAUser();
    void ExpectDescriptorShortageReported();

    std::string root;
    std::vector<std::string> lines;
    Volume vol;
    bool dirCluster = true;
};

#endif
