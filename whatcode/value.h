// Value text and message text handling shared by whatcode and its tests.
#ifndef WHATCODE_VALUE_H
#define WHATCODE_VALUE_H

#include <stdint.h>

// Converts an error value the way strtoul does in base 0 on a host whose
// unsigned long is 32 bits wide, whatever the real width: leading white
// space, an optional sign ('-' negates modulo 2^32), "0x"/"0X" for
// hexadecimal, a leading 0 for octal, digits up to the first one that does
// not belong to the base. Returns 0; ERANGE when the magnitude does not fit
// in 32 bits (then *value is 0xFFFFFFFF); EINVAL when no digit follows the
// blanks and the sign, so the text is no number at all (then *value is 0).
int ConvertValue(const char* text, uint32_t* value);

// Ends a message text of n characters before its closing line break and
// returns the new length. Only carriage returns and line feeds are dropped,
// at most two, so a text that comes back without its line break keeps all
// of its letters.
unsigned EndMessageText(char* text, unsigned n);

#endif
