#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <unistd.h>  // dup, dup2, close; mingw-w64 has it too

#include "options.h"

namespace {

// A new file of this test's own in the temporary folder, opened for
// writing and reading back; its name in `name`. (The runtime's tmpfile()
// uses the drive's root on Windows, which an ordinary user may not write.)
FILE* ScratchFile(std::string* name)
{
    static int count;
    const char* dir = getenv("TMPDIR");
    if (dir == NULL || dir[0] == '\0')
        dir = getenv("TEMP");
    if (dir == NULL || dir[0] == '\0')
        dir = "/tmp";
    *name = std::string(dir) + "/spaceuse-options-" + std::to_string(getpid()) + "-" +
            std::to_string(++count);
    FILE* f = fopen(name->c_str(), "w+b");
    if (f == NULL)
        ADD_FAILURE() << "cannot create " << *name;
    return f;
}

// Redirects standard output and standard error into temporary files for
// the life of the object.
class Capture {
public:
    Capture()
    {
        fflush(stdout);
        fflush(stderr);
        outFile_ = ScratchFile(&outName_);
        errFile_ = ScratchFile(&errName_);
        if (outFile_ == NULL || errFile_ == NULL) {
            if (outFile_ != NULL)
                fclose(outFile_);
            if (errFile_ != NULL)
                fclose(errFile_);
            outFile_ = errFile_ = NULL;
            return;
        }
        savedOut_ = dup(1);
        savedErr_ = dup(2);
        dup2(fileno(outFile_), 1);
        dup2(fileno(errFile_), 2);
    }
    ~Capture() { Stop(); }
    void Stop()
    {
        if (outFile_ == NULL)
            return;
        fflush(stdout);
        fflush(stderr);
        dup2(savedOut_, 1);
        dup2(savedErr_, 2);
        close(savedOut_);
        close(savedErr_);
        out = ReadAll(outFile_);
        err = ReadAll(errFile_);
        remove(outName_.c_str());
        remove(errName_.c_str());
        outFile_ = errFile_ = NULL;
    }
    std::string out;
    std::string err;

private:
    static std::string ReadAll(FILE* f)
    {
        std::string text;
        char buf[4096];
        rewind(f);
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
            text.append(buf, n);
        fclose(f);
        return text;
    }
    FILE* outFile_ = NULL;
    FILE* errFile_ = NULL;
    std::string outName_;
    std::string errName_;
    int savedOut_ = -1;
    int savedErr_ = -1;
};

// Runs the parser over `args` (after the program path) on fresh options.
int Parse(const std::vector<std::string>& args, Capture* capture = NULL)
{
    std::vector<std::string> all;
    all.push_back("spaceuse");
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(&a[0]);
    argv.push_back(NULL);
    BuildProgName("spaceuse");
    InitReportOptions(&reportOptions, 0);
    int r;
    if (capture == NULL) {
        Capture quiet;
        r = ParseArguments((int)all.size(), argv.data());
    } else {
        r = ParseArguments((int)all.size(), argv.data());
        capture->Stop();
    }
    return r;
}

std::string Sw(const char* rest)
{
    return std::string(1, SWITCH_CHAR) + rest;
}

// Dirs, Files, Bytes, Path, disk information as "DFBPI" with '-' for off.
std::string Columns()
{
    std::string s;
    s += reportOptions.showDirs ? 'D' : '-';
    s += reportOptions.showFiles ? 'F' : '-';
    s += reportOptions.showBytes ? 'B' : '-';
    s += reportOptions.showPath ? 'P' : '-';
    s += reportOptions.showDiskInfo ? 'I' : '-';
    return s;
}

std::string Hint()
{
    return std::string("Type 'SPACEUSE ") + SWITCH_CHAR + "?' for more information.\n";
}

}  // namespace

TEST(Options, NoArgumentsReportTheCurrentDirectoryWithEverything)
{
    ASSERT_EQ(ARGS_CONTINUE, Parse({}));
    EXPECT_EQ(1u, pathCount);
    EXPECT_STREQ("", pathList[0]);
    EXPECT_EQ("DFBPI", Columns());
    EXPECT_EQ(MODE_NORMAL, (int)reportOptions.mode);
    EXPECT_EQ(1u, reportOptions.dirCluster);
    EXPECT_EQ(1u, reportOptions.showHeader);
    EXPECT_EQ(0u, reportOptions.fakeCluster);
    EXPECT_EQ(0u, reportOptions.recursive);
    EXPECT_EQ(0u, reportOptions.inClusters + reportOptions.inKilo + reportOptions.hasFilter);

    InitReportOptions(&reportOptions, 1);
    EXPECT_EQ(1u, reportOptions.toFile);
}

TEST(Options, FlagSwitchesAndOnlyTheSecondCharacterCounts)
{
    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("rq")}));
    EXPECT_EQ(1u, reportOptions.recursive);
    EXPECT_EQ(MODE_NORMAL, (int)reportOptions.mode);

    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("c"), Sw("k"), Sw("d"), Sw("q")}));
    EXPECT_EQ(1u, reportOptions.inClusters);
    EXPECT_EQ(1u, reportOptions.inKilo);
    EXPECT_EQ(0u, reportOptions.dirCluster);
    EXPECT_EQ(MODE_QUICK, (int)reportOptions.mode);
    EXPECT_EQ(1u, reportOptions.showHeader);
    EXPECT_EQ("DFBPI", Columns());
}

TEST(Options, ColumnSelectionAndSilentMode)
{
    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("s"), Sw("D")}));
    EXPECT_EQ("D-BP-", Columns());
    EXPECT_EQ(MODE_SILENT, (int)reportOptions.mode);
    EXPECT_EQ(0u, reportOptions.showHeader);

    // s replaces what was gathered before it.
    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("D"), Sw("s")}));
    EXPECT_EQ("--BP-", Columns());

    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("q"), Sw("s")}));
    EXPECT_EQ(MODE_SILENT, (int)reportOptions.mode);
    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("s"), Sw("q")}));
    EXPECT_EQ(MODE_SILENT, (int)reportOptions.mode);

    // Removing from an empty selection leaves it empty: defaults stay.
    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("i")}));
    EXPECT_EQ("DFBPI", Columns());
    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("I"), Sw("i"), Sw("B")}));
    EXPECT_EQ("--B--", Columns());
    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("I")}));
    EXPECT_EQ("----I", Columns());
    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("F"), Sw("P")}));
    EXPECT_EQ("-F-P-", Columns());
}

TEST(Options, SubstituteClusterSize)
{
    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("f")}));
    EXPECT_EQ(1u, reportOptions.fakeCluster);
    EXPECT_EQ(1024u, fakeClusterSize);

    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("f4096x")}));
    EXPECT_EQ(4096u, fakeClusterSize);
    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("f3000")}));  // reduced later, not refused
    EXPECT_EQ(3000u, fakeClusterSize);
    ASSERT_EQ(ARGS_CONTINUE, Parse({Sw("f4294967295")}));
    EXPECT_EQ(4294967295u, fakeClusterSize);

    Capture c;
    EXPECT_EQ(1, Parse({Sw("fx"), "dir"}, &c));
    EXPECT_EQ("Error: Illegal clustersize: 'x'\n", c.err);
    EXPECT_EQ(Hint(), c.out);

    // A sign or a value past 32 bits would wrap to a nonsense size.
    const char* refused[] = {"f-1", "f4294967296", "f99999999999999999999999"};
    for (const char* r : refused) {
        Capture c2;
        EXPECT_EQ(1, Parse({Sw(r)}, &c2)) << r;
        EXPECT_EQ(std::string("Error: Illegal clustersize: '") + (r + 1) + "'\n", c2.err);
    }
}

TEST(Options, UnknownSwitchesEndWithFailure)
{
    // Letters are case-sensitive: C is not c.
    Capture c;
    EXPECT_EQ(1, Parse({Sw("c"), Sw("C"), "dir"}, &c));
    EXPECT_EQ(std::string("Error: Unknown switch: '") + SWITCH_CHAR + "C'\n", c.err);
    EXPECT_EQ(Hint(), c.out);

    // A lone switch character is shown alone, without its terminating NUL;
    // of a longer one only the first two characters count.
    Capture lone;
    EXPECT_EQ(1, Parse({Sw("")}, &lone));
    EXPECT_EQ(std::string("Error: Unknown switch: '") + SWITCH_CHAR + "'\n", lone.err);
    Capture longer;
    EXPECT_EQ(1, Parse({Sw("Crq")}, &longer));
    EXPECT_EQ(std::string("Error: Unknown switch: '") + SWITCH_CHAR + "C'\n", longer.err);
}

TEST(Options, HelpAndErrorsInArgumentOrder)
{
    Capture help;
    EXPECT_EQ(0, Parse({Sw("?"), Sw("x")}, &help));
    EXPECT_EQ("", help.err);
    EXPECT_EQ(0u, help.out.find("SPACEUSE v2.0.7 - "));
    EXPECT_NE(std::string::npos, help.out.find("\t\t1 June 1999\nFeedback email: "));
    EXPECT_NE(std::string::npos,
              help.out.find(std::string("\n\nUsage: SPACEUSE <switches> path1[") + PATH_SEP +
                            "filter1] ... pathN[" + PATH_SEP + "filterN]\n<switches>\n"));
    EXPECT_NE(std::string::npos,
              help.out.find("\n  d        Do not count directories as an allocated cluster "
                            "(default for NTFS)\n"));
    EXPECT_NE(std::string::npos, help.out.find("\n  q        \"Quick\" mode\n"));
    // The lines kept from the original, then the new ones after them.
    const std::string kept =
        "  s        Silent mode\n<filter>\n"
        "           Any globbing pattern. i.e.: '*.gif' or 'zorvitt?.htm*'\n"
        "<more switches>\n"
        "  S        Print the subdirectories biggest first\n";
    EXPECT_NE(std::string::npos, help.out.find(kept));
    const std::string tail =
        "  --treemap <file>  Draw the scanned tree into <file> as an SVG treemap\n";
    ASSERT_GE(help.out.size(), tail.size());
    EXPECT_EQ(tail, help.out.substr(help.out.size() - tail.size()));

    Capture bad;
    EXPECT_EQ(1, Parse({Sw("x"), Sw("?")}, &bad));
    EXPECT_EQ(Hint(), bad.out);
}

TEST(Options, BiggestFirstAndTheLongOptions)
{
    // The files are taken as the arguments that name them, which live as
    // long as the program.
    std::string s = Sw("S");
    char* argv[] = {(char*)"spaceuse", &s[0],         (char*)"--export", (char*)"a.json",
                    (char*)"dir",      (char*)"--treemap", (char*)"m.svg", NULL};
    InitReportOptions(&reportOptions, 0);
    ASSERT_EQ(ARGS_CONTINUE, ParseArguments(7, argv));
    EXPECT_EQ(1u, reportOptions.biggestFirst);
    EXPECT_EQ(argv[3], exportFile);
    EXPECT_EQ(argv[6], treemapFile);
    ASSERT_EQ(1u, pathCount);
    EXPECT_STREQ("dir", pathList[0]);

    // Each run starts without them; a long option with no file is refused.
    ASSERT_EQ(ARGS_CONTINUE, Parse({"dir"}));
    EXPECT_EQ(0u, reportOptions.biggestFirst);
    EXPECT_EQ(nullptr, exportFile);
    EXPECT_EQ(nullptr, treemapFile);
    Capture c;
    EXPECT_EQ(1, Parse({"dir", "--treemap"}, &c));
    EXPECT_EQ("Error: --treemap needs a file name\n", c.err);
    EXPECT_EQ(Hint(), c.out);
}

TEST(Options, PathsAndTheOtherSwitchCharacter)
{
    // The character that introduces a switch on the other platform begins a
    // path here (an absolute path on POSIX).
    const char* other = SWITCH_CHAR == '-' ? "/r" : "-r";
    ASSERT_EQ(ARGS_CONTINUE, Parse({other, "", "b c"}));
    EXPECT_EQ(0u, reportOptions.recursive);
    ASSERT_EQ(3u, pathCount);
    EXPECT_STREQ(other, pathList[0]);
    EXPECT_STREQ("", pathList[1]);
    EXPECT_STREQ("b c", pathList[2]);
}

TEST(Options, AtMostTenPaths)
{
    std::vector<std::string> ten;
    for (int i = 0; i < 10; i++)
        ten.push_back("p" + std::to_string(i));
    ASSERT_EQ(ARGS_CONTINUE, Parse(ten));
    EXPECT_EQ(10u, pathCount);
    EXPECT_STREQ("p9", pathList[9]);

    std::vector<std::string> eleven = ten;
    eleven.push_back("p10");
    eleven.push_back(Sw("?"));
    Capture c;
    EXPECT_EQ(1, Parse(eleven, &c));
    EXPECT_EQ(0u, c.out.find("Error: current maximum number of paths reached: 10\n"));
    EXPECT_EQ(std::string::npos, c.out.find("Usage:"));  // stopped at the eleventh
}

TEST(Options, LongCommandLinesAndLongPaths)
{
    // Past 127 arguments the index must not wrap.
    std::vector<std::string> many(300, Sw("c"));
    many[150] = Sw("r");
    many.push_back("last");
    ASSERT_EQ(ARGS_CONTINUE, Parse(many));
    EXPECT_EQ(1u, reportOptions.recursive);
    ASSERT_EQ(1u, pathCount);
    EXPECT_STREQ("last", pathList[0]);

    std::string longest(PATH_ARG_LIMIT - 1, 'a');
    ASSERT_EQ(ARGS_CONTINUE, Parse({longest}));
    EXPECT_EQ(longest, pathList[0]);

    Capture c;
    std::string tooLong(PATH_ARG_LIMIT, 'b');
    EXPECT_EQ(1, Parse({"ok", tooLong}, &c));
    EXPECT_EQ("Error: path too long: '" + std::string(40, 'b') + "...'\n", c.err);
    EXPECT_EQ('\0', pathList[1][0]);  // nothing was copied
}

TEST(Options, ProgramName)
{
    BuildProgName("spaceuse");
    EXPECT_STREQ("SPACEUSE", progName);
    BuildProgName((std::string("dir") + PATH_SEP + "my.tool.bin").c_str());
    EXPECT_STREQ("MY.TOOL", progName);
    BuildProgName(NULL);
    EXPECT_STREQ("SPACEUSE", progName);

    std::string huge(5000, 'x');
    BuildProgName(huge.c_str());
    EXPECT_EQ(std::string(PROGNAME_SIZE - 1, 'X'), progName);
}

TEST(Options, VersionQuery)
{
    OsVersion v;
    memset(&v, 0xEE, sizeof(v));
    EXPECT_EQ(-1, GetOsVersion(NULL));
    ASSERT_EQ(0, GetOsVersion(&v));
    // Which platform it names: the platform's own tests.
}

TEST(Options, AbortTexts)
{
    BuildProgName("spaceuse");
    char buf[PROGNAME_SIZE + 64];
    size_t n = BuildAbortText(ABORT_REASON_INTERRUPT, buf, sizeof(buf));
    EXPECT_STREQ("\rSPACEUSE: MISSION ABORT! (you pressed CTRL+c)\n", buf);
    EXPECT_EQ(strlen(buf), n);
    BuildAbortText(ABORT_REASON_BREAK, buf, sizeof(buf));
    EXPECT_STREQ("\rSPACEUSE: MISSION ABORT! (you pressed CTRL+break)\n", buf);
    BuildAbortText(ABORT_REASON_OTHER, buf, sizeof(buf));
    EXPECT_STREQ("\rSPACEUSE: MISSION ABORT! Recieved some really BAD signals!\n", buf);

    // The longest program name still leaves room for the whole reason.
    BuildProgName(std::string(3000, 'n').c_str());
    n = BuildAbortText(ABORT_REASON_OTHER, buf, sizeof(buf));
    EXPECT_EQ(n, strlen(buf));
    EXPECT_EQ('\n', buf[n - 1]);
    char tiny[8];
    EXPECT_EQ(7u, BuildAbortText(ABORT_REASON_OTHER, tiny, sizeof(tiny)));
}
