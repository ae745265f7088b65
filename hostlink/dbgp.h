// DBGP: loading the EE program into target memory and starting it.
#ifndef HOSTLINK_DBGP_H
#define HOSTLINK_DBGP_H

#include <stdint.h>

// Writes every loadable segment of the ELF file `filename` into EE memory
// and starts it with this program's name and the `argc` texts of `argv`
// (null when argc is 0) as its arguments, on connection `socket`. 0 once
// the target has accepted the run request; -1 after printing why.
int DbgpPload(char* filename, int argc, char** argv, unsigned int socket);
// Opens the ELF file `filename` and makes the loader's checks of it (the
// magic, the header, an executable for the EE, the program headers), and
// checks that the run request for the `argc` texts of `argv` fits a packet,
// without anything reaching the target: 0, or -1 after the loader's own
// message.
int DbgpCheckProgram(const char* filename, int argc, char** argv);
// `buf` is the body after the DECI2 header, `length` its byte count.
// 1 handled or ignored; -1 a failed reply, a break of the running program
// or a packet too short to read.
int DbgpHandler(char* buf, uint16_t length);

#endif
