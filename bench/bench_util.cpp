#include "bench_util.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void SleepSeconds(double seconds)
{
    struct timespec ts;
    ts.tv_sec = (time_t)seconds;
    ts.tv_nsec = (long)((seconds - (double)ts.tv_sec) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ---- figures over rounds ---------------------------------------------------------

double Series::Median() const
{
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    size_t n = s.size();
    return n == 0 ? 0 : n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

double Median(std::vector<double> v)
{
    Series s;
    s.v = std::move(v);
    return s.Median();
}

std::string Show(const Series& s, int decimals)
{
    if (s.v.empty())
        return "none";
    char text[96];
    auto mm = std::minmax_element(s.v.begin(), s.v.end());
    snprintf(text, sizeof text, "%.*f [%.*f .. %.*f]", decimals, s.Median(), decimals, *mm.first,
             decimals, *mm.second);
    return text;
}

// ---- programs -----------------------------------------------------------------

pid_t StartProgram(const std::vector<std::string>& argv, const char* cwd, const std::string& log,
                   std::string* error)
{
    std::vector<char*> av;
    for (const std::string& a : argv)
        av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + strerror(errno);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls: the simulator's thread runs in the parent.
        int e = 0;
        signal(SIGPIPE, SIG_DFL);  // the bench ignores it; hostlink starts as from a shell
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (cwd && chdir(cwd) != 0)
            e = errno;
        if (!e && (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0))
            e = errno ? errno : EBADF;
        if (!e) {
            execv(av[0], av.data());
            e = errno;
        }
        ssize_t w = write(fds[1], &e, sizeof e);
        (void)w;
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        *error = std::string("fork: ") + strerror(errno);
        return -1;
    }
    int e = 0;
    ssize_t n;
    while ((n = read(fds[0], &e, sizeof e)) < 0 && errno == EINTR) {
    }
    close(fds[0]);
    if (n > 0) {  // the exec failed: the pipe carries its errno
        waitpid(pid, nullptr, 0);
        *error = "cannot run " + argv[0] + (cwd ? std::string(" in ") + cwd : "") + ": " +
                 strerror(e);
        return -1;
    }
    return pid;
}

static std::string HowItEnded(int st)
{
    char text[64];
    if (WIFEXITED(st))
        snprintf(text, sizeof text, "exit status %d", WEXITSTATUS(st));
    else if (WIFSIGNALED(st))
        snprintf(text, sizeof text, "killed by signal %d", WTERMSIG(st));
    else
        snprintf(text, sizeof text, "wait status 0x%x", st);
    return text;
}

bool EndProgram(pid_t pid, double seconds, std::string* error)
{
    kill(pid, SIGINT);
    double end = Now() + seconds;
    int st = 0;
    pid_t r;
    while ((r = waitpid(pid, &st, WNOHANG)) == 0 && Now() < end)
        usleep(5000);
    if (r == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        *error = "did not end within " + std::to_string((int)seconds) + " s of SIGINT (killed)";
        return false;
    }
    if (r < 0) {
        *error = std::string("waitpid: ") + strerror(errno);
        return false;
    }
    if (WIFEXITED(st) && WEXITSTATUS(st) == 0)
        return true;
    *error = HowItEnded(st);
    return false;
}

bool Running(pid_t pid)
{
    siginfo_t info;
    memset(&info, 0, sizeof info);
    return waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

static bool ReadProcFile(pid_t pid, const char* name, char* buf, size_t size)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/%s", (int)pid, name);
    FILE* f = fopen(path, "r");
    if (!f)
        return false;
    size_t n = fread(buf, 1, size - 1, f);
    fclose(f);
    buf[n] = 0;
    return n > 0;
}

double CpuSeconds(pid_t pid)
{
    char buf[1024];
    if (!ReadProcFile(pid, "stat", buf, sizeof buf))
        return -1;
    // The fields after the command name, which ends at the last ')'.
    char* p = strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    if (!p || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                     &stime) != 2)
        return -1;
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

long PeakRssKiB(pid_t pid)
{
    char buf[4096];
    if (!ReadProcFile(pid, "status", buf, sizeof buf))
        return -1;
    const char* p = strstr(buf, "\nVmHWM:");
    long kib = -1;
    if (!p || sscanf(p + 7, "%ld", &kib) != 1)
        return -1;
    return kib;
}

// ---- placement ------------------------------------------------------------------

static std::string CpuNames(const cpu_set_t& set)
{
    std::string s;
    for (int c = 0; c < CPU_SETSIZE; c++) {
        if (!CPU_ISSET(c, &set))
            continue;
        int last = c;
        while (last + 1 < CPU_SETSIZE && CPU_ISSET(last + 1, &set))
            last++;
        s += (s.empty() ? "" : ",") + std::to_string(c);
        if (last > c)
            s += "-" + std::to_string(last);
        c = last;
    }
    return s;
}

bool Place(bool pinned, std::string* where)
{
    static cpu_set_t all;
    static bool saved = false;
    if (!saved) {
        CPU_ZERO(&all);
        if (sched_getaffinity(0, sizeof all, &all) != 0)
            return false;
        saved = true;
    }
    cpu_set_t set = all;
    if (pinned) {
        int first = 0;
        while (first < CPU_SETSIZE && !CPU_ISSET(first, &all))
            first++;
        CPU_ZERO(&set);
        CPU_SET(first, &set);
    }
    if (sched_setaffinity(0, sizeof set, &set) != 0)
        return false;
    *where = (CPU_COUNT(&set) == 1 ? "CPU " : "CPUs ") + CpuNames(set);
    return true;
}

// ---- the floor --------------------------------------------------------------------

static bool ReadFull(int fd, uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= (size_t)r;
    }
    return true;
}

static bool WriteFull(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// One side of the series; seconds from the first request to the last
// answer as this side saw them, or -1.
static double PlaySide(int fd, const std::vector<Turn>& turns, bool asks)
{
    size_t most = 0;
    for (const Turn& t : turns)
        most = std::max(most, (size_t)std::max(t.ask, t.answer));
    std::vector<uint8_t> buf(most, 0x5a);
    double t0 = Now();
    for (const Turn& t : turns) {
        bool ok = asks ? WriteFull(fd, buf.data(), t.ask) && ReadFull(fd, buf.data(), t.answer)
                       : ReadFull(fd, buf.data(), t.ask) && WriteFull(fd, buf.data(), t.answer);
        if (!ok)
            return -1;
    }
    return Now() - t0;
}

// A forked side: plays its part and, when it asks, writes its time to `out`.
static pid_t ForkSide(bool server, int ls, const struct sockaddr_in& sa, int out,
                      const std::vector<Turn>& turns, bool asks)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int fd = -1;
    if (server) {
        fd = accept(ls, nullptr, nullptr);
        int one = 1;
        if (fd >= 0)
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    } else {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd >= 0 && connect(fd, (const struct sockaddr*)&sa, sizeof sa) != 0)
            fd = -1;
    }
    close(ls);
    double t = fd >= 0 ? PlaySide(fd, turns, asks) : -1;
    if (asks && write(out, &t, sizeof t) != (ssize_t)sizeof t)
        t = -1;
    _exit(t < 0 ? 1 : 0);
}

static int Listener(struct sockaddr_in* sa)
{
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t sl = sizeof *sa;
    if (ls < 0 || bind(ls, (struct sockaddr*)sa, sizeof *sa) != 0 || listen(ls, 1) != 0 ||
        getsockname(ls, (struct sockaddr*)sa, &sl) != 0) {
        if (ls >= 0)
            close(ls);
        return -1;
    }
    return ls;
}

double FloorSeconds(const std::vector<Turn>& turns, bool clientAsks, std::string* error)
{
    struct sockaddr_in sa;
    int ls = Listener(&sa);
    int fds[2];
    if (ls < 0 || pipe(fds) != 0) {
        *error = std::string("floor: cannot listen on loopback: ") + strerror(errno);
        if (ls >= 0)
            close(ls);
        return -1;
    }
    pid_t server = ForkSide(true, ls, sa, fds[1], turns, !clientAsks);
    pid_t client = server > 0 ? ForkSide(false, ls, sa, fds[1], turns, clientAsks) : -1;
    close(ls);
    close(fds[1]);
    double t = -1;
    struct pollfd pfd = {fds[0], POLLIN, 0};
    if (client > 0 && poll(&pfd, 1, 60000) == 1 && read(fds[0], &t, sizeof t) != (ssize_t)sizeof t)
        t = -1;
    close(fds[0]);
    bool ok = t > 0;
    for (pid_t p : {server, client}) {
        if (p <= 0) {
            ok = false;
            continue;
        }
        int st = 0;
        if (t <= 0)
            kill(p, SIGKILL);
        waitpid(p, &st, 0);
        ok = ok && WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }
    if (!ok) {
        *error = "floor: the two processes did not finish their exchanges";
        return -1;
    }
    return t;
}
