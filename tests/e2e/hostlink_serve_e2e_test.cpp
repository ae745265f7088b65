// hostlink end to end, serving the running program: its file requests,
// pointer samples, an interrupt, and the demo as people run it.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "hostlink_e2e.h"

namespace {

// The file the program reads: 150000 bytes of a pattern, two directories
// down.
void MakeLevelFile(const std::string& dir, std::string* content)
{
    content->assign(150000, '\0');
    for (size_t i = 0; i < content->size(); i++)
        (*content)[i] = (char)(i * 7 + i / 251);
    ASSERT_EQ(mkdir((dir + "/data").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/data/levels").c_str(), 0755), 0);
    WriteFile(dir + "/data/levels/one.bin", *content);
}

// The program's requests, numbered by their place in the results.
std::vector<SimStep> FileSessionSteps()
{
    std::vector<SimStep> steps = {
        SimTty("reading\r\n"),
        SimDrfpOpen("data/levels/one.bin"),  // 0
        SimDrfpRead(100000),                 // 1
        SimDrfpSeek(0, 2),                   // 2
        SimDrfpSeek(-1000, 2),               // 3
        SimDrfpRead(4096),                   // 4
        SimDrfpRead(4096),                   // 5
        SimDrfpSeek(10, 7),                  // 6
        SimDrfpSeek(-10, 1),                 // 7
        SimDrfpSeek(-5, 0),                  // 8
        SimDrfpClose(),                      // 9
        SimDrfpOpen("missing.bin"),          // 10
        SimDrfpCode(6, false),               // 11
        SimDrfpCode(10, false),              // 12
        SimDrfpOpen("data/levels/one.bin"),  // 13: the server goes on
        SimDrfpClose(),                      // 14
        SimDrfpRead(16),                     // 15: a handle closed already
        SimDrfpSeek(0, 0),                   // 16
        SimDrfpClose(),                      // 17
        SimDrfpOpen(std::string(300, 'n')),  // 18: longer than any name kept
        SimDrfpOpen("data/levels/one.bin"),  // 19
        SimDrfpSeek(5, 0),                   // 20
        SimDrfpRead(3),                      // 21
        SimBreak(1, 0),
    };
    // Sequence numbers at both ends of their range come back unchanged.
    steps[20].seqnum = 0xffffffffu;
    steps[21].seqnum = 0;
    steps[22].seqnum = 0x00010000;
    return steps;
}

// What each of the 22 replies says about the file.
void ExpectFileReplies(const std::vector<SimDrfpResult>& d, const std::string& content)
{
    const uint32_t size = (uint32_t)content.size();
    EXPECT_EQ(d[0].result, 0u);
    EXPECT_NE(d[0].value, 0u);
    EXPECT_EQ(d[1].value, 32768u);
    EXPECT_EQ(d[1].length, 32792u);
    EXPECT_TRUE(d[1].data == std::vector<uint8_t>(content.begin(), content.begin() + 32768));
    EXPECT_EQ(d[2].value, size);
    EXPECT_EQ(d[3].value, size - 1000);
    EXPECT_EQ(d[4].result, 0u);
    EXPECT_EQ(d[4].value, 1000u);
    EXPECT_EQ(d[4].length, 1024u);
    EXPECT_TRUE(d[4].data == std::vector<uint8_t>(content.end() - 1000, content.end()));
    EXPECT_EQ(d[5].value, 0u);
    EXPECT_EQ(d[5].length, 24u);
    EXPECT_EQ(d[6].result, 0u);
    EXPECT_EQ(d[6].value, 10u);
    EXPECT_EQ(d[7].value, 0u);
    EXPECT_EQ(d[8].result, 9u);
    EXPECT_EQ(d[9].result, 0u);
    EXPECT_EQ(d[10].result, 2u);
    EXPECT_EQ(d[10].value, 0u);
    EXPECT_FALSE(d[11].replied);
    EXPECT_FALSE(d[12].replied);
    EXPECT_EQ(d[13].result, 0u);
    EXPECT_EQ(d[14].result, 0u);
    // A stale handle is refused, never used.
    EXPECT_EQ(d[15].result, 5u);
    EXPECT_EQ(d[15].value, 0u);
    EXPECT_EQ(d[15].length, 24u);
    EXPECT_EQ(d[16].result, 9u);
    EXPECT_EQ(d[17].result, 9u);
    EXPECT_EQ(d[18].result, 2u);
    EXPECT_EQ(d[18].value, 0u);
    EXPECT_EQ(d[20].value, 5u);
    EXPECT_EQ(d[21].value, 3u);
    EXPECT_TRUE(d[21].data == std::vector<uint8_t>(content.begin() + 5, content.begin() + 8));
}

// Every reply carries its request's sequence number and code plus one, and
// goes to the IOP.
void ExpectRepliesMatchRequests(const std::vector<SimDrfpResult>& d)
{
    EXPECT_EQ(d[19].rseq, 0xffffffffu);
    EXPECT_EQ(d[20].rseq, 0u);
    EXPECT_EQ(d[21].rseq, 0x00010000u);
    for (size_t i = 0; i < d.size(); i++) {
        if (!d[i].replied)
            continue;
        EXPECT_EQ(d[i].rseq, d[i].seqnum) << "reply " << i;
        EXPECT_EQ(d[i].rcode, d[i].code + 1) << "reply " << i;
        EXPECT_EQ(d[i].destination, 'I') << "reply " << i;
    }
}

}  // namespace

// A file session as the target's program would run it, then a break report
// that ends the run with status 1.
TEST(HostlinkE2E, ServesFilesThenStopsAtABreak)
{
    std::string dir = MakeTempDir("hostlink-drfp");
    ASSERT_FALSE(dir.empty());
    std::string content;
    ASSERT_NO_FATAL_FAILURE(MakeLevelFile(dir, &content));

    SimConfig cfg;
    cfg.sampleOpens = false;
    cfg.steps = FileSessionSteps();
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    ProcOptions opt;
    opt.cwd = dir;
    run.Start({kExampleElf}, opt);
    ProcResult r = run.Wait();
    std::vector<SimDrfpResult> d = SimDrfpResults(run.sim);
    ASSERT_EQ(d.size(), 22u) << r.out << Dump(run.sim);
    ExpectFileReplies(d, content);
    ExpectRepliesMatchRequests(d);

    std::string shown = UnderLauncher() ? "data\\levels\\one.bin" : "data/levels/one.bin";
    EXPECT_TRUE(InOrder(r.out, {"reading\n", "fopen(" + shown + ", \"rb\")\n",
                                "missing.bin - file not found\n", "Unknown DRFP message\n",
                                "break code 0x1  result 0x0\n",
                                "target program breaked by unknown reason\n", "receive error\n"}));
    EXPECT_EQ(Count(r.out, "Unknown DRFP message"), 1u) << "code 6 is dropped silently";
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(SimProblems(run.sim).empty()) << Dump(run.sim);
    RemoveTree(dir);
}

// With -root the target is fenced in: a name inside is served (also as an
// absolute name, through a link that stays inside, and a name that is not
// ASCII); nothing outside is, whether asked for by an absolute name, a ".."
// climb or a link leading out, each refused like a missing file. Without
// -root the same climb still reaches the file, as it always has; a fence
// that is no directory ends the run before anything is sent.
TEST(HostlinkE2E, RootFencesTheServedFilesIn)
{
    std::string dir = MakeTempDir("hostlink-root");
    ASSERT_FALSE(dir.empty());
    const std::string wide = "donn\xc3\xa9" "es-\xe6\x97\xa5\xe6\x9c\xac.txt";
    ASSERT_EQ(mkdir((dir + "/root").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/root/sub").c_str(), 0755), 0);
    WriteFile(dir + "/root/inside.txt", "inside");
    WriteFile(dir + "/root/sub/" + wide, "wide");
    WriteFile(dir + "/outside.txt", "secret");
    ASSERT_EQ(symlink("../outside.txt", (dir + "/root/up").c_str()), 0);
    ASSERT_EQ(symlink((dir + "/outside.txt").c_str(), (dir + "/root/abs").c_str()), 0);
    ASSERT_EQ(symlink("sub", (dir + "/root/in").c_str()), 0);
    struct Case {
        std::string name;
        const char* content;  // null: refused
    };
    const std::vector<Case> fencedCases = {
        {"inside.txt", "inside"},        {"/inside.txt", "inside"},
        {"in/" + wide, "wide"},          {"sub/../inside.txt", "inside"},
        {"../outside.txt", nullptr},     {"/../outside.txt", nullptr},
        {dir + "/outside.txt", nullptr}, {"up", nullptr},
        {"abs", nullptr},                {"in/../../outside.txt", nullptr},
    };
    // Run from inside root without a fence: what has always been served.
    const std::vector<Case> plainCases = {{"../outside.txt", "secret"}, {"sub/" + wide, "wide"}};
    for (bool fenced : {true, false}) {
        SCOPED_TRACE(fenced ? "-root root" : "no fence");
        const std::vector<Case>& cases = fenced ? fencedCases : plainCases;
        SimConfig cfg;
        cfg.sampleOpens = false;
        for (const Case& c : cases) {
            cfg.steps.push_back(SimDrfpOpen(c.name));
            cfg.steps.push_back(SimDrfpRead(100));
        }
        cfg.steps.push_back(SimBreak(1, 0));
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        ProcOptions opt;
        opt.cwd = fenced ? dir : dir + "/root";
        std::vector<std::string> args = {kExampleElf};
        if (fenced)
            args.insert(args.begin(), {"-root", "root"});
        run.Start(args, opt);
        ProcResult r = run.Wait();
        EXPECT_EQ(r.status, 1) << r.out;
        std::vector<SimDrfpResult> d = SimDrfpResults(run.sim);
        ASSERT_EQ(d.size(), 2 * cases.size()) << Dump(run.sim);
        size_t refused = 0;
        for (size_t i = 0; i < cases.size(); i++) {
            SCOPED_TRACE(cases[i].name);
            const char* want = cases[i].content;
            refused += want == nullptr;
            EXPECT_EQ(d[2 * i].result, want ? 0u : 2u);
            EXPECT_EQ(std::string(d[2 * i + 1].data.begin(), d[2 * i + 1].data.end()),
                      want ? want : "");
        }
        EXPECT_EQ(Count(r.out, " - file not found\n"), refused) << r.out;
        const std::string shown = (fenced ? "in" : "sub") +
                                  std::string(UnderLauncher() ? "\\" : "/") + wide;
        EXPECT_TRUE(InOrder(r.out, {"fopen(" + shown + ", \"rb\")\n"}));
    }
    // A fence that is no directory to open.
    SimConfig cfg;
    cfg.acceptTimeoutMs = 1000;
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    ProcOptions opt;
    opt.cwd = dir;
    run.Start({"-root", "outside.txt", kExampleElf}, opt);
    ProcResult r = run.Wait();
    EXPECT_TRUE(InOrder(r.out, {"outside.txt - cannot open root directory: "}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(SimConnections(run.sim), 0);
    RemoveTree(dir);
}

// Pointer samples go out only once the target has opened their protocol,
// one behind each packet of real traffic; a silent target gets none, and
// hostlink then rests. An interrupt while serving ends the run with 0.
TEST(HostlinkE2E, SamplesFollowTrafficOnceOpenedAndInterruptEndsServing)
{
    SimConfig cfg;
    cfg.sampleOpens = false;
    cfg.steps = {
        SimSleep(300),
        SimMark("before"),
        // The test counts the samples so far while none may come yet.
        SimSleep(500),
        SimDcmp(2, 1, SIM_PROTO_SAMPLE),
    };
    for (int i = 0; i < 20; i++)
        cfg.steps.push_back(SimTty("tick\r\n"));
    cfg.steps.push_back(SimWaitSamples(20, 5000));
    cfg.steps.push_back(SimMark("flowing"));
    cfg.steps.push_back(SimSleep(2000));
    cfg.steps.push_back(SimMark("idled"));
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    run.Start({kExampleElf});
    ASSERT_TRUE(SimWaitMark(run.sim, "before", 10000));
    int before = SimSamples(run.sim);
    bool flowing = SimWaitMark(run.sim, "flowing", 10000);
    int atRest = SimSamples(run.sim);
    double cpu0 = ProcCpuSeconds(run.proc.pid), t0 = Now();
    bool idled = SimWaitMark(run.sim, "idled", 10000);
    double cpu1 = ProcCpuSeconds(run.proc.pid), t1 = Now();
    int after = SimSamples(run.sim);
    int want = EndServing(run);
    ProcResult r = run.Wait();
    EXPECT_EQ(before, 0);
    EXPECT_TRUE(flowing && idled) << r.out;
    EXPECT_EQ(r.status, want) << r.out;
    EXPECT_TRUE(InOrder(r.out, {"DCMP_TYPE_STATUS: PROTO\n", "proto/node=0xe000\n"}));
    EXPECT_GE(atRest, 20);
    EXPECT_LE(atRest, 22) << "one sample per packet received";
    // Bounds while nothing else moves: 100 samples a second, 5 % of a CPU.
    EXPECT_LE(after - atRest, 100 * (t1 - t0));
    if (!UnderLauncher() && cpu0 >= 0 && cpu1 >= 0) {
        EXPECT_LE((cpu1 - cpu0) / (t1 - t0), 0.05);
    }
    std::vector<SimRecord> s = FromHost(run.sim, SIM_PROTO_SAMPLE);
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s[0].bytes, (std::vector<uint8_t>{20, 0, 0, 0, 0x00, 0xe0, 'H', 'E', 1, 0, 0, 0,
                                                1, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_TRUE(SimProblems(run.sim).empty()) << Dump(run.sim);
}

// Standard output that stops taking lines ends the run with status 1 and
// one line on standard error: at once when its pipe is closed from the
// start, or when there is no standard output at all (whose number a socket
// must not take), before the target is reset; while serving, as soon as the
// program's next console text finds the reader gone.
TEST(HostlinkE2E, OutputThatCannotBeWrittenEndsTheRunWithOne)
{
    for (int to : {PROC_STDOUT_BROKEN, PROC_STDOUT_CLOSED, PROC_STDOUT_READ}) {
        bool fromStart = to != PROC_STDOUT_READ;
        if (to == PROC_STDOUT_CLOSED && UnderLauncher())
            continue;  // without a descriptor 1 the launcher's own start-up is at stake
        SCOPED_TRACE(to == PROC_STDOUT_BROKEN   ? "pipe closed from the start"
                     : to == PROC_STDOUT_CLOSED ? "no standard output"
                                                : "closed while serving");
        SimConfig cfg;
        cfg.sampleOpens = false;
        cfg.steps = {SimTty("first\r\n"), SimSleep(600), SimTty("second\r\n"), SimSleep(600),
                     SimTty("third\r\n")};
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        ProcOptions opt;
        opt.stdoutTo = to;
        run.Start({kExampleElf}, opt);
        if (!fromStart) {
            ASSERT_TRUE(WaitForOutput(run.proc, "first", 10));
            CloseToolOutput(run.proc);
        }
        ProcResult r = run.Wait();
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.err.rfind("hostlink: cannot write to standard output: ", 0), 0u) << r.err;
        EXPECT_EQ(Count(r.err, "\n"), 1u) << r.err;
        EXPECT_LT(run.Elapsed(), 8.0);
        if (fromStart) {
            EXPECT_TRUE(FromHost(run.sim, SIM_PROTO_NETMP, 0x02).empty()) << Dump(run.sim);
            EXPECT_TRUE(FromHost(run.sim, SIM_PROTO_DBGP).empty()) << Dump(run.sim);
        }
    }
}

// The demo as people see it: the example program greets, copies the data
// file named on the command line to the console and says goodbye.
TEST(HostlinkE2E, DemoScenarioCopiesTheDataFile)
{
    SimConfig cfg;
    ASSERT_TRUE(SimScenario("demo", &cfg));
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    ProcOptions opt;
    opt.cwd = DSNETSIM_EXAMPLES_DIR;
    run.Start({"demo.elf", "demo-data/hello.txt"}, opt);
    bool done = SimWaitMark(run.sim, "done", 10000) && WaitForOutput(run.proc, "demo: done", 5);
    int want = done ? EndServing(run) : -1;
    ProcResult r = run.Wait();
    ASSERT_TRUE(done) << r.out << Dump(run.sim);
    std::ifstream in(std::string(DSNETSIM_EXAMPLES_DIR) + "/demo-data/hello.txt");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    EXPECT_TRUE(InOrder(r.out, {"demo: hello from the target\n", text, "demo: done\n"}));
    EXPECT_EQ(r.status, want);
}

// The demo's own command line: the simulator program starts hostlink,
// plays the demo and interrupts hostlink once the program has finished. An
// option of the chaos rounds without --chaos is refused, not ignored.
TEST(HostlinkE2E, SimulatorProgramRunsTheDemo)
{
    if (UnderLauncher())
        GTEST_SKIP() << "the simulator program is built natively only";
    struct stat st;
    if (stat(ToolPath("dsnetsim").c_str(), &st) != 0)
        GTEST_SKIP() << "build the dsnetsim target to run this test";
    ProcOptions opt;
    opt.cwd = DSNETSIM_EXAMPLES_DIR;
    opt.timeoutSec = 30;
    ProcResult r = RunTool("dsnetsim", {"-s", "demo", "--run", ToolPath("hostlink"), "demo.elf",
                                        "demo-data/hello.txt"},
                           opt);
    EXPECT_TRUE(InOrder(r.out, {"listening on 127.0.0.1:", "demo: hello from the target\n",
                                "Hello from the workstation's disk.\n", "demo: done\n"}));
    EXPECT_NE(r.err.find("hostlink exited with status 0"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 0);
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--seed", "5"}, {"-s", "demo", "--quick"}, {"--first", "3"}}) {
        r = RunTool("dsnetsim", args, opt);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.err.rfind("usage: dsnetsim", 0), 0u) << r.err;
        EXPECT_EQ(r.out.find("listening"), std::string::npos) << r.out;
    }
}
