// hostlink against the simulated target, each figure next to a floor run
// alternately with it: two bare processes exchanging the same packet and
// reply sizes stop-and-wait over loopback. Every figure is the median of
// several rounds, with the smallest and largest; each is taken with the whole
// run on one CPU and unpinned.
//   (a) a 32 MiB load          (b) a 64 MiB file read in 32 KiB requests
//   (c) serving a silent target: hostlink's CPU share, sample packets a second
//   (d) hostlink's peak resident memory in (a) and (b)
//   (e) sample packets per memory write during (a)
// (a), (b) and (c) are taken with the sample protocol closed and open; (a)
// and (b) also with the trace of every packet on (-trace to a file), in
// rounds of their own beside the others.
// A run that did not happen (hostlink did not start, did not finish, or did
// not exit cleanly) prints an error instead of a figure, and the bench exits 1.
//
//   hostlink_bench [--only abc] [--place both|pinned|unpinned] [--rounds 5]
//                  [--idle 3] [path-to-hostlink]
// or the same through HOSTLINK_BENCH_ONLY, HOSTLINK_BENCH_PLACE,
// HOSTLINK_BENCH_ROUNDS and HOSTLINK_BENCH_IDLE (seconds of each idle round).
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_util.h"
#include "dsnetsim.h"

#ifndef HOSTLINK_BIN
#define HOSTLINK_BIN "hostlink"
#endif

static const uint32_t kLoadBytes = 32u << 20;
static const uint32_t kReadBytes = 64u << 20;
static const uint32_t kReadChunk = 32768;
static const uint32_t kLoadAddr = 0x00100000;
// Bounds: a run that takes longer did not happen.
static const int kRunTimeoutMs = 60000;   // a load or a whole file read
static const int kStartTimeoutMs = 30000; // a tiny load, before idling
static std::string hostlinkPath;

struct Options {
    std::string only = "abc";
    bool pinned = true, unpinned = true;
    int rounds = 5;
    double idleSeconds = 3;
};

struct Files {
    std::string dir, bigElf, tinyElf, bigBin, log, trace;
};

// ---- one hostlink session against the simulator --------------------------------------

struct Session {
    Sim* sim = nullptr;
    pid_t pid = -1;
};

static bool Begin(const SimConfig& cfg, const std::vector<std::string>& args, const char* cwd,
                  const Files& f, Session* s, std::string* error)
{
    s->sim = SimStart(cfg);
    if (!s->sim) {
        *error = "the simulator did not start";
        return false;
    }
    std::string addr = "127.0.0.1:" + std::to_string(SimPort(s->sim));
    std::vector<std::string> av = {hostlinkPath, "-d", addr};
    av.insert(av.end(), args.begin(), args.end());
    s->pid = StartProgram(av, cwd, f.log, error);
    if (s->pid < 0) {
        SimStop(s->sim);
        return false;
    }
    return true;
}

// SimWaitMark that gives up early when hostlink has ended.
static bool WaitMark(const Session& s, const char* name, int timeoutMs)
{
    double end = Now() + timeoutMs / 1000.0;
    while (Now() < end) {
        if (SimWaitMark(s.sim, name, 50))
            return true;
        if (!Running(s.pid))
            return SimWaitMark(s.sim, name, 0);
    }
    return false;
}

static std::string LogTail(const Files& f)
{
    FILE* fp = fopen(f.log.c_str(), "r");
    if (!fp)
        return "";
    std::vector<std::string> lines;
    char line[512];
    while (fgets(line, sizeof line, fp)) {
        lines.push_back(line);
        if (lines.size() > 4)
            lines.erase(lines.begin());
    }
    fclose(fp);
    std::string s;
    for (const std::string& l : lines)
        s += "\n      hostlink: " + l.substr(0, l.find('\n'));
    return s;
}

// Ends hostlink (SIGINT while it serves: it exits with 0) and the simulator.
// `why` is empty when the session itself went well; the result is true when
// it did and hostlink ended cleanly, else *error tells all.
static bool Finish(Session* s, const Files& f, std::string why, std::string* error)
{
    std::vector<std::string> problems = SimProblems(s->sim);
    std::string how;
    bool early = !Running(s->pid);
    bool clean = EndProgram(s->pid, 10, &how);
    SimStop(s->sim);
    if (why.empty() && clean && !early)
        return true;
    if (why.empty())
        why = "hostlink did not end cleanly";
    if (early)
        why += "; hostlink had ended by itself (" + (clean ? "exit status 0" : how) + ")";
    else if (!clean)
        why += "; hostlink " + how;
    if (!problems.empty())
        why += "; the simulator saw: " + problems[0];
    *error = why + LogTail(f);
    return false;
}

// ---- what the simulator saw ----------------------------------------------------------

struct Exchanges {
    std::vector<Turn> turns;
    double first = -1, last = -1;  // first request, last answer
    double simShare = 0;           // median seconds of each exchange spent in the simulator
};

static bool Is(const SimRecord& r, char dir, uint16_t proto)
{
    return r.dir == dir && r.bytes.size() >= 8 &&
           (uint16_t)(r.bytes[4] | (r.bytes[5] << 8)) == proto;
}

// Pairs every request of the protocol going `askDir` whose byte `at` is
// `code` with the next packet of the protocol going the other way.
static Exchanges Pair(const std::vector<SimRecord>& tr, char askDir, uint16_t proto, size_t at,
                      uint8_t code)
{
    char answerDir = askDir == SIM_TO_HOST ? SIM_FROM_HOST : SIM_TO_HOST;
    Exchanges x;
    std::vector<double> share;
    double asked = -1, answered = -1;
    uint32_t askLen = 0;
    for (const SimRecord& r : tr) {
        if (Is(r, askDir, proto) && r.bytes.size() > at && r.bytes[at] == code) {
            if (askDir == SIM_TO_HOST && answered >= 0)
                share.push_back(r.t - answered);  // the simulator's turn: answer to next request
            asked = r.t;
            askLen = r.length;
            if (x.first < 0)
                x.first = r.t;
        } else if (asked >= 0 && Is(r, answerDir, proto)) {
            if (askDir == SIM_FROM_HOST)
                share.push_back(r.t - asked);  // the simulator's turn: request to answer
            x.turns.push_back(Turn{askLen, r.length});
            answered = x.last = r.t;
            asked = -1;
        }
    }
    x.simShare = Median(share);
    return x;
}

// After the run request: a file request that hostlink answers only once it
// has taken the run's reply and serves, then the mark "running". Ended
// before that, hostlink would rightly report an unfinished load.
static void ServedSteps(SimConfig* cfg)
{
    cfg->replyTimeoutMs = kRunTimeoutMs / 2;
    cfg->steps.push_back(SimSync());
    cfg->steps.push_back(SimMark("running"));
}

static bool Served(Sim* sim)
{
    std::vector<SimDrfpResult> r = SimDrfpResults(sim);
    return !r.empty() && r.back().replied;
}

// ---- (a) the load, (b) the file read, (c) idle ------------------------------------------

struct HostRun {
    double seconds = 0;  // the timed span, as the simulator saw it
    uint64_t bytes = 0;
    long rssKiB = -1;
    double samplesPerWrite = 0;
    Exchanges x;
};

// The options that put the trace on, or none.
static std::vector<std::string> TraceArgs(const Files& f, bool traced)
{
    if (!traced)
        return {};
    return {"-trace", f.trace};
}

static bool RunLoad(const Files& f, bool samples, bool traced, HostRun* run, std::string* error)
{
    SimConfig cfg;
    cfg.sampleOpens = samples;
    cfg.recordBytes = 16;
    cfg.keepMemory = false;
    // Samples are counted as the run request arrives (the bench wakes a
    // moment later: a few more may come in while hostlink floods).
    cfg.steps.push_back(SimBefore(SIM_AT_RUN, SimMark("run")));
    ServedSteps(&cfg);
    Session s;
    std::vector<std::string> args = TraceArgs(f, traced);
    args.push_back(f.bigElf);
    if (!Begin(cfg, args, nullptr, f, &s, error))
        return false;
    bool loaded = WaitMark(s, "run", kRunTimeoutMs);
    int sampled = SimSamples(s.sim), writes = SimWrites(s.sim);
    bool served = loaded && WaitMark(s, "running", kRunTimeoutMs) && Served(s.sim);
    run->rssKiB = PeakRssKiB(s.pid);
    run->bytes = SimMemBytes(s.sim);
    std::vector<SimRecord> tr = SimTranscript(s.sim);
    std::string why;
    if (!loaded || run->bytes != kLoadBytes || writes == 0)
        why = "the load did not complete in " + std::to_string(kRunTimeoutMs / 1000) + " s: " +
              std::to_string(writes) + " writes, " + std::to_string(run->bytes) + " of " +
              std::to_string(kLoadBytes) + " bytes";
    else if (!served)
        why = "hostlink did not answer a file request after the load";
    if (!Finish(&s, f, why, error))
        return false;
    // Memory writes are DBGP type 0x0a, the run request 0x18 (packet byte 10).
    run->x = Pair(tr, SIM_FROM_HOST, SIM_PROTO_DBGP, 10, 0x0a);
    Exchanges go = Pair(tr, SIM_FROM_HOST, SIM_PROTO_DBGP, 10, 0x18);
    run->seconds = go.first - run->x.first;
    run->samplesPerWrite = (double)sampled / writes;
    if ((int)run->x.turns.size() != writes || run->seconds <= 0 || run->rssKiB < 0) {
        *error = "the transcript of the load does not add up (" +
                 std::to_string(run->x.turns.size()) + " exchanges)";
        return false;
    }
    return true;
}

static bool RunRead(const Files& f, bool samples, bool traced, HostRun* run, std::string* error)
{
    SimConfig cfg;
    cfg.sampleOpens = samples;
    cfg.recordBytes = 16;
    cfg.keepReadBytes = 0;
    cfg.steps.push_back(SimDrfpOpen("big.bin"));
    cfg.steps.push_back(SimDrfpReadAll(kReadChunk));
    cfg.steps.push_back(SimMark("read"));
    Session s;
    // Relative names, so hostlink runs where the files are.
    std::vector<std::string> args = TraceArgs(f, traced);
    args.push_back("tiny.elf");
    if (!Begin(cfg, args, f.dir.c_str(), f, &s, error))
        return false;
    bool ran = WaitMark(s, "read", kRunTimeoutMs);
    run->rssKiB = PeakRssKiB(s.pid);
    run->bytes = SimReadTotal(s.sim);
    std::vector<SimRecord> tr = SimTranscript(s.sim);
    std::string why;
    if (!ran || run->bytes != kReadBytes)
        why = "the file read did not complete in " + std::to_string(kRunTimeoutMs / 1000) +
              " s: " + std::to_string(run->bytes) + " of " + std::to_string(kReadBytes) +
              " bytes";
    if (!Finish(&s, f, why, error))
        return false;
    // Read requests are DRFP code 4 (packet byte 8).
    run->x = Pair(tr, SIM_TO_HOST, SIM_PROTO_DRFP, 8, 4);
    run->seconds = run->x.last - run->x.first;
    if (run->x.turns.size() < kReadBytes / kReadChunk || run->seconds <= 0 || run->rssKiB < 0) {
        *error = "the transcript of the file read does not add up (" +
                 std::to_string(run->x.turns.size()) + " exchanges)";
        return false;
    }
    return true;
}

// Serves a silent target for `seconds`: hostlink's CPU share (percent of
// one CPU) and the sample packets the simulator received a second.
static bool RunIdle(const Files& f, bool samples, double seconds, double* cpu, double* rate,
                    std::string* error)
{
    SimConfig cfg;
    cfg.sampleOpens = samples;
    ServedSteps(&cfg);
    Session s;
    if (!Begin(cfg, {f.tinyElf}, nullptr, f, &s, error))
        return false;
    std::string why;
    if (WaitMark(s, "running", kStartTimeoutMs) && Served(s.sim)) {
        SleepSeconds(0.2);
        double c0 = CpuSeconds(s.pid), t0 = Now();
        int n0 = SimSamples(s.sim);
        SleepSeconds(seconds);
        double c1 = CpuSeconds(s.pid), t1 = Now();
        int n1 = SimSamples(s.sim);
        *cpu = (c1 - c0) / (t1 - t0) * 100;
        *rate = (n1 - n0) / (t1 - t0);
        if (c0 < 0 || c1 < 0)
            why = "cannot read hostlink's CPU time";
    } else {
        why = "hostlink did not start serving in " + std::to_string(kStartTimeoutMs / 1000) + " s";
    }
    return Finish(&s, f, why, error);
}

static void Fail(const char* figure, const std::string& error)
{
    printf("%s error: no figure, a run did not happen: %s\n", figure, error.c_str());
    fflush(stdout);
}

static bool ThroughputFigure(char which, bool samples, const Options& o, const Files& f)
{
    bool load = which == 'a';
    const char* tag = load ? "(a)" : "(b)";
    Series hostMb, hostUs, floorMb, floorUs, ratio, rss, perWrite, simUs, tracedMb, tracedRatio;
    size_t exchanges = 0;
    for (int round = 0; round < o.rounds; round++) {
        HostRun run, traced;
        std::string error;
        // Every other round the traced run goes first, so that what the
        // order favours does not pass for the trace's cost.
        bool ok = true;
        for (int k = 0; k < 2 && ok; k++) {
            bool withTrace = (k == 0) == (round % 2 == 1);
            HostRun* into = withTrace ? &traced : &run;
            ok = load ? RunLoad(f, samples, withTrace, into, &error)
                      : RunRead(f, samples, withTrace, into, &error);
        }
        if (!ok) {
            Fail(tag, error);
            return false;
        }
        tracedMb.Add(traced.bytes / traced.seconds / 1e6);
        tracedRatio.Add(run.seconds / traced.seconds);
        // The floor repeats the exchanges that run had, sizes and all.
        double floor = FloorSeconds(run.x.turns, load, &error);
        if (floor <= 0) {
            Fail(tag, error);
            return false;
        }
        exchanges = run.x.turns.size();
        hostMb.Add(run.bytes / run.seconds / 1e6);
        hostUs.Add(run.seconds / exchanges * 1e6);
        floorMb.Add(run.bytes / floor / 1e6);
        floorUs.Add(floor / exchanges * 1e6);
        ratio.Add(floor / run.seconds);
        rss.Add(run.rssKiB / 1024.0);
        perWrite.Add(run.samplesPerWrite);
        simUs.Add(run.x.simShare * 1e6);
    }
    const char* state = samples ? "samples open" : "samples closed";
    if (load)
        printf("(a) load of %u MiB in %zu memory writes, %s\n", kLoadBytes >> 20, exchanges, state);
    else
        printf("(b) file read of %u MiB in %u KiB requests (%zu), %s\n", kReadBytes >> 20,
               kReadChunk >> 10, exchanges, state);
    printf("    hostlink %s MB/s  %s us/exchange (simulator's turnaround %s us)\n",
           Show(hostMb, 1).c_str(), Show(hostUs, 1).c_str(), Show(simUs, 1).c_str());
    printf("    floor    %s MB/s  %s us/exchange\n", Show(floorMb, 1).c_str(),
           Show(floorUs, 1).c_str());
    printf("    ratio    %s (hostlink/floor, per round)\n", Show(ratio, 2).c_str());
    printf("    traced   %s MB/s  ratio %s (trace on/off, per round)\n",
           Show(tracedMb, 1).c_str(), Show(tracedRatio, 2).c_str());
    printf("(d) peak RSS of hostlink during the %s: %s MiB\n", load ? "load" : "file read",
           Show(rss, 1).c_str());
    if (load && samples)
        printf("(e) sample packets per memory write: %s (from the protocol's opening to the run "
               "request)\n",
               Show(perWrite, 1).c_str());
    fflush(stdout);
    return true;
}

static bool IdleFigure(bool samples, const Options& o, const Files& f)
{
    Series cpu, rate;
    for (int round = 0; round < o.rounds; round++) {
        double c = 0, r = 0;
        std::string error;
        if (!RunIdle(f, samples, o.idleSeconds, &c, &r, &error)) {
            Fail("(c)", error);
            return false;
        }
        cpu.Add(c);
        rate.Add(r);
    }
    printf("(c) serving a silent target %.1f s, %s\n", o.idleSeconds,
           samples ? "samples open" : "samples closed");
    printf("    hostlink CPU %s %%  sample packets received %s /s\n", Show(cpu, 2).c_str(),
           Show(rate, 0).c_str());
    fflush(stdout);
    return true;
}

// ---- the files hostlink loads and serves ----------------------------------------------

static Files files;

static void RemoveFiles(int)
{
    // Also a signal handler: unlink and rmdir only.
    for (const std::string* p :
         {&files.bigElf, &files.tinyElf, &files.bigBin, &files.log, &files.trace})
        if (!p->empty())
            unlink(p->c_str());
    rmdir(files.dir.c_str());
}

static void OnSignal(int sig)
{
    RemoveFiles(sig);
    _exit(128 + sig);
}

static bool WriteBigBin(const std::string& path)
{
    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp)
        return false;
    std::vector<uint8_t> block(1 << 20, 0x5a);
    bool ok = true;
    for (uint32_t i = 0; i < kReadBytes && ok; i += (uint32_t)block.size())
        ok = fwrite(block.data(), 1, block.size(), fp) == block.size();
    return fclose(fp) == 0 && ok;
}

static bool MakeFiles(const Options& o)
{
    char tmpl[] = "/tmp/hostlink-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("hostlink_bench: mkdtemp");
        return false;
    }
    files.dir = tmpl;
    files.log = files.dir + "/hostlink.log";
    files.trace = files.dir + "/trace.txt";
    files.tinyElf = files.dir + "/tiny.elf";
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    SimSegment tiny{kLoadAddr, {0, 0, 0, 0}, 0};
    bool ok = SimWriteElf(files.tinyElf.c_str(), kLoadAddr, 0, {tiny});
    if (ok && o.only.find('a') != std::string::npos) {
        files.bigElf = files.dir + "/big.elf";
        SimSegment seg;
        seg.vaddr = kLoadAddr;
        seg.data.assign(kLoadBytes, 0);
        for (uint32_t i = 0; i < kLoadBytes; i += 4096)
            seg.data[i] = (uint8_t)(i >> 12);
        ok = SimWriteElf(files.bigElf.c_str(), kLoadAddr, kLoadAddr + 0x8000, {seg});
    }
    if (ok && o.only.find('b') != std::string::npos) {
        files.bigBin = files.dir + "/big.bin";
        ok = WriteBigBin(files.bigBin);
    }
    if (!ok)
        fprintf(stderr, "hostlink_bench: cannot write the test files in %s\n", tmpl);
    return ok;
}

// ---- options ------------------------------------------------------------------------

static bool SetOption(Options* o, const std::string& name, const char* value)
{
    if (!value)
        return true;
    char* end = nullptr;
    if (name == "only") {
        o->only = value;
        return !o->only.empty() && o->only.find_first_not_of("abcde") == std::string::npos;
    }
    if (name == "place") {
        std::string v = value;
        o->pinned = v == "both" || v == "pinned";
        o->unpinned = v == "both" || v == "unpinned";
        return o->pinned || o->unpinned;
    }
    if (name == "rounds") {
        o->rounds = (int)strtol(value, &end, 10);
        return *end == 0 && o->rounds >= 1 && o->rounds <= 1000;
    }
    if (name == "idle") {
        o->idleSeconds = strtod(value, &end);
        return *end == 0 && o->idleSeconds >= 0.5 && o->idleSeconds <= 600;
    }
    return false;
}

static int Usage()
{
    fprintf(stderr, "usage: hostlink_bench [--only abc] [--place both|pinned|unpinned] "
                    "[--rounds N] [--idle SECONDS] [path-to-hostlink]\n");
    return 2;
}

static bool ParseOptions(int argc, char** argv, Options* o, std::string* program)
{
    const char* names[] = {"only", "place", "rounds", "idle"};
    for (const char* n : names) {
        std::string env = std::string("HOSTLINK_BENCH_") + n;
        for (char& c : env)
            c = (char)toupper((unsigned char)c);
        if (!SetOption(o, n, getenv(env.c_str()))) {
            fprintf(stderr, "hostlink_bench: bad %s\n", env.c_str());
            return false;
        }
    }
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a.rfind("--", 0) == 0 && i + 1 < argc && SetOption(o, a.substr(2), argv[i + 1]))
            i++;
        else if (a.rfind("-", 0) != 0 && program->empty())
            *program = a;
        else
            return false;
    }
    // (d) and (e) come with the runs of (a) and (b).
    if (o->only.find('d') != std::string::npos && o->only.find_first_of("ab") == std::string::npos)
        o->only += "ab";
    if (o->only.find('e') != std::string::npos)
        o->only += "a";
    return true;
}

// ---- the run --------------------------------------------------------------------------

static int RunPlacement(bool pinned, const Options& o)
{
    std::string where;
    if (!Place(pinned, &where)) {
        printf("error: cannot place the run (%s)\n", pinned ? "pinned" : "unpinned");
        return 1;
    }
    printf("\n== %s: %s (hostlink, the simulator and the floor's processes)\n",
           pinned ? "pinned" : "unpinned", where.c_str());
    fflush(stdout);
    int failed = 0;
    for (bool samples : {false, true}) {
        if (o.only.find('a') != std::string::npos)
            failed += !ThroughputFigure('a', samples, o, files);
        if (o.only.find('b') != std::string::npos)
            failed += !ThroughputFigure('b', samples, o, files);
        if (o.only.find('c') != std::string::npos)
            failed += !IdleFigure(samples, o, files);
    }
    return failed;
}

int main(int argc, char** argv)
{
    Options o;
    std::string program;
    if (!ParseOptions(argc, argv, &o, &program))
        return Usage();
    if (program.empty())
        program = HOSTLINK_BIN;
    // Resolved here: hostlink runs in other directories.
    char resolved[PATH_MAX];
    if (!realpath(program.c_str(), resolved) || access(resolved, X_OK) != 0) {
        fprintf(stderr, "hostlink_bench: no program at %s\n", program.c_str());
        return 1;
    }
    hostlinkPath = resolved;
    signal(SIGPIPE, SIG_IGN);
    if (!MakeFiles(o)) {
        RemoveFiles(0);
        return 1;
    }
    printf("hostlink: %s\n", hostlinkPath.c_str());
    printf("each figure: median [min .. max] of %d rounds; a hostlink run, then a floor run\n",
           o.rounds);
    fflush(stdout);
    int failed = 0;
    if (o.pinned)
        failed += RunPlacement(true, o);
    if (o.unpinned)
        failed += RunPlacement(false, o);
    RemoveFiles(0);
    if (failed) {
        printf("\nerror: %d figure(s) could not be taken\n", failed);
        return 1;
    }
    return 0;
}
