// The simulator's clock and naps: a monotonic clock in seconds, and a sleep
// that an interrupted call does not cut short.
#ifndef DSNETSIM_SIMTIME_H
#define DSNETSIM_SIMTIME_H

#include <errno.h>
#include <time.h>

static inline double SimNow()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static inline void SimSleepMs(int ms)
{
    if (ms <= 0)
        return;
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

#endif
