// Runs the built programs as a user would, for the end-to-end tests.
//
// The programs are found under E2E_BIN_DIR (default: this build tree) as
// <dir>/<tool>/<tool><E2E_EXE_SUFFIX>, and started through E2E_LAUNCHER when
// that is set (for example "wine" for the cross-built programs).
#ifndef E2E_PROC_H
#define E2E_PROC_H

#include <string>
#include <vector>

// Where the child's standard output goes.
enum ProcStdout {
    PROC_STDOUT_READ,    // a pipe the test reads (ProcResult::out)
    PROC_STDOUT_BROKEN,  // a pipe whose reading end is closed before the child starts
    PROC_STDOUT_CLOSED,  // nowhere: the child starts without descriptor 1
    PROC_STDOUT_FILE,    // ProcOptions::stdoutFile, opened for writing (/dev/full)
};

struct ProcOptions {
    std::vector<std::string> env;    // "NAME=value" added or replaced
    std::vector<std::string> unset;  // names removed from the environment
    std::string cwd;                 // empty: the test's own directory
    std::string input;               // written to standard input, then closed
    double timeoutSec = 60;          // the child is killed after this long
    int stdoutTo = PROC_STDOUT_READ;
    std::string stdoutFile;
    bool ignoreSigpipe = false;      // the child starts with SIGPIPE ignored, as
                                     // a parent that ignores it would leave it
};

struct ProcResult {
    int status = -1;          // exit status 0..255; 128+N when killed by signal N
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct Proc {
    int pid = -1;
    int outFd = -1;
    int errFd = -1;
    double deadline = 0;
    ProcResult res;
};

// The standard outputs a program cannot write to, each with the error a
// write meets there: a full device, no descriptor 1, a pipe nobody reads
// (the child started with SIGPIPE ignored, as a parent may leave it). Under
// a launcher the case without a descriptor 1 is left out: the launcher's
// own start-up would be at stake.
struct UnwritableOutput {
    ProcOptions opt;
    int err;
};
std::vector<UnwritableOutput> UnwritableOutputs();

// Full path of a built tool, honouring E2E_BIN_DIR and E2E_EXE_SUFFIX.
std::string ToolPath(const std::string& tool);
// True when the tools are run through a launcher (the cross-built programs).
bool UnderLauncher();

Proc StartTool(const std::string& tool, const std::vector<std::string>& args,
               const ProcOptions& opt = ProcOptions());
// Reads the child's output until `needle` shows on standard output (or
// standard error), the child ends or `timeoutSec` passes. True when seen.
bool WaitForOutput(Proc& p, const std::string& needle, double timeoutSec);
void SignalTool(Proc& p, int sig);
// Stops reading the child's standard output and closes the pipe, as a
// reader that has seen enough would.
void CloseToolOutput(Proc& p);
ProcResult WaitTool(Proc& p);

ProcResult RunTool(const std::string& tool, const std::vector<std::string>& args,
                   const ProcOptions& opt = ProcOptions());

// A fresh empty directory under the system's temporary directory; removed
// with everything below it by RemoveTree.
std::string MakeTempDir(const std::string& tag);
void RemoveTree(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);

#endif
