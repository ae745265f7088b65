// The system's message table. Windows answers from its own table; elsewhere
// a copy of the Windows texts is built into the program. (The rest of what
// whatcode asks of the host is in host.h.)
#ifndef WHATCODE_MSG_H
#define WHATCODE_MSG_H

#include <stdint.h>

// Looks up the text for an error value. On success *text points at a
// NUL-terminated UTF-8 text that ends with "\r\n", as the system hands it
// out, with inserts such as %1 left as they stand; the result is its length
// in bytes.
// Otherwise the result is 0 and *text is null. A text that came back must be
// released with FreeMessage.
unsigned LookupMessage(uint32_t id, char** text);
void FreeMessage(char* text);

#endif
