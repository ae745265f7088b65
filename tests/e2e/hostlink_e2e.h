// What the hostlink end-to-end tests share: one run of the built program
// against one simulated session, and the ways they look at what it printed
// and at what crossed the wire.
#ifndef E2E_HOSTLINK_E2E_H
#define E2E_HOSTLINK_E2E_H

#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dsnetsim.h"
#include "proc.h"

#ifndef DSNETSIM_EXAMPLES_DIR
#define DSNETSIM_EXAMPLES_DIR "examples"
#endif

// The example program, built from the project's own source.
extern const char kExampleElf[];
// A program file that does not exist: the runs that use it end at the
// status exchange or the ownership decision, before it is looked at, or (on
// a free target) at its check, before the target is claimed.
extern const char kNoElf[];

double Now();
std::string Addr(Sim* sim);

// The needles appear in this order, each after the end of the one before.
::testing::AssertionResult InOrder(const std::string& out, const std::vector<std::string>& needles);
size_t Count(const std::string& out, const std::string& needle);
// The transcript and the session's problems, for failure messages.
std::string Dump(Sim* sim);
// Packets hostlink sent with this protocol (and, when code >= 0, this first
// body byte: the NETMP code).
std::vector<SimRecord> FromHost(Sim* sim, int proto, int code = -1);
// A console text packet from the EE.
std::vector<uint8_t> Tty(const std::string& text);

// One hostlink run against one simulated session.
struct Session {
    Sim* sim = nullptr;
    Proc proc;
    bool started = false;
    double t0 = 0;

    explicit Session(const SimConfig& cfg);
    ~Session();
    // Starts hostlink, with "-d <the session's address>" first unless told not to.
    void Start(const std::vector<std::string>& args, ProcOptions opt = ProcOptions(),
               bool withAddress = true);
    // The same with standard error (`fd` 2), standard output (1) or both (3,
    // read as standard output) on a pseudo-terminal; only the options' cwd
    // and env count.
    void StartOnTerminal(const std::vector<std::string>& args, int fd,
                         ProcOptions opt = ProcOptions());
    // Its result, with a Windows program's CR LF line ends folded.
    ProcResult Wait();
    double Elapsed() const;
};

// The comment text this workstation's hostlink identifies itself with, as
// it really sends it (the host name seen by the program under test may
// differ from ours under a launcher).
std::string OwnComment();

// Ends a session that is being served: an interrupt where signals reach the
// program (exit 0), otherwise the manager going away (exit 1). The status
// hostlink should end with.
int EndServing(Session& run);

// The lines a terminal shows after `raw` was written to it: a carriage
// return goes back to the start of the line, "ESC [ K" wipes the rest of
// it, other escape sequences (a console's cursor switches) change nothing.
std::vector<std::string> Screen(const std::string& raw);
// The whole of a file, empty when there is none.
std::string ReadFileText(const std::string& path);

// What /proc says of a running process: its CPU seconds so far, and its
// peak resident memory in KiB. -1 where there is no /proc (or the process
// is gone).
double ProcCpuSeconds(int pid);
long ProcPeakRssKiB(int pid);

#endif
