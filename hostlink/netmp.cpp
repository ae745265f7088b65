// Placeholder until the NETMP module lands.
#include "netmp.h"
void* NetmpMakeStatus(void) { return 0; }
void* NetmpMakeConnect(uint8_t) { return 0; }
void* NetmpMakeComment(void) { return 0; }
void* NetmpMakeReset(void) { return 0; }
int NetmpHandler(char*, uint16_t) { return -1; }
