// whatcode run as a user runs it: standard output, standard error and exit
// status. Lines that carry the system's message text are checked only on the
// native build: under a launcher the texts are the emulated system's own.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proc.h"

namespace {

ProcResult RunWhatcode(const std::vector<std::string>& args, const std::string& cwd = "",
                       const ProcOptions& base = ProcOptions())
{
    ProcOptions opt = base;
    opt.timeoutSec = 30;
    opt.cwd = cwd;
    ProcResult r = RunTool("whatcode", args, opt);
    EXPECT_FALSE(r.timedOut);
    return r;
}

const char kHelp[] =
    "Usage: whatcode value ...\n"
    "\n"
    "WhatCode will display the Windows error message for one or more error values.\n"
    "These error values are usually obtained from the GetLastError() function.\n"
    "The error values can be either in decimal, hexadecimal, or octal format.\n"
    "All hexadecimal error values must be preceded with \"0x\".\n"
    "All octal error values must begin with a leading zero \"0\".\n"
    "\n"
    "Examples: whatcode 2\n"
    "          whatcode 0x8001010D\n"
    "          whatcode 044\n"
    // Our lines, after the system's own.
    "\n"
    "A value can also be a symbolic name, in any case: whatcode error_access_denied\n"
    "  --name             also print each value's symbolic name\n"
    "  --search word ...  every value whose name or text holds all the words\n";

// Standard output with Windows line ends folded, for a build whose runtime
// writes text-mode output.
std::string Out(const ProcResult& r)
{
    std::string s;
    for (size_t i = 0; i < r.out.size(); i++) {
        if (r.out[i] == '\r' && i + 1 < r.out.size() && r.out[i + 1] == '\n')
            continue;
        s += r.out[i];
    }
    return s;
}

std::string Err(const ProcResult& r)
{
    ProcResult e;
    e.out = r.err;
    return Out(e);
}

// A launcher may write notes of its own to standard error ahead of the
// program's; there the program's part must be the end and nothing before it
// may look like the program's own complaints.
void ExpectErr(const std::string& expected, const ProcResult& r)
{
    std::string err = Err(r);
    if (!UnderLauncher()) {
        EXPECT_EQ(expected, err);
        return;
    }
    ASSERT_GE(err.size(), expected.size()) << err;
    size_t head = err.size() - expected.size();
    EXPECT_EQ(expected, err.substr(head));
    EXPECT_EQ(std::string::npos, err.substr(0, head).find("Invalid parameter")) << err;
    EXPECT_EQ(std::string::npos, err.substr(0, head).find("You must")) << err;
}

TEST(Whatcode, NoValueShowsShortUsage)
{
    ProcResult r = RunWhatcode({});
    EXPECT_EQ(2, r.status);
    ExpectErr("You must specify at least one error value.\n\n", r);
    EXPECT_EQ("Usage: whatcode value ...\n\nRun \"whatcode -?\" for full help.\n", Out(r));
}

TEST(Whatcode, HelpSwitchAnywhereShowsFullHelpOnly)
{
    const std::vector<std::vector<std::string>> calls = {
        {"5", "-?"}, {"/?"}, {"-h?"}, {"2", "4294967296", "/x?y"},
    };
    for (const auto& args : calls) {
        ProcResult r = RunWhatcode(args);
        std::string out = Out(r);
        EXPECT_EQ(1, r.status) << args[0];
        ExpectErr("", r);
        // Banner first, then usage and help; no value is looked up.
        EXPECT_EQ(0u, out.find("\nWhatCode for Win32, Version 1.0\n")) << out;
        ASSERT_GE(out.size(), sizeof kHelp - 1);
        EXPECT_EQ(kHelp, out.substr(out.size() - (sizeof kHelp - 1))) << out;
        EXPECT_EQ(std::string::npos, out.find("Error:")) << out;
    }
}

// The run ended with exit 3 and the one line for a write that failed with
// `err` (under a launcher, the emulated runtime names its own reason).
void ExpectWriteFailure(int err, const ProcResult& r)
{
    EXPECT_EQ(3, r.status);
    std::string said = Err(r);
    if (!UnderLauncher()) {
        EXPECT_EQ("Cannot write to standard output: " + std::string(strerror(err)) + ".\n", said);
    } else {
        EXPECT_NE(std::string::npos, said.find("Cannot write to standard output: ")) << said;
    }
}

// Output that cannot be written is the run's failure (3), said in one line
// on standard error: a full device, no descriptor at all, a pipe nobody
// reads any more (with SIGPIPE ignored, as a parent may leave it); the help
// text no less than a value's lines.
TEST(Whatcode, OutputThatCannotBeWrittenIsAFailure)
{
    for (const UnwritableOutput& c : UnwritableOutputs()) {
        for (const char* arg : {"2", "-?"}) {
            SCOPED_TRACE(std::string(strerror(c.err)) + ", " + arg);
            ExpectWriteFailure(c.err, RunWhatcode({arg}, "", c.opt));
        }
    }
}

// The header line of each value is the same on every system; the text after
// it is whatever the system has, so only the shape of the block is checked.
TEST(Whatcode, ValuesInEveryNotation)
{
    const std::vector<std::string> values = {
        "0x8001010D", "044", "08", "12abc", "-4294967295", "0xg", "  +5",
    };
    const char* headers[] = {
        "Error: 2147549453 (0x8001010D) (020000200415)\n",
        "Error: 36 (0x00000024) (044)\n",
        "Error: 0 (0x00000000) (00)\n",
        "Error: 12 (0x0000000C) (014)\n",
        "Error: 1 (0x00000001) (01)\n",
        "Error: 0 (0x00000000) (00)\n",
        "Error: 5 (0x00000005) (05)\n",
    };
    ProcResult r = RunWhatcode(values);
    std::string out = Out(r);
    ExpectErr("", r);
    size_t at = 0;
    for (const char* h : headers) {
        size_t found = out.find(std::string("\n") + h, at);
        ASSERT_EQ(at, found) << h << " in\n" << out;
        // One line of text follows each header (the system's text or
        // "Unknown Error.").
        at = out.find('\n', found + 1 + strlen(h));
        ASSERT_NE(std::string::npos, at) << out;
        at++;
    }
    EXPECT_EQ(out.size(), at) << out;
}

// Values beyond 32 bits are refused on every host, and the others still run.
TEST(Whatcode, ValuesBeyondThirtyTwoBitsAreInvalid)
{
    ProcResult r = RunWhatcode(
        {"4294967296", "-1", "0x100000000", "-4294967296", "18446744073709551616"});
    EXPECT_EQ(3, r.status);
    ExpectErr("\nInvalid parameter \"4294967296\".\n"
              "\nInvalid parameter \"0x100000000\".\n"
              "\nInvalid parameter \"-4294967296\".\n"
              "\nInvalid parameter \"18446744073709551616\".\n", r);
    EXPECT_EQ("\nError: 4294967295 (0xFFFFFFFF) (037777777777)\nUnknown Error.\n", Out(r));
}

// The lines of each value's block, without the empty line that opens it.
std::vector<std::vector<std::string>> Blocks(const std::string& out)
{
    std::vector<std::vector<std::string>> blocks;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos)
            end = out.size();
        std::string line = out.substr(at, end - at);
        if (line.empty())
            blocks.emplace_back();
        else if (!blocks.empty())
            blocks.back().push_back(line);
        else
            ADD_FAILURE() << "output does not open with an empty line:\n" << out;
        at = end + 1;
    }
    return blocks;
}

// The last line of a one-value run: the message text.
std::string TextLine(const std::string& out)
{
    size_t end = out.size() > 0 && out.back() == '\n' ? out.size() - 1 : out.size();
    size_t start = out.rfind('\n', end - 1);
    return out.substr(start == std::string::npos ? 0 : start + 1, end - (start + 1));
}

// Whatever the system's wording, a text with an insert is found and shown
// with the insert as it stands, and a Win32-facility HRESULT reads as its
// Win32 code.
TEST(Whatcode, InsertsAndWin32FacilityOnEverySystem)
{
    ProcResult r = RunWhatcode({"193"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, TextLine(Out(r)).find("%1")) << Out(r);

    ProcResult plain = RunWhatcode({"5"});
    r = RunWhatcode({"0x80070005"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, Out(r).find("\nError: 2147942405 (0x80070005) (020001600005)\n")) << Out(r);
    EXPECT_NE("Unknown Error.", TextLine(Out(r)));
    EXPECT_EQ(TextLine(Out(plain)), TextLine(Out(r)));
}

TEST(Whatcode, SystemTexts)
{
    if (UnderLauncher())
        GTEST_SKIP() << "the emulated system has its own message texts";
    // A text with inserts is a text like any other.
    ProcResult r = RunWhatcode({"2", "34"});
    EXPECT_EQ(0, r.status);
    ExpectErr("", r);
    EXPECT_EQ("\nError: 2 (0x00000002) (02)\nThe system cannot find the file specified.\n"
              "\nError: 34 (0x00000022) (042)\n"
              "The wrong diskette is in the drive. Insert %2 (Volume Serial Number: %3) "
              "into drive %1.\n",
              r.out);

    r = RunWhatcode({"0x80070005", "999999"});
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("\nError: 2147942405 (0x80070005) (020001600005)\nAccess is denied.\n"
              "\nError: 999999 (0x000F423F) (03641077)\nUnknown Error.\n",
              r.out);

    // A text longer than a line usually is comes out whole.
    r = RunWhatcode({"0x50A", "--name"});
    EXPECT_EQ(0, r.status);
    auto blocks = Blocks(r.out);
    ASSERT_EQ(1u, blocks.size()) << r.out;
    ASSERT_EQ(3u, blocks[0].size()) << r.out;
    EXPECT_EQ(614u, blocks[0][1].size());
    EXPECT_EQ(0u, blocks[0][1].find("The service start failed since one or more services"));
    EXPECT_EQ(blocks[0][1].size() - 31, blocks[0][1].rfind("in order to start this service."));
    EXPECT_EQ("ERROR_INCOMPATIBLE_SERVICE_SID_TYPE", blocks[0][2]);

    // A search looks at the texts as well as the names.
    r = RunWhatcode({"--search", "SHARING", "violation"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("\nError: 32 (0x00000020) (040)\n"
              "The process cannot access the file because it is being used by another process.\n"
              "ERROR_SHARING_VIOLATION\n"
              "\nError: 2148532235 (0x8010000B) (020004000013)\n"
              "The smart card cannot be accessed because of other connections outstanding.\n"
              "SCARD_E_SHARING_VIOLATION\n",
              r.out);
}

// A text that is no number is a symbolic name, in any case, or refused: it
// no longer reads as 0. Run beside a one-letter file name: "?" must reach
// the program as it is, not expanded as a wildcard by the runtime's
// start-up code.
TEST(Whatcode, TextWithoutDigitsIsANameOrInvalid)
{
    std::string dir = MakeTempDir("whatcode");
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/a", "");
    ProcResult r = RunWhatcode(
        {"abc", "?", "error_access_denied", "/5", "12abc", "E_OutOfMemory", "+-5", "ERROR_X"},
        dir);
    RemoveTree(dir);
    EXPECT_EQ(3, r.status);
    ExpectErr("\nInvalid parameter \"abc\".\n\nInvalid parameter \"?\".\n"
              "\nInvalid parameter \"/5\".\n\nInvalid parameter \"+-5\".\n"
              "\nInvalid parameter \"ERROR_X\".\n",
              r);
    std::string out = Out(r);
    EXPECT_EQ(0u, out.find("\nError: 5 (0x00000005) (05)\n")) << out;
    EXPECT_NE(std::string::npos, out.find("\nError: 12 (0x0000000C) (014)\n")) << out;
    EXPECT_NE(std::string::npos, out.find("\nError: 2147942414 (0x8007000E) (020001600016)\n"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("Error: 0 ")) << out;

    // A name prints exactly what its number prints.
    ProcResult byName = RunWhatcode({"error_access_denied", "E_OUTOFMEMORY"});
    ProcResult byNumber = RunWhatcode({"5", "0x8007000E"});
    EXPECT_EQ(0, byName.status);
    EXPECT_EQ(0, byNumber.status);
    EXPECT_EQ(byNumber.out, byName.out);
}

// --name (anywhere) adds a line of names after each text, nothing for a
// value without one; a Win32-facility HRESULT takes its code's name first.
// A value of facility 7 without the severity bit is no such HRESULT.
TEST(Whatcode, NameLineAfterEachText)
{
    const std::vector<std::string> values = {"5", "0x80070005", "999999", "0x00070002", "E_HANDLE"};
    const char* names[] = {"ERROR_ACCESS_DENIED", "ERROR_ACCESS_DENIED E_ACCESSDENIED", nullptr,
                           nullptr, "ERROR_INVALID_HANDLE E_HANDLE"};
    std::vector<std::string> args = values;
    args.insert(args.begin() + 2, "--name");
    ProcResult named = RunWhatcode(args);
    ProcResult plain = RunWhatcode(values);
    EXPECT_EQ(3, named.status);
    EXPECT_EQ(3, plain.status);
    ExpectErr("", named);
    auto withNames = Blocks(Out(named));
    auto without = Blocks(Out(plain));
    ASSERT_EQ(values.size(), withNames.size()) << Out(named);
    ASSERT_EQ(values.size(), without.size()) << Out(plain);
    for (size_t i = 0; i < values.size(); i++) {
        ASSERT_EQ(2u, without[i].size()) << values[i];
        std::vector<std::string> expected = without[i];
        if (names[i] != nullptr)
            expected.push_back(names[i]);
        EXPECT_EQ(expected, withNames[i]) << values[i];
    }
    EXPECT_EQ("Unknown Error.", withNames[3][1]);
    EXPECT_EQ("Error: 458754 (0x00070002) (01600002)", withNames[3][0]);
}

// The status of the run is the AND of every value's: a failed value is not
// undone by a good one after it.
TEST(Whatcode, AFailedValueFailsTheRunWhateverFollows)
{
    for (const char* bad : {"99999999", "0x00070002", "4294967296"}) {
        ProcResult r = RunWhatcode({bad, "2"});
        EXPECT_EQ(3, r.status) << bad;
        EXPECT_NE(std::string::npos, Out(r).find("\nError: 2 (0x00000002) (02)\n")) << bad;
    }
}

// --search: every named value whose names or text hold all the words,
// without regard to case, ascending, each with its names; exit 3 when none
// does and 2 without a word. Values before --search are shown first.
TEST(Whatcode, SearchShowsEveryValueThatHoldsAllTheWords)
{
    ProcResult r = RunWhatcode({"--search", "e_outofmemory"});
    EXPECT_EQ(0, r.status);
    ExpectErr("", r);
    auto blocks = Blocks(Out(r));
    ASSERT_EQ(1u, blocks.size()) << Out(r);
    ASSERT_EQ(3u, blocks[0].size()) << Out(r);
    EXPECT_EQ("Error: 2147942414 (0x8007000E) (020001600016)", blocks[0][0]);
    EXPECT_EQ("ERROR_OUTOFMEMORY E_OUTOFMEMORY", blocks[0][2]);

    r = RunWhatcode({"2", "--search", "Access_Denied", "error_", "--name"});
    EXPECT_EQ(0, r.status);
    blocks = Blocks(Out(r));
    ASSERT_GE(blocks.size(), 3u) << Out(r);
    EXPECT_EQ("Error: 2 (0x00000002) (02)", blocks[0][0]);
    EXPECT_EQ("ERROR_FILE_NOT_FOUND", blocks[0].back());
    std::vector<unsigned long> found;
    for (size_t i = 1; i < blocks.size(); i++) {
        ASSERT_EQ(3u, blocks[i].size()) << Out(r);
        EXPECT_NE(std::string::npos, blocks[i][2].find("ACCESS_DENIED")) << blocks[i][2];
        EXPECT_NE(std::string::npos, blocks[i][2].find("ERROR_")) << blocks[i][2];
        size_t hex = blocks[i][0].find("(0x");
        ASSERT_NE(std::string::npos, hex) << blocks[i][0];
        found.push_back(strtoul(blocks[i][0].c_str() + hex + 3, nullptr, 16));
        if (found.size() > 1) {
            EXPECT_LT(found[found.size() - 2], found.back());
        }
    }
    EXPECT_EQ(5u, found.front());
    EXPECT_NE(found.end(), std::find(found.begin(), found.end(), 0x80070005ul));

    r = RunWhatcode({"--search", "access", "no-such-word-anywhere"});
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("", Out(r));
    ExpectErr("", r);

    r = RunWhatcode({"--search", "--name"});
    EXPECT_EQ(2, r.status);
    ExpectErr("You must specify at least one word to search for.\n\n", r);
    EXPECT_EQ("Usage: whatcode value ...\n\nRun \"whatcode -?\" for full help.\n", Out(r));
}

// A reader that goes away is a failed write (exit 3 and the one line), also
// with SIGPIPE left at its default as a shell pipeline leaves it: the reader
// gone before the start, and `whatcode $(seq 3000) | head -1`.
TEST(Whatcode, AReaderThatGoesAwayIsAFailedWrite)
{
    ProcOptions gone;
    gone.stdoutTo = PROC_STDOUT_BROKEN;
    ExpectWriteFailure(EPIPE, RunWhatcode({"2"}, "", gone));

    std::vector<std::string> many;
    for (int i = 1; i <= 3000; i++)
        many.push_back(std::to_string(i));
    Proc p = StartTool("whatcode", many);
    EXPECT_TRUE(WaitForOutput(p, "Error: 1 ", 30));
    CloseToolOutput(p);
    ExpectWriteFailure(EPIPE, WaitTool(p));
}

// Arguments reach the program in any script and lines carry them as UTF-8
// when redirected (on Windows through the wide command line).
TEST(Whatcode, ArgumentsInAnyScript)
{
    ProcOptions utf8;
    utf8.env = {"LC_ALL=C.UTF-8"};
    ProcResult r = RunWhatcode({"\xc3\xa4\xce\xbb"}, "", utf8);
    EXPECT_EQ(3, r.status);
    ExpectErr("\nInvalid parameter \"\xc3\xa4\xce\xbb\".\n", r);
    EXPECT_EQ("", Out(r));
}

// Under wine the redirected output of the Windows build is byte for byte
// what it was when it asked for the texts through the ANSI interface: the
// emulated system's English texts, CR LF line ends, nothing added.
TEST(Whatcode, RedirectedEnglishTextsUnchangedOnWindows)
{
    if (!UnderLauncher())
        GTEST_SKIP() << "the native texts are checked in SystemTexts";
    ProcResult r = RunWhatcode({"2", "5", "0x80070005", "193", "0x00070002"});
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("\r\nError: 2 (0x00000002) (02)\r\nFile not found.\r\n"
              "\r\nError: 5 (0x00000005) (05)\r\nAccess denied.\r\n"
              "\r\nError: 2147942405 (0x80070005) (020001600005)\r\nAccess denied.\r\n"
              "\r\nError: 193 (0x000000C1) (0301)\r\nBad EXE format for %1.\r\n"
              "\r\nError: 458754 (0x00070002) (01600002)\r\nUnknown Error.\r\n",
              r.out);
}

}  // namespace
