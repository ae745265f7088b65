// Chaos rounds: the files a round needs, one round run against a fresh
// session, and the verdict on how hostlink ended. The recipes come from
// chaos_plan.cpp.
//
// Every recipe ends the session on the simulator's side (a close, or the
// session limit as a backstop), so a hostlink that is still running well
// after that is hung, not waiting. Faults are chosen so that most rounds end
// within a second or two: a silence longer than hostlink's own 10 s waits
// is rare and asked for on purpose (ChaosOptions::longWaits).
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "chaosgen.h"
#include "simtime.h"

using chaos::Fmt;

// ---- the round's directory ------------------------------------------------------------

static bool WriteBytes(const std::string& path, const std::string& data)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

bool ChaosPrepareDir(const ChaosPlan& plan, const std::string& dir)
{
    std::string data(40000, 0);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)('a' + i % 26);
    mkdir((dir + "/sub").c_str(), 0755);
    if (!WriteBytes(dir + "/data.bin", data) || !WriteBytes(dir + "/sub/note.txt", "a note\n"))
        return false;
    std::string elf = dir + "/prog.elf";
    unlink(elf.c_str());
    if (!plan.elfWritten)
        return true;
    if (!SimWriteElf(elf.c_str(), plan.entry, plan.gp, plan.segs))
        return false;
    if (plan.elfCut >= 0 && truncate(elf.c_str(), (off_t)plan.elfCut) != 0)
        return false;
    return true;
}

// ---- one round ---------------------------------------------------------------------------

std::string ChaosJudge(const ChaosPlan& plan, int status, bool timedOut, bool signalled,
                       bool outwaited, const std::string& err)
{
    static const char* markers[] = {"AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer",
                                    "runtime error:"};
    for (const char* m : markers)
        if (err.find(m) != std::string::npos)
            return Fmt("sanitizer report on stderr (\"%s\")", m);
    if (timedOut)
        return "still running at the round's time limit: killed";
    if (status > 128 && status < 128 + 65)
        return Fmt("killed by signal %d", status - 128);
    if (status != 0 && status != 1 && status != 255)
        return Fmt("exit status %d, not one of 0, 1, 255", status);
    if (status == 0 && !plan.zeroAllowed && !signalled)
        return "exit status 0 (success) though nothing in the round allows it";
    if (outwaited)
        return "still waiting for a packet (or a reply) long after its own wait should have ended";
    return std::string();
}

ChaosResult ChaosRunRound(const ChaosPlan& plan, const std::string& dir, const ChaosChild& child,
                          double limitSec)
{
    ChaosResult res;
    double t0 = SimNow();
    Sim* sim = SimStart(plan.cfg);
    if (!sim) {
        res.failed = true;
        res.why = "the simulator cannot listen";
        return res;
    }
    std::vector<std::string> args = {"-d", Fmt("127.0.0.1:%d", SimPort(sim))};
    args.insert(args.end(), plan.args.begin(), plan.args.end());
    if (!child.start(child.ctx, args, dir)) {
        SimStop(sim);
        res.failed = true;
        res.why = "hostlink cannot be started";
        return res;
    }
    bool outwaited = false;
    while (!child.ended(child.ctx, 50)) {
        if (plan.interrupt && !res.signalled && SimWaitMark(sim, "interrupt", 0)) {
            child.interrupt(child.ctx);
            res.signalled = true;
        }
        if (SimNow() - t0 > limitSec) {
            res.timedOut = true;
            break;
        }
    }
    // Whether the session had to close on a hostlink that should have given
    // up by itself is looked at before the session ends for other reasons.
    if (plan.mustEndFirst)
        outwaited = SimWaitMark(sim, "outwaited", 0);
    res.endReason = SimEndReason(sim);
    std::string err;
    res.status = child.finish(child.ctx, &err);
    SimStop(sim);
    res.seconds = SimNow() - t0;
    res.errTail = err.size() > 2000 ? err.substr(err.size() - 2000) : err;
    res.why = ChaosJudge(plan, res.status, res.timedOut, res.signalled, outwaited, err);
    res.failed = !res.why.empty();
    return res;
}
