// The load's progress line on standard error. It is drawn from the start of
// the line and ends without a line feed, so each drawing replaces the one
// before; blanks over its whole width wipe it.
#include "progress.h"

#include <stdio.h>
#include <string.h>

#include "platform.h"

// Redrawn no more often than this.
#define PROGRESS_INTERVAL_US 100000u
#define PROGRESS_WIDTH 100

static int enabled;
static int active;
static uint64_t total, done;
static uint64_t started, drawn;  // microseconds
static size_t shown;             // width of what is on the screen, 0: nothing

void ProgressEnable(int on)
{
    enabled = on;
}

// The line wiped: the cursor back at its start, on blanks.
static void Wipe(void)
{
    char blank[PROGRESS_WIDTH + 3];
    if (shown == 0)
        return;
    blank[0] = '\r';
    memset(blank + 1, ' ', shown);
    blank[shown + 1] = '\r';
    blank[shown + 2] = '\0';
    SysWriteText(SYS_STDERR, blank);
    shown = 0;
}

static void Draw(uint64_t now)
{
    char line[PROGRESS_WIDTH + 2];
    double seconds = (double)(now - started) / 1e6;
    double rate = seconds > 0 ? (double)done / seconds / 1e6 : 0;
    unsigned percent = total > 0 ? (unsigned)(done * 100 / total) : 100;
    int n = snprintf(line, sizeof line, "\rloading: %llu of %llu bytes (%u %%), %.1f MB/s",
                     (unsigned long long)done, (unsigned long long)total, percent, rate);
    if (n < 0)
        return;
    size_t len = (size_t)n < sizeof line ? (size_t)n - 1 : sizeof line - 2;
    // A shorter line covers the longer one before it.
    while (len < shown && len + 1 < sizeof line - 1)
        line[++len] = ' ';
    line[len + 1] = '\0';
    SysWriteText(SYS_STDERR, line);
    shown = len;
    drawn = now;
}

void ProgressStart(uint64_t bytes)
{
    if (!enabled)
        return;
    active = 1;
    total = bytes;
    done = 0;
    started = SysMicroseconds();
    Draw(started);
}

void ProgressAdvance(uint64_t bytes)
{
    if (!active)
        return;
    done += bytes;
    uint64_t now = SysMicroseconds();
    if (now - drawn >= PROGRESS_INTERVAL_US)
        Draw(now);
}

void ProgressEnd(void)
{
    if (!active)
        return;
    Wipe();
    active = 0;
}

void ProgressWipe(void)
{
    if (active)
        Wipe();
}
