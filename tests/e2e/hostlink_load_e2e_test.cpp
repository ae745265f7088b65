// hostlink end to end, loading: the example program written into target
// memory and started, whatever the target's units and limits, and a target
// that refuses part of the load.
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "hostlink_e2e.h"

namespace {

// The example program's file image, read independently of hostlink.
struct ElfInfo {
    bool ok = false;
    uint32_t entry = 0, gp = 0;
    struct Seg {
        uint32_t vaddr;
        std::vector<uint8_t> bytes;
    };
    std::vector<Seg> segs;
};

uint32_t Le32(const std::vector<uint8_t>& f, size_t at)
{
    return at + 4 <= f.size() ? (uint32_t)f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) |
                                    ((uint32_t)f[at + 3] << 24)
                              : 0;
}
uint32_t Le16(const std::vector<uint8_t>& f, size_t at)
{
    return at + 2 <= f.size() ? (uint32_t)(f[at] | (f[at + 1] << 8)) : 0;
}

ElfInfo ReadElf(const char* path)
{
    ElfInfo e;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (f.size() < 52)
        return e;
    e.entry = Le32(f, 24);
    uint32_t phoff = Le32(f, 28), shoff = Le32(f, 32);
    uint32_t phnum = Le16(f, 44), shnum = Le16(f, 48);
    for (uint32_t i = 0; i < phnum; i++) {
        size_t p = phoff + 32 * i;
        uint32_t off = Le32(f, p + 4), filesz = Le32(f, p + 16);
        if (Le32(f, p) != 1 || filesz == 0 || (uint64_t)off + filesz > f.size())
            continue;
        e.segs.push_back({Le32(f, p + 8), std::vector<uint8_t>(f.begin() + off,
                                                               f.begin() + off + filesz)});
    }
    for (uint32_t i = 0; i < shnum; i++) {
        size_t s = shoff + 40 * i;
        if (Le32(f, s + 4) == 0x70000006) {
            if (Le32(f, s + 20) == 24)
                e.gp = Le32(f, Le32(f, s + 16) + 20);
            break;
        }
    }
    e.ok = !e.segs.empty();
    return e;
}

}  // namespace

// The example program lands in target memory byte for byte, whatever units
// and packet limits the target asks for, and is started at its entry with
// its gp and the arguments.
TEST(HostlinkE2E, LoadsTheExampleProgram)
{
    ElfInfo elf = ReadElf(kExampleElf);
    ASSERT_TRUE(elf.ok) << kExampleElf;
    struct Conf {
        uint32_t align, limitAlign, limitSize;
    } confs[] = {{0x1f, 0, 0}, {0x400, 0, 0}, {0x11, 0x11, 100}, {0, 0, 0}};
    for (const Conf& c : confs) {
        SimConfig cfg;
        cfg.memAlign = c.align;
        cfg.memLimitAlign = c.limitAlign;
        cfg.memLimitSize = c.limitSize;
        // With the sample protocol open, samples ride on the writes.
        cfg.sampleOpens = c.limitSize != 0;
        cfg.steps.push_back(SimTty("running\r\n"));
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        run.Start({kExampleElf, "first", "-second"});
        SCOPED_TRACE("mem_align " + std::to_string(c.align) + " limit " +
                     std::to_string(c.limitSize));
        // The program runs once hostlink has taken the run reply: the console
        // text behind it shows that.
        bool ran = WaitForOutput(run.proc, "running", 10);
        int want = ran ? EndServing(run) : -1;
        ProcResult r = run.Wait();
        ASSERT_TRUE(ran) << r.out << Dump(run.sim);
        EXPECT_EQ(r.status, want) << r.out;

        uint64_t total = 0;
        for (const ElfInfo::Seg& s : elf.segs) {
            std::vector<uint8_t> mem;
            ASSERT_TRUE(SimReadMem(run.sim, s.vaddr, (uint32_t)s.bytes.size(), &mem))
                << "segment at " << s.vaddr;
            EXPECT_TRUE(mem == s.bytes) << "segment at " << s.vaddr;
            total += s.bytes.size();
        }
        EXPECT_EQ(SimMemBytes(run.sim), total) << "nothing written twice or beyond the images";
        if (cfg.sampleOpens) {
            EXPECT_GT(SimSamples(run.sim), 0);
            EXPECT_LE(SimSamples(run.sim), 4 * SimWrites(run.sim)) << "samples per write";
        }
        SimRunInfo info = SimRun(run.sim);
        EXPECT_EQ(info.entry, elf.entry);
        EXPECT_EQ(info.gp, elf.gp);
        EXPECT_NE(info.gp, 0u);
        ASSERT_EQ(info.args.size(), 3u);
        EXPECT_NE(info.args[0].find("hostlink"), std::string::npos);
        EXPECT_EQ(info.args[1], "first");
        EXPECT_EQ(info.args[2], "-second");
        EXPECT_TRUE(SimProblems(run.sim).empty()) << Dump(run.sim);
    }
}

// Segments of every length a unit can leave a remainder of, at addresses on
// and off the unit's boundaries, reach target memory to their last byte,
// from a program file whose name is not ASCII (taken whole from the
// command line on Windows).
TEST(HostlinkE2E, SegmentsOfEveryLengthReachMemoryWhole)
{
    std::string dir = MakeTempDir("hostlink-lengths");
    ASSERT_FALSE(dir.empty());
    const std::string name = "\xe3\x83\x97\xe3\x83\xad\xe3\x82\xb0-\xce\xb5\xce\xbb.elf";
    std::vector<SimSegment> segs;
    for (uint32_t r = 0; r < 16; r++) {
        SimSegment seg;
        seg.vaddr = 0x00200000 + r * 0x1000 + (r % 3 == 0 ? 0 : r + 1);
        for (uint32_t i = 0; i < 0x100 + r; i++)
            seg.data.push_back((uint8_t)(i * 13 + r));
        segs.push_back(seg);
    }
    ASSERT_TRUE(SimWriteElf((dir + "/" + name).c_str(), segs[0].vaddr, 0, segs));
    // 16-byte units, then 4-byte units with small packets.
    for (uint32_t align : {0x1fu, 0x5u}) {
        SimConfig cfg;
        cfg.memAlign = align;
        cfg.memLimitAlign = align == 0x5 ? 0x5 : 0;
        cfg.memLimitSize = 100;
        cfg.steps.push_back(SimBreak(1, 0));
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        ProcOptions opt;
        opt.cwd = dir;
        opt.env.push_back("LANG=C.UTF-8");  // how the launcher reads the command line
        run.Start({name}, opt);
        ProcResult r = run.Wait();
        SCOPED_TRACE("mem_align " + std::to_string(align));
        EXPECT_EQ(Count(r.out, "Loading program"), 16u) << r.out;
        EXPECT_EQ(r.status, 1) << r.out;
        uint64_t total = 0;
        for (const SimSegment& seg : segs) {
            std::vector<uint8_t> mem;
            ASSERT_TRUE(SimReadMem(run.sim, seg.vaddr, (uint32_t)seg.data.size(), &mem))
                << "segment at " << seg.vaddr << " of " << seg.data.size() << " bytes\n"
                << Dump(run.sim);
            EXPECT_TRUE(mem == seg.data) << "segment at " << seg.vaddr;
            total += seg.data.size();
        }
        EXPECT_EQ(SimMemBytes(run.sim), total);
        EXPECT_TRUE(SimProblems(run.sim).empty()) << Dump(run.sim);
    }
    RemoveTree(dir);
}

// While the program is written, a terminal on standard error shows one line
// that rewrites itself (bytes of the total, percentage, rate) and is wiped
// at the end, also when standard output shares the terminal and prints
// meanwhile; standard error that is no terminal, and standard output, get
// none of it. A name that is not ASCII shows whole on the terminal too (on
// Windows through the console's wide output).
TEST(HostlinkE2E, TheLoadIsWatchedOnATerminalOnly)
{
    std::string dir = MakeTempDir("hostlink-progress");
    ASSERT_FALSE(dir.empty());
    std::string elf = dir + "/two.elf";
    ASSERT_TRUE(SimWriteElf(elf.c_str(), 0x00100000, 0,
                            {{0x00100000, std::vector<uint8_t>(640, 1), 0},
                             {0x00200000, std::vector<uint8_t>(640, 2), 0}}));
    const std::string first = "loading: 0 of 1280 bytes (0 %), ";
    const std::string wide = "\xce\x95\xce\xbb\xce\xbb\xce\xb7\xce\xbd\xce\xb9\xce\xba\xce\xac.txt";
    for (int where : {3, 2, 0}) {
        SCOPED_TRACE(where == 3 ? "both on a terminal" : where == 2 ? "standard error on one"
                                                                    : "no terminal");
        SimConfig cfg;
        cfg.memAlign = 0x11;
        cfg.memLimitAlign = 0x11;
        cfg.memLimitSize = 64;  // 20 writes a segment, each its own exchange
        cfg.split = 4;          // ... and each reply slow to come
        cfg.splitDelayMs = 20;
        cfg.steps.push_back(SimTty("loaded\r\n"));
        cfg.steps.push_back(SimDrfpOpen(wide));
        cfg.steps.push_back(SimBreak(1, 0));
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        ProcOptions opt;
        opt.env.push_back("LANG=C.UTF-8");  // the launcher's console writes UTF-8
        if (where != 0)
            run.StartOnTerminal({elf}, where, opt);
        else
            run.Start({elf}, opt);
        ProcResult r = run.Wait();
        EXPECT_EQ(r.status, 1) << r.out;
        const std::string& shown = where == 2 ? r.err : r.out;
        if (where == 0) {
            EXPECT_EQ(r.err.find("loading"), std::string::npos) << r.err;
            EXPECT_EQ(r.out.find("loading"), std::string::npos);
            continue;
        }
        // Shown at once, then redrawn while the writes go on.
        EXPECT_NE(shown.find(first), std::string::npos) << shown;
        EXPECT_GE(Count(shown, "loading: "), 3u) << shown;
        std::vector<std::string> screen = Screen(shown);
        std::string all;
        for (const std::string& line : screen) {
            EXPECT_EQ(line.find("loading"), std::string::npos) << line;
            all += line + "\n";
        }
        if (where == 3) {
            // The lines printed during the load are whole on the screen.
            EXPECT_TRUE(InOrder(all, {"Loading program (address=0x00100000 size=0x00000280) ...\n",
                                      "Loading program (address=0x00200000 size=0x00000280) ...\n",
                                      "loaded\n", "fopen(" + wide + ", \"rb\")\n",
                                      "break code 0x1"}));
        } else {
            EXPECT_EQ(all.find_first_not_of('\n'), std::string::npos) << all;
            EXPECT_EQ(r.out.find("loading"), std::string::npos);
        }
    }
    RemoveTree(dir);
}

// A target that refuses part of the load: each refusal ends the run with
// its own stack of lines and nothing after it is sent. A size limit that
// leaves a kind of write no room is said before anything is written, also
// when the segment's first bytes would have gone out as single bytes.
TEST(HostlinkE2E, RefusedLoadEndsTheRun)
{
    std::string dir = MakeTempDir("hostlink-refused");
    ASSERT_FALSE(dir.empty());
    std::string odd = dir + "/odd.elf";
    ASSERT_TRUE(SimWriteElf(odd.c_str(), 0x00100008, 0,
                            {{0x00100008, std::vector<uint8_t>(4099, 7), 0}}));
    struct Case {
        const char* name;
        uint8_t getconf, wrmem, run;
        uint32_t limitAlign, limit;
        const char* elf;
        std::vector<std::string> lines;
    } cases[] = {
        {"configuration", 1, 0, 0, 0, 0, kExampleElf,
         {"cannot get DBGP configuration data\n", "receive error\n", "select error\n",
          "faild to send DBGP_TYPE_GETCONF packet\n"}},
        {"second write", 0, 1, 0, 0, 0, kExampleElf,
         {"DBGP_TYPE_WRMEM failed\n", "receive error\n", "select error\n",
          "faild to send DBGP_TYPE_WRMEM packet\n"}},
        {"run", 0, 0, 1, 0, 0, kExampleElf,
         {"DBGP_TYPE_RUN failed\n", "receive error\n", "select error\n",
          "faild to send DBGP_TYPE_RUN packet\n"}},
        {"no room for data", 0, 0, 0, 0x11, 32, kExampleElf,
         {"DBGP memory-write size limit leaves no room for data\n"}},
        {"no room for the bulk of an odd segment", 0, 0, 0, 0x10, 40, odd.c_str(),
         {"DBGP memory-write size limit is smaller than one unit\n"}},
    };
    for (const Case& c : cases) {
        SimConfig cfg;
        cfg.sampleOpens = false;
        cfg.getconfResult = c.getconf;
        cfg.wrmemResult = c.wrmem;
        cfg.wrmemFailNth = 1;
        cfg.runResult = c.run;
        cfg.memAlign = 0x11;  // code 4, and 0 for the odd ends
        cfg.memLimitAlign = c.limitAlign;
        cfg.memLimitSize = c.limit;
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        run.Start({c.elf});
        ProcResult r = run.Wait();
        SCOPED_TRACE(c.name);
        std::vector<std::string> want = c.lines;
        want.push_back("cannot download program\n");
        EXPECT_TRUE(InOrder(r.out, want));
        EXPECT_EQ(r.status, 255);
        std::vector<SimRecord> dbgp = FromHost(run.sim, SIM_PROTO_DBGP);
        size_t expected = c.getconf ? 1 : c.wrmem ? 3 : c.limit ? 1 : 0;
        if (expected) {
            EXPECT_EQ(dbgp.size(), expected) << Dump(run.sim);
        }
        if (c.limit) {
            EXPECT_EQ(Count(r.out, "Loading program"), 0u) << r.out;
        }
        EXPECT_FALSE(SimRun(run.sim).seen && c.run == 0) << "no program was started";
    }
    RemoveTree(dir);
}

// A program file that cannot be loaded is refused with the loader's own
// message before anything is registered or reset, so a mistyped name costs
// a free target nothing: a missing name, a FIFO (which must not hold the
// run), a directory, files too short for the magic or the header, another
// architecture, program headers outside the file; and so are arguments too
// long for the run request.
TEST(HostlinkE2E, AProgramFileThatCannotBeLoadedIsRefusedBeforeTheClaim)
{
    std::string dir = MakeTempDir("hostlink-files");
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(SimWriteElf((dir + "/good.elf").c_str(), 0x00100000, 0,
                            {{0x00100000, std::vector<uint8_t>(64, 1), 0}}));
    std::ifstream in(dir + "/good.elf", std::ios::binary);
    std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(good.size(), 52u);
    std::string bigEndian = good, farTable = good;
    bigEndian[5] = 2;
    farTable[28] = farTable[29] = farTable[30] = 0x7f;  // e_phoff past the end
    WriteFile(dir + "/short.elf", good.substr(0, 3));
    WriteFile(dir + "/text.elf", "not a program\n");
    WriteFile(dir + "/cut.elf", good.substr(0, 40));
    WriteFile(dir + "/big-endian.elf", bigEndian);
    WriteFile(dir + "/far-table.elf", farTable);
    ASSERT_EQ(mkdir((dir + "/dir.elf").c_str(), 0755), 0);

    struct Case {
        const char* name;
        const char* line;
    } cases[] = {
        {"missing.elf", "Cannot open file\n"},
        {"fifo.elf", "Cannot open file\n"},
        {"dir.elf", "Cannot open file\n"},
        {"short.elf", "Cannot open file\n"},
        {"text.elf", "Cannot open file\n"},
        {"cut.elf", "Cannot read ELF header\n"},
        {"big-endian.elf", "File is not for EE architecture\n"},
        {"far-table.elf", "There is no program headers\n"},
        {"good.elf", "program arguments too long for DBGP_TYPE_RUN packet\n"},
    };
    bool fifo = !UnderLauncher() && mkfifo((dir + "/fifo.elf").c_str(), 0600) == 0;
    for (const Case& c : cases) {
        if (std::string(c.name) == "fifo.elf" && !fifo)
            continue;  // no FIFO under the launcher's system
        bool huge = std::string(c.name) == "good.elf";
        if (huge && UnderLauncher())
            continue;  // past the launcher's system's command-line limit
        for (bool kick : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (kick ? " -kickme" : ""));
            SimConfig cfg;
            Session run(cfg);
            ASSERT_NE(run.sim, nullptr);
            ProcOptions opt;
            opt.cwd = dir;
            std::vector<std::string> args;
            if (kick)
                args.push_back("-kickme");
            args.push_back(c.name);
            if (huge)
                args.push_back(std::string(70000, 'a'));
            run.Start(args, opt);
            ProcResult r = run.Wait();
            EXPECT_TRUE(InOrder(r.out, {c.line, "cannot download program\n"}));
            EXPECT_EQ(r.status, 255);
            EXPECT_LT(run.Elapsed(), 8.0);
            std::vector<SimRecord> netmp = FromHost(run.sim, SIM_PROTO_NETMP);
            ASSERT_EQ(netmp.size(), 1u) << "the status request alone\n" << Dump(run.sim);
            EXPECT_EQ(netmp[0].bytes[8], 0x06);
            EXPECT_TRUE(FromHost(run.sim, SIM_PROTO_DBGP).empty()) << Dump(run.sim);
        }
    }
    RemoveTree(dir);
}
