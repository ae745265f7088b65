// Placeholder until the DRFP module lands.
#include "drfp.h"
int DrfpHandler(char*, uint16_t) { return -1; }
