// DRFP: the target's read-only file requests, answered from the host's disk.
#ifndef HOSTLINK_DRFP_H
#define HOSTLINK_DRFP_H

#include <stdint.h>

// `buf` is the body after the DECI2 header, `length` its byte count.
int DrfpHandler(char* buf, uint16_t length);
// Closes every file the target still holds open and forgets its handles,
// as at the end of a served session.
void DrfpCloseAll(void);

#endif
