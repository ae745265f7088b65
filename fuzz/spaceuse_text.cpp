// spaceuse's text routines with any input: the wildcard match with any
// pattern and name, the grouped number with any value, separator and group
// size, the upper-casing with any text, and the names as the report, the
// export and the treemap show them.
//
// Input: 8 bytes of value, a separator byte, a group size byte (signed),
// then the pattern, a NUL and the name.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "export.h"
#include "text.h"
#include "treemap.h"

static void Fail(const char* what)
{
    fprintf(stderr, "spaceuse_text: %s\n", what);
    abort();
}

// Plain wildcard matching: '*' any run of characters, '?' exactly one.
// Quadratic, no recursion.
static int GlobMatches(const char* pattern, const char* name)
{
    size_t pl = strlen(pattern), nl = strlen(name);
    // row[j]: pattern so far matches the first j characters of the name.
    unsigned char* row = (unsigned char*)calloc(nl + 1, 1);
    unsigned char* next = (unsigned char*)calloc(nl + 1, 1);
    if (!row || !next)
        abort();
    row[0] = 1;
    for (size_t i = 0; i < pl; i++) {
        char c = pattern[i];
        memset(next, 0, nl + 1);
        if (c == '*') {
            int any = 0;
            for (size_t j = 0; j <= nl; j++) {
                any |= row[j];
                next[j] = (unsigned char)any;
            }
        } else {
            for (size_t j = 1; j <= nl; j++)
                next[j] = row[j - 1] && (c == '?' || c == name[j - 1]);
        }
        unsigned char* t = row;
        row = next;
        next = t;
    }
    int r = row[nl];
    free(row);
    free(next);
    return r;
}

// The grouped number: the digits shown are the value's lowest ones, in
// order; with the callers' separator and group size, all of them.
static void CheckGrouped(uint64_t value, char sep, int group)
{
    // Exactly the documented size, so that one byte too many is caught.
    char* buf = (char*)malloc(GROUPED_BUF_SIZE);
    if (!buf)
        abort();
    FormatGrouped(value, sep, group, buf);
    char digits[32];
    snprintf(digits, sizeof digits, "%llu", (unsigned long long)value);
    char shown[GROUPED_BUF_SIZE];
    size_t n = 0;
    for (const char* p = buf; *p; p++) {
        if (*p >= '0' && *p <= '9' && n < sizeof shown - 1)
            shown[n++] = *p;
    }
    shown[n] = '\0';
    // A digit as separator cannot be told from the number's own digits, and
    // a NUL ends the text.
    if (sep != '\0' && (sep < '0' || sep > '9')) {
        size_t dl = strlen(digits);
        if (n > dl || strcmp(digits + dl - n, shown) != 0)
            Fail("grouped digits are not the value's");
        if (group >= 3 && n != dl)
            Fail("grouped value cut short");
    }
    free(buf);
}

// The wildcard match never matches what the plain rule refuses; the
// routine gives up early in some cases the plain rule would match, but
// without a star the two agree exactly.
static void CheckMatch(const char* pattern, const char* name)
{
    uint8_t r = MatchPattern(pattern, name);
    if (r != MATCH_OK && r != MATCH_NAME_LEFT && r != MATCH_PATTERN_LEFT && r != MATCH_CHAR)
        Fail("unknown match result");
    // The plain rule costs the product of the lengths: it is asked only for
    // texts of the lengths real names and filters have, and longer ones
    // test the routine on its own.
    if (strlen(pattern) <= 512 && strlen(name) <= 512) {
        int glob = GlobMatches(pattern, name);
        if (r == MATCH_OK && !glob)
            Fail("matched a name the pattern does not describe");
        if (strchr(pattern, '*') == NULL && (r == MATCH_OK) != glob)
            Fail("a pattern without a star decided wrongly");
    }
}

// No shown name holds a byte that would break a line, a JSON string or an
// XML text: control characters, a bare quote, markup, invalid UTF-8.
static void CheckShown(const char* name)
{
    char buf[SHOWN_NAME_SIZE];
    for (const unsigned char* p = (const unsigned char*)ShownName(name, buf, sizeof buf); *p; p++)
        if (*p < 0x20 || *p == 0x7F)
            Fail("a control character shown in the report");
    static char json[EXPORT_NAME_SIZE];
    size_t n = ExportQuote(name, json, sizeof json);
    if (n < 2 || json[0] != '"' || json[n - 1] != '"' || json[n] != '\0')
        Fail("an export name not quoted");
    for (size_t i = 1; i + 1 < n; i++) {
        if ((unsigned char)json[i] < 0x20)
            Fail("a control character in the export");
        if (json[i] == '\\')
            i++;  // the escaped character
        else if (json[i] == '"')
            Fail("a bare quote in the export");
    }
    static char xml[3 * SHOWN_NAME_SIZE];
    TreemapXmlText(name, xml, sizeof xml);
    for (const char* p = xml; *p; p++)
        if (*p == '<' || *p == '>' || *p == '"' || *p == '\'' || (unsigned char)*p < 0x20)
            Fail("markup or a control character in the treemap's text");
    for (const char* p = strchr(xml, '&'); p; p = strchr(p + 1, '&'))
        if (strncmp(p, "&amp;", 5) && strncmp(p, "&lt;", 4) && strncmp(p, "&gt;", 4) &&
            strncmp(p, "&quot;", 6) && strncmp(p, "&apos;", 6))
            Fail("a bare ampersand in the treemap's text");
}

static void CheckUpper(char* text)
{
    size_t before = strlen(text);
    UpperName(text);
    if (strlen(text) != before)
        Fail("upper-casing changed the text's length");
    for (const char* p = text; *p; p++)
        if (*p >= 'a' && *p <= 'z')
            Fail("a lower-case letter left");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 10)
        return 0;
    uint64_t value = 0;
    for (int i = 7; i >= 0; i--)
        value = (value << 8) | data[i];
    CheckGrouped(value, (char)data[8], (int8_t)data[9]);
    data += 10;
    size -= 10;

    // Pattern and name, each terminated.
    char* text = (char*)malloc(size + 2);
    if (!text)
        abort();
    memcpy(text, data, size);
    text[size] = '\0';
    text[size + 1] = '\0';
    // Without a NUL in the input the name is the empty text at the end.
    CheckMatch(text, text + strlen(text) + 1);
    if (strlen(text) < 1024)
        CheckShown(text);
    CheckUpper(text);
    free(text);
    return 0;
}
