#include "msg.h"

#include <stdlib.h>
#include <windows.h>

#include "host.h"

unsigned LookupMessage(uint32_t id, char** text)
{
    *text = NULL;
    // Without IGNORE_INSERTS and without arguments the system refuses every
    // text that has an insert (%1, %2), so a value with a perfectly good
    // message would come back as unknown. The inserts stay as they stand.
    // The wide call gives the text in every script the system has; it is
    // carried on as UTF-8.
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                        FORMAT_MESSAGE_IGNORE_INSERTS;
    LPWSTR wide = NULL;
    DWORD n = FormatMessageW(flags, NULL, id, 0, (LPWSTR)&wide, 0, NULL);
    if (n == 0 || wide == NULL) {
        if (wide != NULL)
            LocalFree(wide);
        return 0;
    }
    size_t len = 0;
    char* utf8 = HostUtf8FromWide(wide, (int)n, &len);
    LocalFree(wide);
    if (utf8 == NULL || len == 0 || len > 0xFFFFFFFFu) {
        free(utf8);
        return 0;
    }
    *text = utf8;
    return (unsigned)len;
}

void FreeMessage(char* text)
{
    free(text);
}
