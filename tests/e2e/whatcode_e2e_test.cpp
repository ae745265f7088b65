// whatcode run as a user runs it: standard output, standard error and exit
// status. Lines that carry the system's message text are checked only on the
// native build: under a launcher the texts are the emulated system's own.
#include <errno.h>
#include <string.h>

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
    "          whatcode 044\n";

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

// Output that cannot be written is the run's failure (3), said in one line
// on standard error: a full device, no descriptor at all, a pipe nobody
// reads any more (with SIGPIPE ignored, as a parent may leave it); the help
// text no less than a value's lines.
TEST(Whatcode, OutputThatCannotBeWrittenIsAFailure)
{
    for (const UnwritableOutput& c : UnwritableOutputs()) {
        for (const char* arg : {"2", "-?"}) {
            SCOPED_TRACE(std::string(strerror(c.err)) + ", " + arg);
            ProcResult r = RunWhatcode({arg}, "", c.opt);
            EXPECT_EQ(3, r.status);
            std::string err = Err(r);
            if (!UnderLauncher()) {
                EXPECT_EQ("Cannot write to standard output: " + std::string(strerror(c.err)) +
                              ".\n",
                          err);
            } else {
                EXPECT_NE(std::string::npos, err.find("Cannot write to standard output: "))
                    << err;
            }
        }
    }
}

// The header line of each value is the same on every system; the text after
// it is whatever the system has, so only the shape of the block is checked.
TEST(Whatcode, ValuesInEveryNotation)
{
    const std::vector<std::string> values = {
        "0x8001010D", "044", "abc", "?", "08", "12abc", "-4294967295", "/5",
    };
    const char* headers[] = {
        "Error: 2147549453 (0x8001010D) (020000200415)\n",
        "Error: 36 (0x00000024) (044)\n",
        "Error: 0 (0x00000000) (00)\n",
        "Error: 0 (0x00000000) (00)\n",
        "Error: 0 (0x00000000) (00)\n",
        "Error: 12 (0x0000000C) (014)\n",
        "Error: 1 (0x00000001) (01)\n",
        "Error: 0 (0x00000000) (00)\n",
    };
    // Run beside a one-letter file name: "?" must reach the program as it
    // is, not expanded as a wildcard by the runtime's start-up code.
    std::string dir = MakeTempDir("whatcode");
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/a", "");
    ProcResult r = RunWhatcode(values, dir);
    RemoveTree(dir);
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
}

}  // namespace
