// Placeholder until the DBGP module lands.
#include "dbgp.h"
int DbgpPload(char*, int, char**, unsigned int) { return -1; }
int DbgpHandler(char*, uint16_t) { return -1; }
