#include "proc.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef E2E_DEFAULT_BIN_DIR
#define E2E_DEFAULT_BIN_DIR "."
#endif

static double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static std::string EnvOr(const char* name, const char* dflt)
{
    const char* v = getenv(name);
    return v ? std::string(v) : std::string(dflt);
}

std::string ToolPath(const std::string& tool)
{
    return EnvOr("E2E_BIN_DIR", E2E_DEFAULT_BIN_DIR) + "/" + tool + "/" + tool +
           EnvOr("E2E_EXE_SUFFIX", "");
}

bool UnderLauncher()
{
    return !EnvOr("E2E_LAUNCHER", "").empty();
}

std::vector<UnwritableOutput> UnwritableOutputs()
{
    std::vector<UnwritableOutput> all;
    const struct {
        int to;
        int err;
    } cases[] = {
        {PROC_STDOUT_FILE, ENOSPC}, {PROC_STDOUT_CLOSED, EBADF}, {PROC_STDOUT_BROKEN, EPIPE}};
    for (const auto& c : cases) {
        if (UnderLauncher() && c.to == PROC_STDOUT_CLOSED)
            continue;
        UnwritableOutput u;
        u.opt.stdoutTo = c.to;
        u.opt.stdoutFile = "/dev/full";
        u.opt.ignoreSigpipe = true;
        u.err = c.err;
        all.push_back(u);
    }
    return all;
}

// In the child, before the program starts: standard output where the
// options send it, if not to the test's pipe.
static void ChildStdout(const ProcOptions& opt)
{
    if (opt.stdoutTo == PROC_STDOUT_BROKEN) {
        int b[2];
        if (pipe(b) != 0)
            _exit(126);
        dup2(b[1], 1);
        close(b[0]);
        close(b[1]);
    } else if (opt.stdoutTo == PROC_STDOUT_CLOSED) {
        close(1);
    } else if (opt.stdoutTo == PROC_STDOUT_FILE) {
        int fd = open(opt.stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            _exit(126);
        dup2(fd, 1);
        close(fd);
    }
}

Proc StartTool(const std::string& tool, const std::vector<std::string>& args,
               const ProcOptions& opt)
{
    Proc p;
    int out[2], err[2], in[2];
    if (pipe(out) != 0 || pipe(err) != 0 || pipe(in) != 0) {
        p.res.err = "pipe failed";
        return p;
    }
    std::vector<std::string> argv;
    std::string launcher = EnvOr("E2E_LAUNCHER", "");
    if (!launcher.empty())
        argv.push_back(launcher);
    argv.push_back(ToolPath(tool));
    argv.insert(argv.end(), args.begin(), args.end());

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(in[0]); close(in[1]);
        close(out[0]); close(out[1]);
        close(err[0]); close(err[1]);
        ChildStdout(opt);
        for (const std::string& u : opt.unset)
            unsetenv(u.c_str());
        for (const std::string& e : opt.env) {
            size_t eq = e.find('=');
            if (eq != std::string::npos)
                setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
            _exit(126);
        std::vector<char*> cargv;
        for (std::string& a : argv)
            cargv.push_back(&a[0]);
        cargv.push_back(nullptr);
        signal(SIGPIPE, opt.ignoreSigpipe ? SIG_IGN : SIG_DFL);
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (opt.stdoutTo != PROC_STDOUT_READ) {
        close(out[0]);
        out[0] = -1;
    }
    if (!opt.input.empty()) {
        // Small inputs only: a pipe holds at least 4 KiB.
        ssize_t w = write(in[1], opt.input.data(), opt.input.size());
        (void)w;
    }
    close(in[1]);
    p.pid = pid;
    p.outFd = out[0];
    p.errFd = err[0];
    p.deadline = Now() + opt.timeoutSec;
    return p;
}

// One round of reading whatever the child has written; false when both
// pipes are closed.
static bool Pump(Proc& p, int waitMs)
{
    struct pollfd fds[2];
    int n = 0;
    if (p.outFd >= 0) fds[n++] = {p.outFd, POLLIN, 0};
    if (p.errFd >= 0) fds[n++] = {p.errFd, POLLIN, 0};
    if (n == 0)
        return false;
    int r = poll(fds, n, waitMs);
    if (r <= 0)
        return true;
    for (int i = 0; i < n; i++) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buf[65536];
        ssize_t got = read(fds[i].fd, buf, sizeof buf);
        bool isOut = fds[i].fd == p.outFd;
        if (got > 0) {
            (isOut ? p.res.out : p.res.err).append(buf, (size_t)got);
        } else if (got == 0 || errno != EINTR) {
            close(fds[i].fd);
            (isOut ? p.outFd : p.errFd) = -1;
        }
    }
    return true;
}

bool WaitForOutput(Proc& p, const std::string& needle, double timeoutSec)
{
    double end = Now() + timeoutSec;
    for (;;) {
        if (p.res.out.find(needle) != std::string::npos ||
            p.res.err.find(needle) != std::string::npos)
            return true;
        if (Now() >= end || !Pump(p, 50))
            return false;
    }
}

void SignalTool(Proc& p, int sig)
{
    if (p.pid > 0)
        kill(p.pid, sig);
}

void CloseToolOutput(Proc& p)
{
    if (p.outFd >= 0)
        close(p.outFd);
    p.outFd = -1;
}

ProcResult WaitTool(Proc& p)
{
    if (p.pid <= 0)
        return p.res;
    while (Pump(p, 50)) {
        if (Now() >= p.deadline) {
            p.res.timedOut = true;
            kill(p.pid, SIGKILL);
            break;
        }
    }
    int st = 0;
    while (waitpid(p.pid, &st, 0) < 0 && errno == EINTR) {
    }
    // Whatever is still buffered after the child has gone.
    while (Pump(p, 0) && (p.outFd >= 0 || p.errFd >= 0)) {
        if (Now() >= p.deadline + 5)
            break;
    }
    if (p.outFd >= 0) close(p.outFd);
    if (p.errFd >= 0) close(p.errFd);
    p.outFd = p.errFd = -1;
    p.pid = -1;
    if (WIFEXITED(st))
        p.res.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        p.res.status = 128 + WTERMSIG(st);
    return p.res;
}

ProcResult RunTool(const std::string& tool, const std::vector<std::string>& args,
                   const ProcOptions& opt)
{
    Proc p = StartTool(tool, args, opt);
    return WaitTool(p);
}

std::string MakeTempDir(const std::string& tag)
{
    std::string base = EnvOr("TMPDIR", "/tmp");
    std::string tmpl = base + "/e2e-" + tag + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        return std::string();
    return std::string(buf.data());
}

static int RemoveOne(const char* path, const struct stat*, int, struct FTW*)
{
    // Make unreadable test directories removable again.
    chmod(path, 0700);
    return remove(path);
}

void RemoveTree(const std::string& path)
{
    if (path.empty())
        return;
    nftw(path.c_str(), RemoveOne, 64, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string& path, const std::string& data)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}
