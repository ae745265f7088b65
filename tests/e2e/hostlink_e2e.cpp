// The hostlink end-to-end tests' shared helpers (hostlink_e2e.h).
#include "hostlink_e2e.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

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

// Like StartTool, but with a stream on a pseudo-terminal whose master end
// takes the place of that stream's pipe (both streams for `fd` 3, read as
// standard output).
void Session::StartOnTerminal(const std::vector<std::string>& args, int fd, ProcOptions opt)
{
    std::vector<std::string> av;
    if (UnderLauncher())
        av.push_back(getenv("E2E_LAUNCHER"));
    av.push_back(ToolPath("hostlink"));
    av.push_back("-d");
    av.push_back(Addr(sim));
    av.insert(av.end(), args.begin(), args.end());
    int master = posix_openpt(O_RDWR | O_NOCTTY), other[2];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || pipe(other) != 0) {
        proc.res.err = "no pseudo-terminal";
        return;
    }
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    t0 = Now();
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(slave, fd == 2 ? 2 : 1);
        dup2(fd == 1 ? other[1] : slave, 2);
        if (fd == 2)
            dup2(other[1], 1);
        for (int c : {in, slave, master, other[0], other[1]})
            close(c);
        for (const std::string& e : opt.env)
            putenv(strdup(e.c_str()));
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
            _exit(126);
        std::vector<char*> cav;
        for (std::string& a : av)
            cav.push_back(&a[0]);
        cav.push_back(nullptr);
        execvp(cav[0], cav.data());
        _exit(127);
    }
    close(slave);
    close(other[1]);
    if (fd == 3) {
        close(other[0]);
        other[0] = -1;
    }
    proc.pid = pid;
    proc.outFd = fd == 2 ? other[0] : master;
    proc.errFd = fd == 2 ? master : other[0];
    proc.deadline = Now() + 30;
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

std::vector<std::string> Screen(const std::string& raw)
{
    std::vector<std::string> lines(1);
    size_t col = 0;
    for (size_t i = 0; i < raw.size(); i++) {
        char c = raw[i];
        std::string& line = lines.back();
        if (c == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
            // Parameters and intermediates up to the final byte.
            size_t end = i + 2;
            while (end < raw.size() && (raw[end] < 0x40 || raw[end] > 0x7e))
                end++;
            if (end < raw.size() && raw[end] == 'K')
                line.resize(std::min(col, line.size()));
            i = end;
        } else if (c == '\r') {
            col = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            col = 0;
        } else {
            if (col < line.size())
                line[col] = c;
            else
                line += c;
            col++;
        }
    }
    // Blanks a line was wiped with are nothing to see.
    for (std::string& l : lines)
        l.erase(l.find_last_not_of(' ') + 1);
    return lines;
}

std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
