// Placeholder until the DCMP module lands.
#include "dcmp.h"
int DcmpHandler(char*, uint16_t) { return -1; }
