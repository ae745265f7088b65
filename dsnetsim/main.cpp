// dsnetsim: runs one simulated manager-and-target session for a person.
//
//   dsnetsim [-p port] [-s scenario] [-v] [--run <hostlink> <args>...]
//   dsnetsim --chaos <rounds> [--seed n] [--first n] [--limit sec] [--quick]
//            [--portable] [-v] --run [<launcher>] <hostlink>
//
// Prints the port it listens on, serves one hostlink session and exits when
// that session is over. With --run it starts hostlink itself (pointed at its
// own port, in the current directory), and once the scripted program has
// finished it interrupts hostlink as a user pressing Ctrl+C would; its exit
// status is then hostlink's.
//
// With --chaos it runs hostlink once per round against sessions full of bad
// traffic (chaos.h) and exits 0 only when every round passed.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "chaos.h"
#include "dsnetsim.h"
#include "simtime.h"

static void Usage(void)
{
    fprintf(stderr,
            "usage: dsnetsim [-p port] [-s free|owned|other|silent|demo] [-v]\n"
            "                [--run <hostlink> <args>...]\n"
            "       dsnetsim --chaos <rounds> [--seed n] [--first n] [--limit sec] [--quick]\n"
            "                [--portable] [-v] --run [<launcher>] <hostlink>\n");
    exit(2);
}

// Waits for the child for at most `sec` seconds; its exit status, or -1.
static int WaitChild(pid_t pid, double sec)
{
    double end = SimNow() + sec;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (r < 0 && errno != EINTR)
            return -1;
        if (SimNow() > end)
            return -1;
        usleep(20000);
    }
}

static int RunHostlink(Sim* sim, int argc, char** argv)
{
    char addr[32];
    snprintf(addr, sizeof addr, "127.0.0.1:%d", SimPort(sim));
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "dsnetsim: fork: %s\n", strerror(errno));
        return 1;
    }
    if (pid == 0) {
        char** av = (char**)calloc((size_t)argc + 3, sizeof(char*));
        if (!av)
            _exit(127);
        av[0] = argv[0];
        av[1] = (char*)"-d";
        av[2] = addr;
        for (int i = 1; i < argc; i++)
            av[i + 2] = argv[i];
        execvp(argv[0], av);
        fprintf(stderr, "dsnetsim: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    // The script ends with the mark "done"; a session that ends first (the
    // target refused, hostlink gave up) needs no interrupt.
    int status = -1;
    double end = SimNow() + 60;
    while (SimNow() < end) {
        if (SimWaitMark(sim, "done", 100)) {
            kill(pid, SIGINT);
            break;
        }
        status = WaitChild(pid, 0);
        if (status >= 0)
            break;
    }
    if (status < 0)
        status = WaitChild(pid, 15);
    if (status < 0) {
        fprintf(stderr, "dsnetsim: hostlink did not end; killing it\n");
        kill(pid, SIGKILL);
        status = WaitChild(pid, 5);
    }
    fprintf(stderr, "dsnetsim: hostlink exited with status %d\n", status);
    return status < 0 ? 1 : status;
}

// ---- chaos rounds ---------------------------------------------------------------

// hostlink as a child process: its output goes to files in the round's
// directory, so that a chatty run can never block on a full pipe.
struct ChaosProc {
    std::vector<std::string> command;  // program (and its launcher's words)
    pid_t pid = -1;
    bool done = false;
    int status = -1;
    std::string errPath;
};

static int DecodeStatus(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

static bool ChaosStart(void* ctx, const std::vector<std::string>& args, const std::string& cwd)
{
    ChaosProc* p = (ChaosProc*)ctx;
    p->done = false;
    p->status = -1;
    p->errPath = cwd + "/stderr.txt";
    std::string outPath = cwd + "/stdout.txt";
    std::vector<std::string> av = p->command;
    av.insert(av.end(), args.begin(), args.end());
    std::vector<char*> cav;
    for (std::string& a : av)
        cav.push_back(&a[0]);
    cav.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(p->errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        signal(SIGINT, SIG_DFL);
        execvp(cav[0], cav.data());
        _exit(127);
    }
    p->pid = pid;
    return true;
}

static bool ChaosEnded(void* ctx, int waitMs)
{
    ChaosProc* p = (ChaosProc*)ctx;
    for (int waited = 0;; waited += 5) {
        int st = 0;
        pid_t r = waitpid(p->pid, &st, WNOHANG);
        if (r == p->pid) {
            p->done = true;
            p->status = DecodeStatus(st);
            return true;
        }
        if (r < 0 && errno != EINTR) {
            p->done = true;
            return true;
        }
        if (waited >= waitMs)
            return false;
        usleep(5000);
    }
}

static void ChaosInterrupt(void* ctx)
{
    ChaosProc* p = (ChaosProc*)ctx;
    if (!p->done)
        kill(p->pid, SIGINT);
}

static int ChaosFinish(void* ctx, std::string* err)
{
    ChaosProc* p = (ChaosProc*)ctx;
    if (!p->done) {
        kill(p->pid, SIGKILL);
        int st = 0;
        while (waitpid(p->pid, &st, 0) < 0 && errno == EINTR) {
        }
        p->done = true;
        p->status = DecodeStatus(st);
    }
    err->clear();
    FILE* f = fopen(p->errPath.c_str(), "rb");
    if (f) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            err->append(buf, n);
        fclose(f);
    }
    return p->status;
}

static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

// A path the child can still use after it has changed directory.
static std::string Absolute(const char* path)
{
    char full[PATH_MAX];
    if (strchr(path, '/') && path[0] != '/' && realpath(path, full))
        return full;
    return path;
}

static unsigned long long ParseNumber(const char* text)
{
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (!end || end == text || *end || errno != 0 || text[0] == '-')
        Usage();
    return v;
}

struct ChaosArgs {
    long rounds = 0;
    unsigned long long seed = 0;
    bool seedGiven = false;
    long first = 0;
    double limitSec = 30;
    bool verbose = false;
    ChaosOptions opt;
};

static void PrintRecipe(const ChaosPlan& plan)
{
    for (const std::string& line : plan.recipe)
        printf("    %s\n", line.c_str());
}

// What the rounds came to, for the summary.
struct ChaosTally {
    std::map<int, int> histogram;  // exit status: rounds
    std::string failedRounds;
    int failures = 0, timeouts = 0;
    double total = 0, slowest = 0;
    long slowestRound = -1;
};

// A fresh directory for the rounds' files; false (said on stderr) when
// none can be made.
static bool MakeRoundsDir(std::string* dir)
{
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/dsnetsim-chaos-XXXXXX";
    std::vector<char> dirBuf(tmpl.begin(), tmpl.end());
    dirBuf.push_back(0);
    if (!mkdtemp(dirBuf.data())) {
        fprintf(stderr, "dsnetsim: cannot make a directory for the rounds: %s\n", strerror(errno));
        return false;
    }
    *dir = dirBuf.data();
    return true;
}

static void Tally(ChaosTally* t, long round, const ChaosResult& res)
{
    t->total += res.seconds;
    if (res.seconds > t->slowest) {
        t->slowest = res.seconds;
        t->slowestRound = round;
    }
    if (res.timedOut)
        t->timeouts++;
    else
        t->histogram[res.status]++;
    if (res.failed) {
        t->failures++;
        t->failedRounds += (t->failedRounds.empty() ? "" : ", ") + std::to_string(round);
    }
}

// A failed round: why, its recipe, the end of hostlink's stderr and the
// command that runs it again.
static void ReportFailure(const ChaosArgs& ca, long round, const ChaosPlan& plan,
                          const ChaosResult& res)
{
    printf("FAILED round %ld (seed %llu): %s\n", round, ca.seed, res.why.c_str());
    printf("  status %d after %.2f s; recipe:\n", res.status, res.seconds);
    PrintRecipe(plan);
    if (!res.errTail.empty())
        printf("  stderr ends:\n%s\n", res.errTail.c_str());
    printf("  replay: dsnetsim --chaos 1 --seed %llu --first %ld%s%s -v --run <hostlink>\n",
           ca.seed, round, ca.opt.longWaits ? "" : " --quick", ca.opt.signals ? "" : " --portable");
}

static void PrintSummary(const ChaosArgs& ca, const ChaosTally& t)
{
    printf("dsnetsim: chaos summary: %ld rounds, %d failed, seed %llu\n", ca.rounds, t.failures,
           ca.seed);
    printf("  exit statuses:");
    for (const auto& h : t.histogram)
        printf(" %d: %d;", h.first, h.second);
    printf(" killed at the time limit: %d\n", t.timeouts);
    if (t.failures)
        printf("  failed rounds: %s\n", t.failedRounds.c_str());
    printf("  %.1f s in all, %.2f s a round on average, slowest round %ld (%.2f s)\n", t.total,
           ca.rounds ? t.total / (double)ca.rounds : 0.0, t.slowestRound, t.slowest);
}

static int RunChaos(const ChaosArgs& ca, int argc, char** argv)
{
    ChaosProc proc;
    for (int i = 0; i < argc; i++)
        proc.command.push_back(Absolute(argv[i]));
    ChaosChild child = {&proc, ChaosStart, ChaosEnded, ChaosInterrupt, ChaosFinish};
    std::string dir;
    if (!MakeRoundsDir(&dir))
        return 1;

    printf("dsnetsim: chaos, %ld rounds from round %ld, seed %llu\n", ca.rounds, ca.first, ca.seed);
    fflush(stdout);
    ChaosTally tally;
    for (long k = 0; k < ca.rounds; k++) {
        long round = ca.first + k;
        ChaosPlan plan = ChaosMakePlan(ca.seed, (int)round, ca.opt);
        ChaosResult res;
        if (!ChaosPrepareDir(plan, dir)) {
            res.failed = true;
            res.why = "cannot write the round's files";
        } else {
            res = ChaosRunRound(plan, dir, child, ca.limitSec);
        }
        Tally(&tally, round, res);
        if (ca.verbose) {
            printf("round %ld: status %d in %.2f s%s%s\n", round, res.status, res.seconds,
                   res.signalled ? ", interrupted" : "", res.failed ? ", FAILED" : "");
            PrintRecipe(plan);
        }
        if (res.failed)
            ReportFailure(ca, round, plan, res);
        if (!ca.verbose && (k + 1) % 100 == 0 && k + 1 < ca.rounds)
            printf("dsnetsim: %ld rounds done, %d failed\n", k + 1, tally.failures);
        fflush(stdout);
    }
    nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    PrintSummary(ca, tally);
    return tally.failures ? 1 : 0;
}

// ---- the command line -------------------------------------------------------------

struct Args {
    const char* scenario = "free";
    int port = 0;
    bool verbose = false;
    bool chaos = false;
    bool chaosOption = false;  // an option that only chaos rounds take
    ChaosArgs ca;
    int rest = 0;  // argv index of what --run starts; argc when there is none
};

static Args ParseArgs(int argc, char** argv)
{
    Args a;
    int i = 1;
    for (; i < argc; i++) {
        static const char* const chaosOnly[] = {"--seed", "--first", "--limit", "--quick",
                                                "--portable"};
        for (const char* o : chaosOnly)
            a.chaosOption |= strcmp(argv[i], o) == 0;
        if (strcmp(argv[i], "--chaos") == 0 && i + 1 < argc) {
            a.chaos = true;
            a.ca.rounds = (long)ParseNumber(argv[++i]);
        } else if (strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            a.ca.seed = ParseNumber(argv[++i]);
            a.ca.seedGiven = true;
        } else if (strcmp(argv[i], "--first") == 0 && i + 1 < argc) {
            a.ca.first = (long)ParseNumber(argv[++i]);
        } else if (strcmp(argv[i], "--limit") == 0 && i + 1 < argc) {
            a.ca.limitSec = (double)ParseNumber(argv[++i]);
        } else if (strcmp(argv[i], "--quick") == 0) {
            a.ca.opt.longWaits = false;
        } else if (strcmp(argv[i], "--portable") == 0) {
            // For a hostlink started through a launcher (another platform's
            // build): no Ctrl+C by signal, no host name shared with us, no
            // command line past that platform's limit.
            a.ca.opt.signals = false;
            a.ca.opt.ownHost = false;
            a.ca.opt.hugeArgs = false;
        } else if (strcmp(argv[i], "-p") == 0 && i + 1 < argc) {
            char* end = nullptr;
            long v = strtol(argv[++i], &end, 10);
            if (!end || *end || v < 0 || v > 65535)
                Usage();
            a.port = (int)v;
        } else if (strcmp(argv[i], "-s") == 0 && i + 1 < argc) {
            a.scenario = argv[++i];
        } else if (strcmp(argv[i], "-v") == 0) {
            a.verbose = true;
        } else if (strcmp(argv[i], "--run") == 0 && i + 1 < argc) {
            i++;
            break;
        } else {
            Usage();
        }
    }
    // Taken and ignored, a round's option would leave its user believing
    // that the session had it.
    if (a.chaosOption && !a.chaos)
        Usage();
    a.rest = i;
    return a;
}

static int ChaosMain(Args& a, int argc, char** argv)
{
    ChaosArgs& ca = a.ca;
    if (a.rest >= argc || ca.rounds <= 0 || ca.rounds > 10000000 || ca.first > 1000000000 ||
        ca.limitSec < 1)
        Usage();
    if (!ca.seedGiven)
        ca.seed = (unsigned long long)time(nullptr) ^ ((unsigned long long)getpid() << 20);
    ca.verbose = a.verbose;
    // A child that dies while we write to it must not take us along.
    signal(SIGPIPE, SIG_IGN);
    return RunChaos(ca, argc - a.rest, argv + a.rest);
}

// One session of a named scenario, for hostlink started by hand or by --run.
static int ScenarioMain(const Args& a, int argc, char** argv)
{
    SimConfig cfg;
    if (!SimScenario(a.scenario, &cfg)) {
        fprintf(stderr, "dsnetsim: unknown scenario %s\n", a.scenario);
        Usage();
    }
    cfg.port = a.port;
    bool run = a.rest < argc;
    if (!run) {
        // A person starts hostlink by hand: give them time.
        cfg.acceptTimeoutMs = 600000;
        cfg.idleTimeoutMs = 600000;
    }
    if (a.verbose)
        cfg.log = stderr;
    Sim* sim = SimStart(cfg);
    if (!sim)
        return 1;
    printf("dsnetsim: scenario %s listening on 127.0.0.1:%d\n", a.scenario, SimPort(sim));
    fflush(stdout);

    int rc = 0;
    if (run) {
        rc = RunHostlink(sim, argc - a.rest, argv + a.rest);
    } else {
        bool said = false;
        while (!SimWaitEnd(sim, 200)) {
            if (!said && SimWaitMark(sim, "done", 0)) {
                printf("dsnetsim: script finished\n");
                fflush(stdout);
                said = true;
            }
        }
    }
    SimWaitEnd(sim, 2000);
    std::vector<std::string> problems = SimProblems(sim);
    for (const std::string& p : problems)
        fprintf(stderr, "dsnetsim: %s\n", p.c_str());
    SimStop(sim);
    return rc;
}

int main(int argc, char** argv)
{
    Args a = ParseArgs(argc, argv);
    if (a.chaos)
        return ChaosMain(a, argc, argv);
    return ScenarioMain(a, argc, argv);
}
