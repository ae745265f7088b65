#include "names.h"

#include <stdio.h>
#include <string.h>

struct NameEntry {
    uint32_t id;
    const char* name;
};

// Generated at build time from messages.tsv and hresult-win32-names.tsv,
// sorted by id; the names of one id keep the order of those files, and no
// name is given twice, in any case.
static const NameEntry names[] = {
#include "names_table.inc"
};
static const size_t nameCount = sizeof(names) / sizeof(names[0]);

static unsigned char Fold(unsigned char c)
{
    return c >= 'a' && c <= 'z' ? (unsigned char)(c - 'a' + 'A') : c;
}

static int SameFolded(const char* a, const char* b)
{
    for (; *a != '\0' && Fold((unsigned char)*a) == Fold((unsigned char)*b); a++, b++) {
    }
    return *a == '\0' && *b == '\0';
}

int FindNamedValue(const char* text, uint32_t* value)
{
    for (size_t i = 0; i < nameCount; i++) {
        if (SameFolded(names[i].name, text)) {
            *value = names[i].id;
            return 1;
        }
    }
    return 0;
}

// The first entry whose id is not below `id`.
static size_t FirstAtOrAbove(uint32_t id)
{
    size_t lo = 0;
    size_t hi = nameCount;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (names[mid].id < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Appends the names of exactly `id` to the line of `*len` characters.
static void AppendNamesOf(uint32_t id, char* buf, size_t size, size_t* len)
{
    for (size_t i = FirstAtOrAbove(id); i < nameCount && names[i].id == id; i++) {
        int n = snprintf(buf + *len, size - *len, "%s%s", *len > 0 ? " " : "", names[i].name);
        if (n < 0 || (size_t)n >= size - *len) {
            *len = size - 1;
            return;
        }
        *len += (size_t)n;
    }
}

size_t FormatValueNames(uint32_t value, char* buf, size_t size)
{
    if (size == 0)
        return 0;
    buf[0] = '\0';
    size_t len = 0;
    // Code xxxx sorts before 0x8007xxxx, so this is the table's order too.
    if ((value & 0xFFFF0000u) == 0x80070000u)
        AppendNamesOf(value & 0xFFFFu, buf, size, &len);
    AppendNamesOf(value, buf, size, &len);
    return len;
}

int NextNamedValue(size_t* cursor, uint32_t* value)
{
    size_t i = *cursor;
    if (i >= nameCount)
        return 0;
    *value = names[i].id;
    while (i < nameCount && names[i].id == *value)
        i++;
    *cursor = i;
    return 1;
}

// 1 when `word` is found in `text` without regard to case.
static int HoldsWord(const char* text, const char* word)
{
    if (text == NULL)
        return 0;
    size_t n = strlen(word);
    for (; *text != '\0'; text++) {
        size_t k = 0;
        while (k < n && text[k] != '\0' && Fold((unsigned char)text[k]) == Fold((unsigned char)word[k]))
            k++;
        if (k == n)
            return 1;
    }
    return n == 0;
}

int HoldsAllWords(const char* names, const char* text, char* const* words, int count)
{
    for (int i = 0; i < count; i++) {
        if (!HoldsWord(names, words[i]) && !HoldsWord(text, words[i]))
            return 0;
    }
    return 1;
}
