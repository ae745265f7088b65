// The symbolic names of the error values (ERROR_ACCESS_DENIED,
// E_OUTOFMEMORY), from a table built into the program on every platform:
// a value by its name, the names of a value, and the test that picks the
// values a search asks for.
#ifndef WHATCODE_NAMES_H
#define WHATCODE_NAMES_H

#include <stddef.h>
#include <stdint.h>

// The value whose name is `text`, matched without regard to case. 1 when
// there is one, else 0 (and *value is left alone).
int FindNamedValue(const char* text, uint32_t* value);

// The names of a value, one blank between two, in the table's order, as a
// NUL-terminated line in `buf` (cut to fit `size`); its length, 0 when the
// value has no name. An HRESULT of the Win32 facility (0x8007xxxx) takes
// the names of code xxxx, as it takes its text.
size_t FormatValueNames(uint32_t value, char* buf, size_t size);

// Walks the named values in ascending order, each once: start with
// *cursor = 0; 1 while *value is the next one, 0 past the last.
int NextNamedValue(size_t* cursor, uint32_t* value);

// 1 when each of the `count` words is found in `names` or in `text`,
// without regard to case (ASCII letters only), else 0. Either may be null.
int HoldsAllWords(const char* names, const char* text, char* const* words, int count);

#endif
