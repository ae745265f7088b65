// UTF-8 (with lone surrogates) to UTF-16 and back (widetext.h).
#include "widetext.h"

#include <stdint.h>

#define REPLACEMENT 0xFFFD

static int IsTrail(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

// The code point of the sequence at `s` (of `len` bytes left) and its
// length in bytes; a byte that begins no valid sequence is U+FFFD of one
// byte. Overlong forms and values past U+10FFFF are not valid; the
// surrogate range is, as a lone surrogate travels in this form.
static uint32_t Decode(const unsigned char* s, size_t len, size_t* used)
{
    unsigned char c = s[0];
    *used = 1;
    if (c < 0x80)
        return c;
    size_t n;
    uint32_t cp, min;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return REPLACEMENT;
    }
    if (len < n)
        return REPLACEMENT;
    for (size_t i = 1; i < n; i++) {
        if (!IsTrail(s[i]))
            return REPLACEMENT;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF)
        return REPLACEMENT;
    *used = n;
    return cp;
}

size_t WideFromUtf8(const char* text, size_t len, WideChar* out, size_t cap)
{
    const unsigned char* s = (const unsigned char*)text;
    size_t units = 0;
    for (size_t i = 0; i < len;) {
        size_t used;
        uint32_t cp = Decode(s + i, len - i, &used);
        i += used;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            if (units + 2 < cap) {
                out[units] = (WideChar)(0xD800 + (cp >> 10));
                out[units + 1] = (WideChar)(0xDC00 + (cp & 0x3FF));
            }
            units += 2;
        } else {
            if (units + 1 < cap)
                out[units] = (WideChar)cp;
            units++;
        }
    }
    if (units < cap)
        out[units] = 0;
    return units;
}

size_t Utf8FromWide(const WideChar* text, size_t len, char* out, size_t size)
{
    size_t bytes = 0;
    for (size_t i = 0; i < len; i++) {
        uint32_t cp = (uint16_t)text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < len && (uint16_t)text[i + 1] >= 0xDC00 &&
            (uint16_t)text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + ((uint16_t)text[i + 1] - 0xDC00);
            i++;
        }
        unsigned char seq[4];
        size_t n;
        if (cp < 0x80) {
            seq[0] = (unsigned char)cp, n = 1;
        } else if (cp < 0x800) {
            seq[0] = (unsigned char)(0xC0 | (cp >> 6));
            seq[1] = (unsigned char)(0x80 | (cp & 0x3F)), n = 2;
        } else if (cp < 0x10000) {
            seq[0] = (unsigned char)(0xE0 | (cp >> 12));
            seq[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
            seq[2] = (unsigned char)(0x80 | (cp & 0x3F)), n = 3;
        } else {
            seq[0] = (unsigned char)(0xF0 | (cp >> 18));
            seq[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
            seq[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
            seq[3] = (unsigned char)(0x80 | (cp & 0x3F)), n = 4;
        }
        if (bytes + n < size) {
            for (size_t k = 0; k < n; k++)
                out[bytes + k] = (char)seq[k];
        }
        bytes += n;
    }
    if (bytes < size)
        out[bytes] = '\0';
    return bytes;
}
