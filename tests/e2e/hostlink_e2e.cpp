// The hostlink end-to-end tests' shared helpers (hostlink_e2e.h).
#include "hostlink_e2e.h"

#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

const char kExampleElf[] = DSNETSIM_EXAMPLES_DIR "/demo.elf";
const char kNoElf[] = "no-such-program.elf";

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string Addr(Sim* sim) { return "127.0.0.1:" + std::to_string(SimPort(sim)); }

::testing::AssertionResult InOrder(const std::string& out, const std::vector<std::string>& needles)
{
    size_t at = 0;
    for (const std::string& n : needles) {
        size_t f = out.find(n, at);
        if (f == std::string::npos)
            return ::testing::AssertionFailure()
                   << "missing (in order) \"" << n << "\" in output:\n" << out;
        at = f + n.size();
    }
    return ::testing::AssertionSuccess();
}

size_t Count(const std::string& out, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = out.find(needle); at != std::string::npos; at = out.find(needle, at + 1))
        n++;
    return n;
}

std::string Dump(Sim* sim)
{
    std::string s;
    for (const SimRecord& r : SimTranscript(sim))
        s += SimFormatRecord(r) + "\n";
    for (const std::string& p : SimProblems(sim))
        s += "problem: " + p + "\n";
    return s;
}

std::vector<SimRecord> FromHost(Sim* sim, int proto, int code)
{
    std::vector<SimRecord> v;
    for (const SimRecord& r : SimTranscript(sim)) {
        if (r.dir != SIM_FROM_HOST || r.bytes.size() < 9)
            continue;
        if ((r.bytes[4] | (r.bytes[5] << 8)) != proto)
            continue;
        if (code >= 0 && r.bytes[8] != code)
            continue;
        v.push_back(r);
    }
    return v;
}

std::vector<uint8_t> Tty(const std::string& text)
{
    std::vector<uint8_t> body(4 + text.size(), 0);
    memcpy(&body[4], text.data(), text.size());
    return SimPacket(SIM_PROTO_TTYP, 'E', 'H', body);
}

static std::string Unix(const std::string& s)
{
    std::string o;
    for (size_t i = 0; i < s.size(); i++)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
            o += s[i];
    return o;
}

// ---- one run ------------------------------------------------------------------

Session::Session(const SimConfig& cfg) { sim = SimStart(cfg); }

Session::~Session()
{
    if (started && proc.pid > 0) {
        SignalTool(proc, SIGKILL);
        WaitTool(proc);
    }
    SimStop(sim);
}

void Session::Start(const std::vector<std::string>& args, ProcOptions opt, bool withAddress)
{
    std::vector<std::string> av;
    if (withAddress) {
        av.push_back("-d");
        av.push_back(Addr(sim));
    }
    av.insert(av.end(), args.begin(), args.end());
    opt.timeoutSec = 30;
    t0 = Now();
    proc = StartTool("hostlink", av, opt);
    started = true;
}

ProcResult Session::Wait()
{
    ProcResult r = WaitTool(proc);
    started = false;
    // A Windows program's text output ends its lines with CR LF.
    if (UnderLauncher())
        r.out = Unix(r.out);
    return r;
}

double Session::Elapsed() const { return Now() - t0; }

// Learnt once, from a run that ends after the claim.
std::string OwnComment()
{
    static std::string learnt;
    if (!learnt.empty())
        return learnt;
    SimConfig cfg;
    cfg.netmpResult[SIM_NETMP_RESET] = 1;
    Session run(cfg);
    run.Start({kExampleElf});
    run.Wait();
    std::vector<std::string> c = SimComments(run.sim);
    learnt = c.empty() ? SimOwnComment() : c[0];
    return learnt;
}

int EndServing(Session& run)
{
    if (!UnderLauncher()) {
        SignalTool(run.proc, SIGINT);
        return 0;
    }
    SimHangUp(run.sim);
    return 1;
}

double ProcCpuSeconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold blanks: fields count from its end.
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; i++) {
        if (i == 14)
            utime = std::stoull(f);
        if (i == 15)
            stime = std::stoull(f);
    }
    long tick = sysconf(_SC_CLK_TCK);
    return fields && tick > 0 ? (double)(utime + stime) / (double)tick : -1;
}

long ProcPeakRssKiB(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::stol(line.substr(6));
    return -1;
}
