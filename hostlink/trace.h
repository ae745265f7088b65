// The trace of the link (-trace): one line for every packet sent or
// received, in the order they cross the sockets, written as it happens.
//
//   <seconds.microseconds> <connection> sent|received <length> <protocol>
//   <source>><destination> [field=value ...]
//
// Time runs from TraceOpen; connections are numbered 1 to 3 in the order
// they were opened. The fields are those of the protocols this program
// speaks; a protocol it does not know, or a body too short for its fields,
// is traced as it is ("malformed"), never read past its length. The lines
// are written out when the program waits: at once when the last write was
// a while ago, else as soon as the wait has lasted that while (TraceHold),
// so a busy link is written in batches and a waiting program's file is
// whole within a few milliseconds.
#ifndef HOSTLINK_TRACE_H
#define HOSTLINK_TRACE_H

#include <stdint.h>

// Starts the trace in the file `name` ("-": standard error), created or
// emptied. 0, or -1 with errno set.
int TraceOpen(const char* name);
// True while the trace goes to standard error.
int TraceToStderr(void);
// Connection `fd` is the `number`th (1..3).
void TraceConnection(int fd, int number);
// The whole packet `pkt` of `len` bytes has crossed connection `fd`, going
// out when `sent`, coming in otherwise.
void TracePacket(int fd, int sent, const unsigned char* pkt, int len);
// Writes out the lines made so far. The exit handler calls it (through
// TraceClose): a run that ends by a signal or a failure leaves its whole
// trace behind.
void TraceFlush(void);
// Called before the program waits: writes out the lines made so far when
// the last write was at least 20 ms ago (or there was none) and returns
// -1; otherwise returns the milliseconds left until they are due, which
// the wait spends before calling TraceFlush. -1 when nothing is held.
int TraceHold(void);
// Ends the trace; what is left is written and the file closed.
void TraceClose(void);

#endif
