// spaceuse end to end, Windows paths: drive letters, drive-relative
// arguments, a drive that does not exist and the NTFS rule (run under the
// launcher only); names of every script at any depth, against the native
// build on the same tree.
#include <ctype.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "spaceuse_e2e.h"

TEST_F(SpaceuseTest, DriveLettersAndDriveRelativePaths)
{
    if (!UnderLauncher())
        GTEST_SKIP() << "there are no drive letters here";
    MakeDir(root + "/sub");
    MakeFile(root + "/sub/f", 1);
    std::string lower = ToolPathOf(root);
    lower[0] = 'z';

    // Wine's drives say NTFS, so every report of this suite meets the rule
    // that directories take no cluster there: the tree is its one file's
    // cluster, not one more for "sub".
    ProcResult r = Report({ToolPathOf(root)});
    EXPECT_EQ(vol.fs, "NTFS");
    ASSERT_FALSE(lines.empty()) << r.out;
    UsageLine total = ParseUsage(lines.back());
    EXPECT_TRUE(total.ok) << lines.back();
    EXPECT_EQ(total.usage, vol.clusterSize) << r.out;

    // The letter is taken upper-case; the trailing separator is not doubled.
    r = Report({Sw("s"), lower + "\\"});
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

namespace {

// Names in four scripts, an emoji among them (a surrogate pair in UTF-16).
const char* const kNames[] = {
    "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",                          // Japanese
    "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC",  // Greek
    "\xD0\x9A\xD0\xB8\xD1\x80\xD0\xB8\xD0\xBB\xD0\xBB\xD0\xB8\xD1\x86\xD0\xB0",  // Cyrillic
    "emoji \xF0\x9F\x98\x80",
};

// The UTF-16 units a Windows program counts in a UTF-8 text.
size_t Utf16Units(const std::string& s)
{
    size_t n = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) != 0x80)
            n += c >= 0xF0 ? 2 : 1;
    }
    return n;
}

// Each script's directory with files of its own, and below the last one a
// chain of such names whose full path passes 600 characters, a file at its
// end. Returns that path.
std::string MakeTreeOfNames(const std::string& root)
{
    for (int i = 0; i < 4; i++) {
        std::string dir = root + "/" + kNames[i];
        MakeDir(dir);
        MakeFile(dir + "/" + kNames[(i + 1) % 4] + ".txt", 10000 * (i + 1));
        MakeFile(dir + "/empty", 0);
    }
    std::string deep = root + "/" + kNames[3];
    for (int i = 0; Utf16Units(ToolPathOf(deep)) <= 600; i++) {
        deep += "/" + std::string(kNames[i % 4]) + " " + std::string(40, 'x') + std::to_string(i);
        MakeDir(deep);
    }
    MakeFile(deep + "/" + kNames[0] + " leaf", 5000);
    return deep;
}

// The lines between the two dash lines, sorted: the listing's order may
// differ between the two builds.
std::vector<std::string> SortedSubdirLines(const std::vector<std::string>& lines)
{
    std::vector<std::string> sub;
    bool in = false;
    for (const std::string& l : lines) {
        if (l == kDashLine) {
            if (in)
                break;
            in = true;
        } else if (in) {
            sub.push_back(l);
        }
    }
    std::sort(sub.begin(), sub.end());
    return sub;
}

}  // namespace

// Every name is listed, entered and measured, at any depth: the figures
// are the native build's, and the names reach a file or pipe in UTF-8.
TEST_F(SpaceuseTest, NamesOfEveryScriptAtAnyDepthAreCountedAsNatively)
{
    std::string deep = MakeTreeOfNames(root);
    ASSERT_GT(Utf16Units(ToolPathOf(deep)), 600u);
    // Every level's line, in clusters of one size on both builds, with no
    // cluster for a directory (wine's drives say NTFS).
    std::vector<std::string> args = {Sw("r"), Sw("c"), Sw("d"), Sw("f4096"), ToolPathOf(root)};
    ProcResult r = Report(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // The names as they are, in UTF-8, each the whole of its line's Path.
    for (const char* name : kNames) {
        std::string want = std::string("  ") + name;
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.size() > want.size() && l.compare(l.size() - want.size(), want.size(), want) == 0;
        })) << name;
    }

    ASSERT_FALSE(lines.empty()) << r.out;
    UsageLine total = ParseUsage(lines.back());
    EXPECT_TRUE(total.ok) << lines.back();
    EXPECT_EQ(total.name, ToolPathOf(root));
    Count c = CountTree(root, 4096, false);
    EXPECT_EQ(total.dirs, c.dirs);
    EXPECT_EQ(total.files, c.files);
    EXPECT_EQ(total.usage, c.clusters);

    // Redirected to a file, the same bytes as through a pipe.
    ProcOptions toFile;
    toFile.stdoutTo = PROC_STDOUT_FILE;
    toFile.stdoutFile = root + ".report";
    ProcResult f = RunSpaceuse(args, "", toFile);
    EXPECT_EQ(f.status, 0);
    // (the free space of the volume may have changed in between)
    std::string inFile = ReadAll(toFile.stdoutFile);
    size_t from = r.out.find("  Dirs ");
    ASSERT_NE(from, std::string::npos);
    EXPECT_EQ(inFile.substr(std::min(inFile.find("  Dirs "), inFile.size())), r.out.substr(from));
    unlink(toFile.stdoutFile.c_str());

    if (!UnderLauncher())
        return;
    args = {"-r", "-c", "-d", "-f4096", root};
    ProcResult n = RunInShell("", args, root, false, SPACEUSE_NATIVE);
    EXPECT_EQ(n.status, 0) << n.err;
    std::vector<std::string> native = ShownLines(n.out);
    ASSERT_FALSE(native.empty()) << n.out;
    EXPECT_EQ(SortedSubdirLines(lines), SortedSubdirLines(native));
    UsageLine nt = ParseUsage(native.back());
    EXPECT_EQ(total.dirs, nt.dirs);
    EXPECT_EQ(total.files, nt.files);
    EXPECT_EQ(total.usage, nt.usage);
}

namespace {

// ---- the programs' manifest -------------------------------------------------

uint32_t Le(const std::string& b, size_t at, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; i--)
        v = v << 8 | (at + i < b.size() ? (unsigned char)b[at + i] : 0);
    return v;
}

struct Resource {
    std::vector<uint32_t> ids;  // type, name, language
    std::string data;
};

// Every resource of a PE file: the resource directory is found through the
// optional header's data directory and the section table, then walked.
std::vector<Resource> PeResources(const std::string& b)
{
    std::vector<Resource> all;
    uint32_t pe = Le(b, 0x3C, 4);
    if (b.compare(0, 2, "MZ") != 0 || b.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
        return all;
    uint32_t sections = Le(b, pe + 6, 2), optSize = Le(b, pe + 20, 2);
    size_t opt = pe + 24;
    size_t dirs = opt + (Le(b, opt, 2) == 0x20B ? 112 : 96);
    uint32_t rsrc = Le(b, dirs + 2 * 8, 4);
    auto fileOffset = [&](uint32_t rva) -> size_t {
        for (uint32_t i = 0; i < sections; i++) {
            size_t sec = opt + optSize + 40 * i;
            uint32_t vsize = Le(b, sec + 8, 4), va = Le(b, sec + 12, 4), raw = Le(b, sec + 20, 4);
            if (rva >= va && rva < va + std::max(vsize, Le(b, sec + 16, 4)))
                return raw + (rva - va);
        }
        return b.size();
    };
    size_t base = fileOffset(rsrc);
    std::function<void(size_t, std::vector<uint32_t>)> walk = [&](size_t dir,
                                                                   std::vector<uint32_t> ids) {
        uint32_t count = Le(b, dir + 12, 2) + Le(b, dir + 14, 2);
        for (uint32_t i = 0; i < count && ids.size() < 3 && dir < b.size(); i++) {
            std::vector<uint32_t> at = ids;
            at.push_back(Le(b, dir + 16 + 8 * i, 4));
            uint32_t to = Le(b, dir + 20 + 8 * i, 4);
            if (to & 0x80000000u) {
                walk(base + (to & 0x7FFFFFFFu), at);
            } else {
                size_t from = fileOffset(Le(b, base + to, 4));
                all.push_back({at, b.substr(std::min(from, b.size()), Le(b, base + to + 4, 4))});
            }
        }
    };
    if (rsrc != 0 && base < b.size())
        walk(base, {});
    return all;
}

}  // namespace

// Each Windows program carries the project's manifest, once (mingw-w64's
// default one must not stand beside it or in its place).
TEST(WindowsPrograms, CarryTheManifest)
{
    if (!UnderLauncher())
        GTEST_SKIP() << "the native programs have no manifest";
    for (const char* tool : {"spaceuse", "whatcode", "hostlink"}) {
        SCOPED_TRACE(tool);
        std::vector<Resource> manifests;
        for (const Resource& r : PeResources(ReadAll(ToolPath(tool)))) {
            if (r.ids[0] == 24)  // RT_MANIFEST
                manifests.push_back(r);
        }
        ASSERT_EQ(manifests.size(), 1u);
        EXPECT_EQ(manifests[0].ids[1], 1u);  // the one a program's start reads
        const std::string& m = manifests[0].data;
        for (const char* part : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
                                 "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
                                 "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
                                 "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10, 11
                                 "<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                                 "WindowsSettings\">true</longPathAware>",
                                 "level=\"asInvoker\""})
            EXPECT_NE(m.find(part), std::string::npos) << part;
    }
}

// On a console the names show as they are: the report goes through the
// console's wide output. A terminal (script(1)) gives wine a console, which
// it draws with escape sequences on the terminal in the host's UTF-8.
TEST_F(SpaceuseTest, NamesShowOnTheConsole)
{
    if (!UnderLauncher())
        GTEST_SKIP() << "a terminal takes the bytes as they are";
    if (system("command -v script >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no script(1) to give the program a terminal";
    for (const char* name : kNames)
        MakeDir(root + "/" + name);
    std::string out = root + ".tty";
    std::string cmd = "LANG=C.UTF-8 script -qec \"'" + std::string(getenv("E2E_LAUNCHER")) +
                      "' '" + ToolPath("spaceuse") + "' " + Sw("r") + " '" +
                      ToolPathOf(root) + "'\" /dev/null </dev/null >'" + out + "' 2>&1";
    EXPECT_EQ(system(cmd.c_str()), 0);
    std::string shown;
    std::string tty = ReadAll(out);
    unlink(out.c_str());
    for (size_t i = 0; i < tty.size(); i++) {
        if (tty[i] == '\x1b' && i + 1 < tty.size() && tty[i + 1] == '[') {
            i += 2;
            while (i < tty.size() && !isalpha((unsigned char)tty[i]))
                i++;
        } else {
            shown += tty[i];
        }
    }
    // Wine's console draws a character past U+FFFF one UTF-16 unit at a
    // time, so the emoji's name is looked for up to the emoji.
    for (const char* name : kNames) {
        std::string want = name;
        want = want.substr(0, want.find('\xF0'));
        EXPECT_NE(shown.find(want), std::string::npos) << want << " in " << shown;
    }
}
