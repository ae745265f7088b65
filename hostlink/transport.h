// What the wait (link.cpp) takes from the transport of packets
// (transport.cpp); nothing else includes this.
#ifndef HOSTLINK_TRANSPORT_H
#define HOSTLINK_TRANSPORT_H

#include <stdint.h>

#include "deci2.h"

// The wait's length in milliseconds, the length of one of its slices and
// their number.
uint64_t TimeoutMs(void);
int SliceMs(void);
int WaitSlices(void);

// Sends the whole of `pkt` and, when `next` is not null, `next` right
// behind it in the same calls; each that has gone is freed or marked
// awaiting its reply. With `tryOnly`, a socket that takes nothing at once
// leaves both as they were and gives 0. Bytes sent, or -1 after "send()
// failed" (the packets stay queued).
int SendPackets(int fd, PKT* pkt, PKT* next, int tryOnly);

#endif
