// Text between the program's UTF-8 and the UTF-16 of the Windows wide
// interfaces. Only the Windows layer uses it; it touches no system call, so
// its tests run on every build.
//
// Every sequence of 16-bit units survives the way to UTF-8 and back: a lone
// surrogate, which a Windows file name may hold, is carried as the three
// bytes its code point would take in UTF-8 (the generalized form also known
// as WTF-8), so such a name is still found again and counted. Bytes that are
// not UTF-8 become U+FFFD on the way to UTF-16.
#ifndef SPACEUSE_WIDETEXT_H
#define SPACEUSE_WIDETEXT_H

#include <stddef.h>

#ifdef _WIN32
typedef wchar_t WideChar;
#else
typedef char16_t WideChar;
#endif

// Converts `len` bytes of `text` into `out`, which has room for `cap`
// units. Returns the number of units the whole text takes (without a
// terminator); when that is below `cap` the units are in `out`, terminated.
// Otherwise `out` holds nothing usable. `out` may be NULL when `cap` is 0.
size_t WideFromUtf8(const char* text, size_t len, WideChar* out, size_t cap);

// Converts `len` units of `text` into `out`, which has room for `size`
// bytes. Returns the number of bytes the whole text takes (without a
// terminator); when that is below `size` the bytes are in `out`, terminated.
// Otherwise `out` holds nothing usable. `out` may be NULL when `size` is 0.
size_t Utf8FromWide(const WideChar* text, size_t len, char* out, size_t size);

#endif
