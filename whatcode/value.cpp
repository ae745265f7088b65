#include "value.h"

#include <errno.h>

// 0..35 for a digit or letter, 99 for anything else.
static unsigned DigitValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

static int IsSpace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int ConvertValue(const char* text, uint32_t* value)
{
    const unsigned char* p = (const unsigned char*)text;
    while (IsSpace(*p))
        p++;

    int negative = 0;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }

    unsigned base = 10;
    if (p[0] == '0') {
        // "0x" only counts as a prefix when a hex digit follows; otherwise
        // the 0 is the whole number and the 'x' ends it.
        if ((p[1] == 'x' || p[1] == 'X') && DigitValue(p[2]) < 16) {
            base = 16;
            p += 2;
        } else {
            base = 8;
        }
    }

    // Accumulate in 64 bits and stop accumulating once past 32 bits, but keep
    // consuming digits: the text is too large however it goes on.
    uint64_t magnitude = 0;
    int overflow = 0;
    int digits = 0;
    for (;; p++) {
        unsigned d = DigitValue(*p);
        if (d >= base)
            break;
        digits = 1;
        if (!overflow) {
            magnitude = magnitude * base + d;
            if (magnitude > 0xFFFFFFFFu)
                overflow = 1;
        }
    }

    if (overflow) {
        *value = 0xFFFFFFFFu;
        return ERANGE;
    }
    if (!digits) {
        *value = 0;
        return EINVAL;
    }
    uint32_t v = (uint32_t)magnitude;
    *value = negative ? (uint32_t)(0u - v) : v;
    return 0;
}

unsigned EndMessageText(char* text, unsigned n)
{
    unsigned dropped = 0;
    while (n > 0 && dropped < 2 && (text[n - 1] == '\n' || text[n - 1] == '\r')) {
        n--;
        dropped++;
    }
    text[n] = '\0';
    return n;
}
