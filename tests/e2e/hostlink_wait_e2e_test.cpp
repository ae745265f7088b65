// hostlink end to end, quiet waits: a wait that outlasts its time ends the
// run, a termination signal ends it at the end of a slice, and a quiet
// target that is being served is no failure.
#include <signal.h>

#include "hostlink_e2e.h"

namespace {

// A target that never reports its EE after the reset and sends nothing at
// all: hostlink's wait for it stays quiet.
SimConfig SilentTarget()
{
    SimConfig cfg;
    cfg.eeConnects = false;
    cfg.sampleOpens = false;
    return cfg;
}

}  // namespace

// An interrupt during a quiet wait is acted on at the end of the one-second
// slice, not after the whole ten-second wait; while serving it ends the run
// with 0. A closed terminal (SIGHUP) and SIGQUIT end it the same way, in
// order, not killed where it stands.
TEST(HostlinkE2E, TerminationSignalEndsAQuietWaitAtTheSliceEnd)
{
    if (UnderLauncher())
        GTEST_SKIP() << "signals do not reach a program under the launcher";
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        for (bool serving : {false, true}) {
            SCOPED_TRACE("signal " + std::to_string(sig) + (serving ? " while serving" : ""));
            SimConfig cfg = SilentTarget();
            cfg.eeConnects = serving;
            cfg.steps.push_back(SimTty("served\r\n"));
            Session run(cfg);
            ASSERT_NE(run.sim, nullptr);
            run.Start({kExampleElf});
            ASSERT_TRUE(WaitForOutput(run.proc, serving ? "served" : "Target reset.", 10));
            double t = Now();
            SignalTool(run.proc, sig);
            ProcResult r = run.Wait();
            EXPECT_LT(Now() - t, 2.5);
            if (serving) {
                EXPECT_EQ(r.status, 0) << r.out;
            } else {
                EXPECT_TRUE(InOrder(r.out, {"Target reset.\n", "timeout\n"}));
                EXPECT_EQ(r.status, 255);
            }
        }
    }
}

// A target that never reports its EE after the reset: one whole quiet wait,
// then "timeout".
TEST(HostlinkE2E, SilenceAfterTheResetTimesOut)
{
    Session run(SilentTarget());
    ASSERT_NE(run.sim, nullptr);
    run.Start({kExampleElf});
    ProcResult r = run.Wait();
    EXPECT_TRUE(InOrder(r.out, {"Target reset.\n", "timeout\n"}));
    EXPECT_EQ(r.status, 255);
    EXPECT_GT(run.Elapsed(), 8.0);
    EXPECT_LT(run.Elapsed(), 14.0);
}

// A target that stays quiet while its program runs is served on: a quiet
// wait with no request outstanding is not a failure.
TEST(HostlinkE2E, ServingOutlastsAQuietWait)
{
    SimConfig cfg;
    cfg.sampleOpens = false;
    cfg.steps = {SimSleep(10500), SimTty("still here\r\n"), SimSync(), SimMark("done")};
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    run.Start({kExampleElf});
    bool done = SimWaitMark(run.sim, "done", 14000);
    int want = done ? EndServing(run) : -1;
    ProcResult r = run.Wait();
    EXPECT_TRUE(done) << r.out;
    EXPECT_TRUE(InOrder(r.out, {"Loading program", "still here\n"}));
    EXPECT_EQ(Count(r.out, "timeout"), 0u);
    EXPECT_EQ(r.status, want);
    SimRunInfo info = SimRun(run.sim);
    ASSERT_EQ(info.args.size(), 1u) << "no program arguments: the program name alone";
    EXPECT_EQ(info.argc, 1u);
}
