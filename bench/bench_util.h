// Helpers for hostlink_bench: figures over rounds, starting a program and
// asking it to end, what it used (CPU, peak resident memory), placing the
// whole run on one CPU, and the floor: two bare processes exchanging the
// same packets as hostlink and the simulator, stop-and-wait over loopback.
#ifndef BENCH_UTIL_H
#define BENCH_UTIL_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

double Now();
void SleepSeconds(double seconds);

// The values of one figure over the rounds.
struct Series {
    std::vector<double> v;
    void Add(double x) { v.push_back(x); }
    double Median() const;
};

double Median(std::vector<double> v);

// "median [min .. max]" with that many decimals.
std::string Show(const Series& s, int decimals);

// Starts argv[0] (a path) in `cwd` (null: here), its standard output and
// error going to the file `log`. The exec itself is checked: -1 when the
// program did not start, with the reason in *error.
pid_t StartProgram(const std::vector<std::string>& argv, const char* cwd, const std::string& log,
                   std::string* error);

// Asks the program to end (SIGINT) and waits at most `seconds`, then kills
// it. True when it exited with status 0; otherwise *error says how it ended.
bool EndProgram(pid_t pid, double seconds, std::string* error);

// True while the program runs (it is not reaped: EndProgram still can).
bool Running(pid_t pid);

// CPU seconds (user + system) a live process has used; -1 when unknown.
double CpuSeconds(pid_t pid);

// Peak resident memory of a live process (VmHWM), KiB; -1 when unknown.
long PeakRssKiB(pid_t pid);

// Puts the calling thread, and so every thread and process it starts
// afterwards, on the first CPU it may use (pinned) or back on all of them.
// *where names the CPUs. False when the kernel refuses.
bool Place(bool pinned, std::string* where);

// One stop-and-wait exchange: `ask` bytes one way, `answer` bytes back.
struct Turn {
    uint32_t ask = 0, answer = 0;
};

// Runs the turns between a forked server (the simulator's side: accepts,
// TCP_NODELAY) and a forked client (hostlink's side: connects, no socket
// option); clientAsks says which side asks. Seconds the asking side took
// from its first request to its last answer, or -1 with *error set.
double FloorSeconds(const std::vector<Turn>& turns, bool clientAsks, std::string* error);

#endif
