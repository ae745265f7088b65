#include "msg.h"

#include <stdlib.h>
#include <string.h>

struct MessageEntry {
    uint32_t id;
    const char* text;
};

// Generated at build time from messages.tsv, sorted by id without duplicates.
static const MessageEntry messages[] = {
#include "messages_table.inc"
};

static const char* FindText(uint32_t id)
{
    size_t lo = 0;
    size_t hi = sizeof(messages) / sizeof(messages[0]);
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (messages[mid].id < id)
            lo = mid + 1;
        else if (messages[mid].id > id)
            hi = mid;
        else
            return messages[mid].text;
    }
    return NULL;
}

unsigned LookupMessage(uint32_t id, char** text)
{
    *text = NULL;
    const char* found = FindText(id);
    // An HRESULT of the Win32 facility carries a Win32 error code in its low
    // word and reads as that code's text, as it does on Windows.
    if (found == NULL && (id & 0xFFFF0000u) == 0x80070000u)
        found = FindText(id & 0xFFFFu);
    if (found == NULL)
        return 0;

    size_t len = strlen(found);
    char* buf = (char*)malloc(len + 3);
    if (buf == NULL)
        return 0;
    memcpy(buf, found, len);
    buf[len] = '\r';
    buf[len + 1] = '\n';
    buf[len + 2] = '\0';
    *text = buf;
    return (unsigned)(len + 2);
}

void FreeMessage(char* text)
{
    free(text);
}
