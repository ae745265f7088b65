// spaceuse end to end, Windows paths: drive letters, drive-relative
// arguments, a drive that does not exist and the NTFS rule (run under the
// launcher only).
#include <stdlib.h>
#include <sys/stat.h>

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
