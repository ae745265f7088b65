// Chaos rounds: hostlink run again and again against sessions that send it
// random well-formed and malformed packets of every protocol, at random
// moments of a run (claiming the target, waiting for the EE, loading,
// serving), delivered whole, split, a byte at a time or cut short.
//
// A round is one hostlink run against one fresh session. Its recipe comes
// from the seed and the round number alone, so a failed round can be run
// again exactly. A round fails when hostlink dies of a signal, reports a
// sanitizer finding, outlives the round's time limit, ends with a status it
// never documents (anything but 0, 1 or 255), says 0 (success) where nothing
// could have made it succeed, or holds on to a packet cut short for longer
// than its own wait.
#ifndef DSNETSIM_CHAOS_H
#define DSNETSIM_CHAOS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "dsnetsim.h"

struct ChaosOptions {
    bool signals = true;     // rounds may interrupt hostlink as Ctrl+C would
    bool ownHost = true;     // rounds may report the target held by this host
    bool longWaits = true;   // rounds may outwait hostlink's own 10 s waits
    bool hugeArgs = true;    // rounds may pass program arguments past 64 KiB
};

struct ChaosPlan {
    uint64_t seed = 0;
    int round = 0;
    SimConfig cfg;                   // port 0: an ephemeral one
    std::vector<std::string> args;   // hostlink's arguments after -d <address>
    std::vector<std::string> recipe; // what the round does, one line per fault

    // The program file hostlink is given: written into the round's directory.
    std::string elfName;
    uint32_t entry = 0, gp = 0;
    std::vector<SimSegment> segs;
    int64_t elfCut = -1;             // >= 0: the file is cut to this many bytes
    bool elfWritten = true;          // false: the name names no file

    bool interrupt = false;   // the script marks "interrupt": hostlink gets SIGINT then
    bool zeroAllowed = false; // something in the round may rightly end it with 0
    bool mustEndFirst = false;  // hostlink must give up before the session closes
};

// The round's recipe; the same seed and round always give the same one.
ChaosPlan ChaosMakePlan(uint64_t seed, int round, const ChaosOptions& opt);

// Writes what the round's hostlink reads (its program file and the files its
// target asks for) into `dir`. False when a file cannot be written.
bool ChaosPrepareDir(const ChaosPlan& plan, const std::string& dir);

// How a round starts and watches hostlink: the program and the end-to-end
// tests each bring their own way of running a process.
struct ChaosChild {
    void* ctx = nullptr;
    // Starts hostlink with these arguments in directory `cwd`.
    bool (*start)(void* ctx, const std::vector<std::string>& args, const std::string& cwd) = nullptr;
    // True once hostlink has ended; waits at most waitMs for it.
    bool (*ended)(void* ctx, int waitMs) = nullptr;
    void (*interrupt)(void* ctx) = nullptr;
    // Kills hostlink if it still runs and collects it: its exit status
    // (128 + N after signal N, -1 when unknown) and what it wrote to stderr.
    int (*finish)(void* ctx, std::string* err) = nullptr;
};

struct ChaosResult {
    bool failed = false;
    std::string why;        // why it failed
    int status = -1;
    bool timedOut = false;
    bool signalled = false; // SIGINT was sent
    int endReason = SIM_END_NONE;  // the session's when hostlink had ended
    double seconds = 0;
    std::string errTail;    // the end of hostlink's stderr, for the report
};

// Runs one round in `dir` (prepared by ChaosPrepareDir); hostlink is killed
// after limitSec.
ChaosResult ChaosRunRound(const ChaosPlan& plan, const std::string& dir, const ChaosChild& child,
                          double limitSec);

// The verdict on one finished run; empty when it is acceptable. `outwaited`:
// the session had to close on a hostlink that should have given up by itself.
std::string ChaosJudge(const ChaosPlan& plan, int status, bool timedOut, bool signalled,
                       bool outwaited, const std::string& err);

#endif
