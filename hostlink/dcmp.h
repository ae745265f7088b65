// DCMP: status and error messages from the manager.
#ifndef HOSTLINK_DCMP_H
#define HOSTLINK_DCMP_H

#include <stdint.h>

// `buf` is the body after the DECI2 header, `length` its byte count.
int DcmpHandler(char* buf, uint16_t length);

#endif
