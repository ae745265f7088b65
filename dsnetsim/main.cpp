// dsnetsim: runs one simulated manager-and-target session for a person.
//
//   dsnetsim [-p port] [-s scenario] [-v] [--run <hostlink> <args>...]
//
// Prints the port it listens on, serves one hostlink session and exits when
// that session is over. With --run it starts hostlink itself (pointed at its
// own port, in the current directory), and once the scripted program has
// finished it interrupts hostlink as a user pressing Ctrl+C would; its exit
// status is then hostlink's.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "dsnetsim.h"

static void Usage(void)
{
    fprintf(stderr,
            "usage: dsnetsim [-p port] [-s free|owned|other|silent|demo] [-v]\n"
            "                [--run <hostlink> <args>...]\n");
    exit(2);
}

static double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Waits for the child for at most `sec` seconds; its exit status, or -1.
static int WaitChild(pid_t pid, double sec)
{
    double end = Now() + sec;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (r < 0 && errno != EINTR)
            return -1;
        if (Now() > end)
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
        execv(argv[0], av);
        fprintf(stderr, "dsnetsim: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    // The script ends with the mark "done"; a session that ends first (the
    // target refused, hostlink gave up) needs no interrupt.
    int status = -1;
    double end = Now() + 60;
    while (Now() < end) {
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

int main(int argc, char** argv)
{
    SimConfig cfg;
    const char* scenario = "free";
    int port = 0;
    bool verbose = false;
    int i = 1;
    for (; i < argc; i++) {
        if (strcmp(argv[i], "-p") == 0 && i + 1 < argc) {
            char* end = nullptr;
            long v = strtol(argv[++i], &end, 10);
            if (!end || *end || v < 0 || v > 65535)
                Usage();
            port = (int)v;
        } else if (strcmp(argv[i], "-s") == 0 && i + 1 < argc) {
            scenario = argv[++i];
        } else if (strcmp(argv[i], "-v") == 0) {
            verbose = true;
        } else if (strcmp(argv[i], "--run") == 0 && i + 1 < argc) {
            i++;
            break;
        } else {
            Usage();
        }
    }
    if (!SimScenario(scenario, &cfg)) {
        fprintf(stderr, "dsnetsim: unknown scenario %s\n", scenario);
        Usage();
    }
    cfg.port = port;
    if (i >= argc) {
        // A person starts hostlink by hand: give them time.
        cfg.acceptTimeoutMs = 600000;
        cfg.idleTimeoutMs = 600000;
    }
    if (verbose)
        cfg.log = stderr;
    Sim* sim = SimStart(cfg);
    if (!sim)
        return 1;
    printf("dsnetsim: scenario %s listening on 127.0.0.1:%d\n", scenario, SimPort(sim));
    fflush(stdout);

    int rc = 0;
    if (i < argc) {
        rc = RunHostlink(sim, argc - i, argv + i);
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
