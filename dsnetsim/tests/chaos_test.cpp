// Chaos recipes and verdicts: a recipe must replay exactly, every round must
// be able to end, and the verdict must tell a crash, a hang or an unearned
// success from the ways hostlink may rightly end.
#include <set>

#include <gtest/gtest.h>

#include "chaos.h"

namespace {

std::string Steps(const ChaosPlan& p)
{
    std::string s;
    for (const SimStep& st : p.cfg.steps)
        s += std::to_string(st.hook) + "/" + std::to_string(st.nth) + "/" +
             std::to_string(st.kind) + "/" + std::to_string(st.data.size()) + ";";
    return s;
}

bool HasMark(const ChaosPlan& p, const char* name)
{
    for (const SimStep& st : p.cfg.steps)
        if (st.kind == SIM_STEP_MARK && st.data == name)
            return true;
    return false;
}

}  // namespace

// The same seed and round give the same recipe; other rounds and seeds give
// other ones.
TEST(Chaos, RecipesReplayFromSeedAndRound)
{
    ChaosOptions opt;
    std::set<std::string> seen;
    for (int round = 0; round < 50; round++) {
        ChaosPlan a = ChaosMakePlan(42, round, opt);
        ChaosPlan b = ChaosMakePlan(42, round, opt);
        EXPECT_EQ(a.recipe, b.recipe);
        EXPECT_EQ(Steps(a), Steps(b));
        EXPECT_EQ(a.args, b.args);
        seen.insert(Steps(a) + a.args[0]);
    }
    EXPECT_GT(seen.size(), 45u);
    EXPECT_NE(Steps(ChaosMakePlan(1, 7, opt)), Steps(ChaosMakePlan(2, 7, opt)));
}

// Whatever the recipe, the session ends on its own side: the serving script
// ends in a close and a session limit backs up every other wait. Faults reach
// every moment of a run, and the options keep out what they say.
TEST(Chaos, EveryRoundEndsAndFaultsReachEveryPhase)
{
    ChaosOptions all;
    ChaosOptions tame;
    tame.signals = false;
    tame.ownHost = false;
    tame.longWaits = false;
    tame.hugeArgs = false;
    std::set<int> hooks;
    int interrupts = 0, longWaits = 0, drops = 0;
    for (int round = 0; round < 3000; round++) {
        ChaosPlan p = ChaosMakePlan(7, round, all);
        ASSERT_GT(p.cfg.sessionLimitMs, 0);
        ASSERT_LE(p.cfg.idleTimeoutMs, 2000);
        const SimStep* last = nullptr;
        for (const SimStep& st : p.cfg.steps) {
            hooks.insert(st.hook);
            if (st.hook == SIM_AT_RUN && !st.beforeReply)
                last = &st;
            if (st.kind == SIM_STEP_DROP_REPLY) {
                drops++;
                EXPECT_TRUE(st.beforeReply) << "round " << round;
            }
        }
        ASSERT_NE(last, nullptr) << "round " << round;
        EXPECT_EQ(last->kind, SIM_STEP_CLOSE) << "round " << round;
        EXPECT_EQ(p.interrupt, HasMark(p, "interrupt")) << "round " << round;
        EXPECT_EQ(p.mustEndFirst, HasMark(p, "outwaited")) << "round " << round;
        interrupts += p.interrupt;
        longWaits += p.mustEndFirst;

        ChaosPlan t = ChaosMakePlan(7, round, tame);
        EXPECT_FALSE(t.interrupt);
        EXPECT_FALSE(t.mustEndFirst);
        EXPECT_NE(t.cfg.owner, SIM_OWNER_SELF);
        for (const std::string& a : t.args)
            EXPECT_LT(a.size(), 1000u);
    }
    EXPECT_EQ(hooks.size(), (size_t)SIM_HOOK_COUNT);
    EXPECT_GT(interrupts, 100);
    EXPECT_GT(drops, 100);
    // Long rounds are the exception.
    EXPECT_GT(longWaits, 10);
    EXPECT_LT(longWaits, 300);
}

TEST(Chaos, VerdictSeparatesDocumentedEndsFromFaults)
{
    ChaosPlan plan;
    for (int status : {1, 255})
        EXPECT_EQ(ChaosJudge(plan, status, false, false, false, ""), "") << status;
    EXPECT_NE(ChaosJudge(plan, 0, false, false, false, ""), "");
    EXPECT_EQ(ChaosJudge(plan, 0, false, true, false, ""), "");
    EXPECT_NE(ChaosJudge(plan, 128 + 11, false, false, false, "").find("signal 11"),
              std::string::npos);
    EXPECT_NE(ChaosJudge(plan, 2, false, false, false, ""), "");
    EXPECT_NE(ChaosJudge(plan, -1, true, false, false, ""), "");
    EXPECT_NE(ChaosJudge(plan, 1, false, false, true, ""), "");
    // A sanitizer may exit with a status that looks ordinary.
    EXPECT_NE(ChaosJudge(plan, 1, false, false, false,
                         "==12==ERROR: AddressSanitizer: heap-buffer-overflow"),
              "");
    EXPECT_NE(ChaosJudge(plan, 255, false, false, false, "main.cpp:10:3: runtime error: shift"), "");
    plan.zeroAllowed = true;
    EXPECT_EQ(ChaosJudge(plan, 0, false, false, false, "harmless noise\n"), "");
}

namespace {

struct FakeChild {
    int starts = 0;
    int status = 0;
    bool endsAtOnce = true;
};

bool FakeStart(void* ctx, const std::vector<std::string>& args, const std::string&)
{
    FakeChild* f = (FakeChild*)ctx;
    f->starts++;
    // The session's address comes first.
    return args.size() >= 3 && args[0] == "-d" && args[1].rfind("127.0.0.1:", 0) == 0;
}
bool FakeEnded(void* ctx, int) { return ((FakeChild*)ctx)->endsAtOnce; }
void FakeInterrupt(void*) {}
int FakeFinish(void* ctx, std::string* err)
{
    err->clear();
    FakeChild* f = (FakeChild*)ctx;
    return f->endsAtOnce ? f->status : 128 + 9;
}

}  // namespace

// A child that never ends is killed at the round's limit and reported; one
// that dies of a signal is reported as such.
TEST(Chaos, RoundReportsHangsAndCrashes)
{
    ChaosOptions opt;
    ChaosPlan plan = ChaosMakePlan(3, 0, opt);
    plan.cfg.acceptTimeoutMs = 200;
    FakeChild fake;
    ChaosChild child;
    child.ctx = &fake;
    child.start = FakeStart;
    child.ended = FakeEnded;
    child.interrupt = FakeInterrupt;
    child.finish = FakeFinish;

    fake.status = 128 + 11;
    ChaosResult r = ChaosRunRound(plan, "/nonexistent", child, 5);
    EXPECT_EQ(fake.starts, 1);
    EXPECT_TRUE(r.failed);
    EXPECT_NE(r.why.find("signal 11"), std::string::npos) << r.why;

    fake.endsAtOnce = false;
    r = ChaosRunRound(plan, "/nonexistent", child, 1);
    EXPECT_TRUE(r.timedOut);
    EXPECT_TRUE(r.failed);
    EXPECT_GE(r.seconds, 1.0);
    EXPECT_LT(r.seconds, 5.0);
}
