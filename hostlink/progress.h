// The load's progress line: while the program is written to the target,
// one line on standard error that rewrites itself (bytes written of the
// total, percentage, rate), only where standard error is a terminal, and
// wiped when the load ends so that nothing of it stays.
#ifndef HOSTLINK_PROGRESS_H
#define HOSTLINK_PROGRESS_H

#include <stdint.h>

// Whether the line is shown at all; off until asked for.
void ProgressEnable(int on);
// A load of `total` bytes begins: the line is shown at once.
void ProgressStart(uint64_t total);
// `bytes` more have reached the target; the line is redrawn at most ten
// times a second.
void ProgressAdvance(uint64_t bytes);
// The load has ended, well or not: the line is wiped for good.
void ProgressEnd(void);
// Other output is about to reach the terminal: the line is wiped, and
// drawn again by the next advance.
void ProgressWipe(void);

#endif
