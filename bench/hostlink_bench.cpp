// hostlink throughput and idle cost against the simulated target, each next
// to a floor measured in the same run: the same packet and reply sizes
// exchanged stop-and-wait over loopback by a minimal client and server.
// Prints figures only; it never passes or fails.
//
//   hostlink_bench [path-to-hostlink]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "dsnetsim.h"

#ifndef HOSTLINK_BIN
#define HOSTLINK_BIN "hostlink"
#endif

extern char** environ;

static const char* hostlinkPath = HOSTLINK_BIN;

static double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static double Mb(double bytes, double sec) { return sec > 0 ? bytes / sec / 1e6 : 0; }

// ---- the floor: a bare stop-and-wait exchange -----------------------------------

static bool ReadFull(int fd, uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
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
        if (w <= 0)
            return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// One side of the floor exchange: asks `count` times and waits for each
// answer (timed), or answers `count` times.
static double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

static double floorMedian;  // of the last floor's exchanges, seconds

static double Exchange(int fd, bool asks, int count, size_t reqLen, size_t repLen)
{
    std::vector<uint8_t> req(reqLen, 2), rep(repLen, 1);
    std::vector<double> each;
    double t0 = Now();
    for (int i = 0; i < count; i++) {
        double t = Now();
        bool ok = asks ? WriteFull(fd, req.data(), reqLen) && ReadFull(fd, rep.data(), repLen)
                       : ReadFull(fd, req.data(), reqLen) && WriteFull(fd, rep.data(), repLen);
        if (!ok)
            return -1;
        each.push_back(Now() - t);
    }
    if (asks)
        floorMedian = Median(each);
    return Now() - t0;
}

// `count` exchanges of a request of reqLen bytes answered with repLen bytes.
// The accepting side plays the simulator (TCP_NODELAY), the connecting side
// plays hostlink (no socket option); simAsks says which side asks. Seconds
// the asking side took, or -1.
static double Floor(int count, size_t reqLen, size_t repLen, bool simAsks)
{
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t sl = sizeof sa;
    if (bind(ls, (struct sockaddr*)&sa, sizeof sa) != 0 || listen(ls, 1) != 0 ||
        getsockname(ls, (struct sockaddr*)&sa, &sl) != 0) {
        close(ls);
        return -1;
    }
    double hostT = -1;
    std::thread host([&] {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, (struct sockaddr*)&sa, sizeof sa) == 0)
            hostT = Exchange(fd, !simAsks, count, reqLen, repLen);
        close(fd);
    });
    int fd = accept(ls, nullptr, nullptr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    double simT = Exchange(fd, simAsks, count, reqLen, repLen);
    close(fd);
    host.join();
    close(ls);
    return simAsks ? simT : hostT;
}

// ---- running hostlink ------------------------------------------------------------

static pid_t Spawn(int port, const std::vector<std::string>& args, const char* cwd)
{
    std::string addr = "127.0.0.1:" + std::to_string(port);
    std::vector<std::string> av = {hostlinkPath, "-d", addr};
    av.insert(av.end(), args.begin(), args.end());
    std::vector<char*> cav;
    for (std::string& a : av)
        cav.push_back(&a[0]);
    cav.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::string prog = hostlinkPath;
    std::string cmd;
    if (cwd) {
        // posix_spawn has no portable chdir; run through the shell's cd.
        cmd = "cd '" + std::string(cwd) + "' && exec \"$0\" \"$@\"";
        std::vector<char*> sh = {(char*)"/bin/sh", (char*)"-c", &cmd[0]};
        sh.insert(sh.end(), cav.begin(), cav.end());
        cav = sh;
        prog = "/bin/sh";
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, prog.c_str(), &fa, nullptr, cav.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

static int Finish(pid_t pid)
{
    kill(pid, SIGINT);
    double end = Now() + 10;
    int st = 0;
    while (waitpid(pid, &st, WNOHANG) == 0) {
        if (Now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            break;
        }
        usleep(10000);
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// CPU seconds (user + system) a process has used so far.
static double CpuSeconds(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    FILE* f = fopen(path, "r");
    if (!f)
        return -1;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    // Fields after the command name, which ends at the last ')'.
    char* p = strrchr(buf, ')');
    if (!p)
        return -1;
    unsigned long utime = 0, stime = 0;
    // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return -1;
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

// First and last time of packets that match.
static bool Span(Sim* sim, char dir, uint16_t proto, int firstByte, double* t0, double* t1,
                 int* count)
{
    *count = 0;
    for (const SimRecord& r : SimTranscript(sim)) {
        if (r.dir != dir || r.bytes.size() < 11)
            continue;
        if ((uint16_t)(r.bytes[4] | (r.bytes[5] << 8)) != proto)
            continue;
        if (firstByte >= 0 && r.bytes[firstByte >> 8] != (firstByte & 0xff))
            continue;
        if ((*count)++ == 0)
            *t0 = r.t;
        *t1 = r.t;
    }
    return *count > 0;
}

static double hostMedian;  // of the last measured series: one whole exchange

// Where the time of a stop-and-wait series goes (medians): from each
// request's arrival to the simulator's reply, and from that reply to the
// arrival of the next request.
static void Turnaround(Sim* sim, uint16_t proto, char reqDir)
{
    std::vector<double> simT, hostT;
    double lastReq = -1, lastRep = -1;
    for (const SimRecord& r : SimTranscript(sim)) {
        if (r.bytes.size() < 8 || (uint16_t)(r.bytes[4] | (r.bytes[5] << 8)) != proto)
            continue;
        if (r.dir == reqDir) {
            if (lastRep >= 0)
                hostT.push_back(r.t - lastRep);
            lastReq = r.t;
        } else if (lastReq >= 0) {
            simT.push_back(r.t - lastReq);
            lastRep = r.t;
        }
    }
    if (simT.empty())
        return;
    int stalls = 0;
    double stalled = 0;
    for (double t : hostT) {
        if (t > 0.010) {
            stalls++;
            stalled += t;
        }
    }
    hostMedian = Median(simT) + Median(hostT);
    double sumSim = 0, sumHost = 0;
    for (double t : simT)
        sumSim += t;
    for (double t : hostT)
        sumHost += t;
    printf("    per exchange, median: %.1f us from request to reply (sum %.3f s), %.1f us from "
           "reply to next request (sum %.3f s); %d gaps over 10 ms (%.3f s)\n",
           Median(simT) * 1e6, sumSim, Median(hostT) * 1e6, sumHost, stalls, stalled);
}

// The machine is shared: a whole-run ratio takes in every stall of the
// scheduler, the median exchange shows the steady state.
static void PrintMedians()
{
    if (hostMedian > 0 && floorMedian > 0)
        printf("    median exchange: hostlink %.1f us, floor %.1f us; ratio %.2f\n",
               hostMedian * 1e6, floorMedian * 1e6, floorMedian / hostMedian);
}

// ---- the simulator's own share: a bare client in hostlink's place -----------------

static int ConnectTo(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((uint16_t)port);
    if (connect(fd, (struct sockaddr*)&sa, sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

// Median seconds of one memory write of `data` bytes through the simulator,
// written stop-and-wait by a client that does nothing else.
static double SimLoadMedian(int count, uint32_t data)
{
    SimConfig cfg;
    cfg.recordBytes = 16;
    cfg.keepMemory = false;
    Sim* sim = SimStart(cfg);
    if (!sim)
        return -1;
    int fd[3];
    for (int& f : fd)
        f = ConnectTo(SimPort(sim));
    std::vector<uint8_t> body(20 + 4 + data, 0);
    body[2] = 0x0a;
    body[5] = 1;
    body[9] = 4;
    Put32(&body[16], data);
    std::vector<uint8_t> pkt = SimPacket(SIM_PROTO_DBGP, 'H', 'E', body), rep(16);
    std::vector<double> each;
    for (int i = 0; i < count && fd[0] >= 0; i++) {
        Put32(&pkt[20], 0x00100000u + (uint32_t)i * data);
        double t = Now();
        if (!WriteFull(fd[0], pkt.data(), pkt.size()) || !ReadFull(fd[0], rep.data(), 16))
            break;
        each.push_back(Now() - t);
    }
    for (int f : fd)
        if (f >= 0)
            close(f);
    SimStop(sim);
    return Median(each);
}

// Median seconds of one 32 KiB file read through the simulator, answered
// by a client that does nothing else.
static double SimReadMedian(int count)
{
    SimConfig cfg;
    cfg.recordBytes = 16;
    cfg.keepReadBytes = 0;
    cfg.steps.push_back(SimAt(SIM_AT_ACCEPT, SimDrfpOpen("x")));
    cfg.steps.push_back(SimAt(SIM_AT_ACCEPT, SimDrfpReadAll(32768)));
    Sim* sim = SimStart(cfg);
    if (!sim)
        return -1;
    int fd[3];
    for (int& f : fd)
        f = ConnectTo(SimPort(sim));
    std::vector<uint8_t> req(24), rep(24 + 32768, 0);
    int reads = 0;
    while (fd[0] >= 0) {
        if (!ReadFull(fd[0], req.data(), 8))
            break;
        size_t len = req[0] | (req[1] << 8);
        if (len < 16 || len > req.size() || !ReadFull(fd[0], req.data() + 8, len - 8))
            break;
        uint32_t code = req[8];
        memcpy(&rep[12], &req[12], 4);  // seqnum
        size_t n = 24;
        Put32(&rep[8], code + 1);
        Put32(&rep[16], 0);
        Put32(&rep[20], 1);
        if (code == 4) {
            uint32_t k = reads++ < count ? 32768 : 0;
            Put32(&rep[20], k);
            n += k;
        }
        rep[0] = (uint8_t)n;
        rep[1] = (uint8_t)(n >> 8);
        rep[4] = 0x20;
        rep[5] = 0x01;
        rep[6] = 'H';
        rep[7] = 'I';
        if (!WriteFull(fd[0], rep.data(), n) || (code == 4 && n == 24))
            break;
    }
    SimWaitEnd(sim, 200);
    std::vector<double> each;
    double sent = -1;
    for (const SimRecord& r : SimTranscript(sim)) {
        if (r.bytes.size() < 12 || r.bytes[4] != 0x20 || r.bytes[8] < 4)
            continue;
        if (r.dir == SIM_TO_HOST)
            sent = r.t;
        else if (sent >= 0)
            each.push_back(r.t - sent);
    }
    for (int f : fd)
        if (f >= 0)
            close(f);
    SimStop(sim);
    return Median(each);
}

// ---- the three measurements --------------------------------------------------------

static void LoadBench(const std::string& dir, bool samples)
{
    const uint32_t size = 32u << 20;
    std::string elf = dir + "/big.elf";
    SimSegment seg;
    seg.vaddr = 0x00100000;
    seg.data.assign(size, 0);
    for (uint32_t i = 0; i < size; i += 4096)
        seg.data[i] = (uint8_t)(i >> 12);
    if (!SimWriteElf(elf.c_str(), 0x00100000, 0x00108000, {seg})) {
        printf("load: cannot write %s\n", elf.c_str());
        return;
    }
    seg.data.clear();
    seg.data.shrink_to_fit();

    SimConfig cfg;
    cfg.sampleOpens = samples;
    cfg.recordBytes = 16;
    cfg.keepMemory = false;
    cfg.steps.push_back(SimMark("running"));
    Sim* sim = SimStart(cfg);
    if (!sim)
        return;
    pid_t pid = Spawn(SimPort(sim), {elf}, nullptr);
    bool ran = pid > 0 && SimWaitMark(sim, "running", 120000);
    double a = 0, b = 0, r0 = 0, r1 = 0;
    int writes = 0, runs = 0;
    // Memory writes are DBGP type 0x0a (body byte 2, packet byte 10); the run
    // request, type 0x18, closes the span.
    Span(sim, SIM_FROM_HOST, SIM_PROTO_DBGP, (10 << 8) | 0x0a, &a, &b, &writes);
    Span(sim, SIM_FROM_HOST, SIM_PROTO_DBGP, (10 << 8) | 0x18, &r0, &r1, &runs);
    uint64_t bytes = SimMemBytes(sim);
    int samplesSeen = SimSamples(sim);
    Turnaround(sim, SIM_PROTO_DBGP, SIM_FROM_HOST);
    if (samples)
        printf("    %d sample packets arrived during the load\n", samplesSeen);
    if (pid > 0)
        Finish(pid);
    SimStop(sim);
    remove(elf.c_str());
    if (!ran || writes == 0 || runs == 0) {
        printf("load: hostlink did not finish the load\n");
        return;
    }
    // Every write but the last carries the largest payload; each needs one
    // reply of 16 bytes.
    double t = r0 - a;
    uint32_t perPacket = 65488;
    double floor = Floor(writes, perPacket + 32, 16, false);
    double simOnly = SimLoadMedian(writes, perPacket);
    printf("    median exchange with a bare client in hostlink's place: %.1f us\n", simOnly * 1e6);
    printf("(a) load of %u MiB%s: %d writes, %.3f s, %.1f MB/s; floor %.3f s, %.1f MB/s; "
           "ratio %.2f\n",
           size >> 20, samples ? " (samples open)" : "", writes, t, Mb((double)bytes, t), floor,
           Mb((double)writes * perPacket, floor),
           floor > 0 && t > 0 ? Mb((double)bytes, t) / Mb((double)writes * perPacket, floor) : 0);
    PrintMedians();
}

static void ReadBench(const std::string& dir)
{
    const uint32_t size = 64u << 20;
    std::string file = dir + "/big.bin";
    {
        FILE* f = fopen(file.c_str(), "wb");
        if (!f)
            return;
        std::vector<uint8_t> block(1 << 20, 0x5a);
        for (uint32_t i = 0; i < size; i += (uint32_t)block.size())
            fwrite(block.data(), 1, block.size(), f);
        fclose(f);
    }
    SimConfig cfg;
    cfg.sampleOpens = false;
    cfg.recordBytes = 16;
    cfg.keepReadBytes = 0;
    cfg.steps.push_back(SimDrfpOpen("big.bin"));
    cfg.steps.push_back(SimDrfpReadAll(32768));
    cfg.steps.push_back(SimMark("read"));
    Sim* sim = SimStart(cfg);
    if (!sim)
        return;
    SimWriteElf((dir + "/tiny.elf").c_str(), 0x00100000, 0, {SimSegment{0x00100000, {0, 0, 0, 0}, 0}});
    pid_t pid = Spawn(SimPort(sim), {"tiny.elf"}, dir.c_str());
    bool ok = pid > 0 && SimWaitMark(sim, "read", 120000);
    double a = 0, b = 0, c = 0, d = 0;
    int reqs = 0, reps = 0;
    Span(sim, SIM_TO_HOST, SIM_PROTO_DRFP, (8 << 8) | 4, &a, &b, &reqs);
    Span(sim, SIM_FROM_HOST, SIM_PROTO_DRFP, (8 << 8) | 5, &c, &d, &reps);
    uint64_t total = SimReadTotal(sim);
    Turnaround(sim, SIM_PROTO_DRFP, SIM_TO_HOST);
    if (pid > 0)
        Finish(pid);
    SimStop(sim);
    remove(file.c_str());
    remove((dir + "/tiny.elf").c_str());
    if (!ok || reqs == 0 || total != size) {
        printf("(b) file read: did not complete (%llu bytes)\n", (unsigned long long)total);
        return;
    }
    double t = d - a;
    double floor = Floor(reqs, 24, 24 + 32768, true);
    double simOnly = SimReadMedian(reqs);
    printf("    median exchange with a bare client in hostlink's place: %.1f us\n", simOnly * 1e6);
    printf("(b) file read of %u MiB in 32 KiB requests: %d requests, %.3f s, %.1f MB/s; "
           "floor %.3f s, %.1f MB/s; ratio %.2f\n",
           size >> 20, reqs, t, Mb((double)total, t), floor, Mb((double)reqs * 32768, floor),
           floor > 0 && t > 0 ? Mb((double)total, t) / Mb((double)reqs * 32768, floor) : 0);
    PrintMedians();
}

static void IdleBench(const std::string& dir, bool samples)
{
    SimConfig cfg;
    cfg.sampleOpens = samples;
    cfg.steps.push_back(SimMark("running"));
    Sim* sim = SimStart(cfg);
    if (!sim)
        return;
    std::string elf = dir + "/tiny.elf";
    SimWriteElf(elf.c_str(), 0x00100000, 0, {SimSegment{0x00100000, {0, 0, 0, 0}, 0}});
    pid_t pid = Spawn(SimPort(sim), {elf}, nullptr);
    if (pid < 0 || !SimWaitMark(sim, "running", 30000)) {
        printf("(c) idle: hostlink did not start serving\n");
    } else {
        usleep(200000);
        double c0 = CpuSeconds(pid), t0 = Now();
        sleep(10);
        double c1 = CpuSeconds(pid), t1 = Now();
        printf("(c) serving a silent target%s for %.1f s: %.3f s of CPU (%.2f%%)\n",
               samples ? " with the sample protocol open" : "", t1 - t0, c1 - c0,
               (c1 - c0) / (t1 - t0) * 100);
    }
    if (pid > 0)
        Finish(pid);
    SimStop(sim);
    remove(elf.c_str());
}

int main(int argc, char** argv)
{
    if (argc > 1)
        hostlinkPath = argv[1];
    if (access(hostlinkPath, X_OK) != 0) {
        fprintf(stderr, "hostlink_bench: no program at %s\n", hostlinkPath);
        return 1;
    }
    char tmpl[] = "/tmp/hostlink-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = tmpl;
    printf("hostlink: %s\n", hostlinkPath);
    const char* only = getenv("HOSTLINK_BENCH_ONLY");  // a, b or c
    if (!only || strchr(only, 'a')) {
        LoadBench(dir, false);
        LoadBench(dir, true);
    }
    if (!only || strchr(only, 'b'))
        ReadBench(dir);
    if (!only || strchr(only, 'c')) {
        IdleBench(dir, false);
        IdleBench(dir, true);
    }
    rmdir(dir.c_str());
    return 0;
}
