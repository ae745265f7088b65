// Number formatting, wildcard matching, name casing and shown names for
// the report.
#include "text.h"

#include <stdio.h>
#include <string.h>

char* FormatGrouped(uint64_t value, char sep, int group, char* buf)
{
    // Digits are produced least significant first and the text reversed at
    // the end; GROUPED_BUF_SIZE holds 20 digits, 6 separators and the NUL
    // for group 3. A smaller group needs more separators, so stop before the
    // buffer would overflow rather than trusting the caller's group size.
    int pos = 0;
    if (group < 1)
        group = 1;
    for (;;) {
        if (pos >= GROUPED_BUF_SIZE - 1)
            break;
        if (pos % (group + 1) == group) {
            buf[pos] = sep;
        } else {
            buf[pos] = (char)('0' + (int)(value % 10));
            value /= 10;
        }
        pos++;
        if (value == 0)
            break;
    }
    buf[pos] = '\0';
    for (int i = 0, j = pos - 1; i < j; i++, j--) {
        char t = buf[i];
        buf[i] = buf[j];
        buf[j] = t;
    }
    return buf;
}

uint8_t MatchPattern(const char* pattern, const char* name)
{
    // Literal part: walk both texts together until a star.
    for (;;) {
        if (*pattern == '\0')
            return *name == '\0' ? MATCH_OK : MATCH_NAME_LEFT;
        if (*name == '\0') {
            if (pattern[0] == '*' && pattern[1] == '\0')
                return MATCH_OK;
            return MATCH_PATTERN_LEFT;
        }
        if (*pattern == '*')
            break;
        if (*pattern != '?' && *pattern != *name)
            return MATCH_CHAR;
        pattern++;
        name++;
    }

    // Star part: stars take nothing yet, each '?' takes one character.
    while (*pattern == '*' || *pattern == '?') {
        if (*pattern == '?') {
            if (*name == '\0')
                return MATCH_PATTERN_LEFT;
            name++;
        }
        pattern++;
    }
    if (*pattern == '\0')
        return MATCH_OK;

    // Try the rest of the pattern at every place the next literal occurs.
    // MATCH_PATTERN_LEFT means the name ran out under the rest of the
    // pattern; a later start only leaves less name, so give up there.
    for (; *name != '\0'; name++) {
        if (*name != *pattern)
            continue;
        uint8_t r = MatchPattern(pattern, name);
        if (r == MATCH_OK || r == MATCH_PATTERN_LEFT)
            return r;
    }
    return MATCH_PATTERN_LEFT;
}

// The length of the UTF-8 sequence of two or more bytes at `p`, or 0.
static int Utf8SequenceAt(const unsigned char* p)
{
    int n = p[0] >= 0xC2 && p[0] <= 0xDF ? 2 : p[0] >= 0xE0 && p[0] <= 0xEF ? 3
            : p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : 0;
    for (int i = 1; i < n; i++) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    }
    return n;
}

char* UpperName(char* text)
{
    for (unsigned char* p = (unsigned char*)text; *p != '\0'; p++) {
        // A name in UTF-8 (the Windows build carries names so) keeps its
        // characters whole: their bytes are no Windows-1252 letters.
        int n = Utf8SequenceAt(p);
        if (n == 2 && p[0] == 0xC3 && (p[1] == 0xA4 || p[1] == 0xA5 || p[1] == 0xB6))
            p[1] = (unsigned char)(p[1] - 0x20);  // the same three letters in UTF-8
        if (n > 0) {
            p += n - 1;
            continue;
        }
        if (*p >= 'a' && *p <= 'z')
            *p = (unsigned char)(*p - 'a' + 'A');
        else if (*p == 0xE4)  // a-umlaut (Windows-1252)
            *p = 0xC4;
        else if (*p == 0xE5)  // a-ring
            *p = 0xC5;
        else if (*p == 0xF6)  // o-umlaut
            *p = 0xD6;
    }
    return text;
}

static int IsControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

const char* ShownName(const char* name, char* buf, size_t size)
{
    const char* p = name;
    while (*p && !IsControl((unsigned char)*p))
        p++;
    if (*p == '\0' || size == 0)
        return name;
    size_t len = 0;
    for (p = name; *p; p++) {
        unsigned char c = (unsigned char)*p;
        char esc[5] = {(char)c, '\0'};
        if (c == '\n')
            memcpy(esc, "\\n", 3);
        else if (c == '\t')
            memcpy(esc, "\\t", 3);
        else if (IsControl(c))
            snprintf(esc, sizeof esc, "\\%03o", c);
        size_t n = strlen(esc);
        if (len + n >= size)
            break;
        memcpy(buf + len, esc, n);
        len += n;
    }
    buf[len] = '\0';
    return buf;
}
