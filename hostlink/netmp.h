// NETMP: the requests this program sends to the network manager and the
// handling of its replies.
#ifndef HOSTLINK_NETMP_H
#define HOSTLINK_NETMP_H

#include <stdint.h>

void* NetmpMakeStatus(void);
void* NetmpMakeConnect(uint8_t priority);
void* NetmpMakeComment(void);
void* NetmpMakeReset(void);
// `buf` is the body after the DECI2 header, `length` its byte count.
int NetmpHandler(char* buf, uint16_t length);

#endif
