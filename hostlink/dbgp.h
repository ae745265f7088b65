// DBGP: loading the EE program into target memory and starting it.
#ifndef HOSTLINK_DBGP_H
#define HOSTLINK_DBGP_H

#include <stdint.h>

int DbgpPload(char* filename, int argc, char** argv, unsigned int socket);
// `buf` is the body after the DECI2 header, `length` its byte count.
int DbgpHandler(char* buf, uint16_t length);

#endif
