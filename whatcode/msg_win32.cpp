#include "msg.h"

#include <windows.h>

unsigned LookupMessage(uint32_t id, char** text)
{
    *text = NULL;
    // Without IGNORE_INSERTS and without arguments the system refuses every
    // text that has an insert (%1, %2), so a value with a perfectly good
    // message would come back as unknown. The inserts stay as they stand.
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                        FORMAT_MESSAGE_IGNORE_INSERTS;
    LPSTR buf = NULL;
    DWORD n = FormatMessageA(flags, NULL, id, 0, (LPSTR)&buf, 0, NULL);
    if (n == 0 || buf == NULL) {
        if (buf != NULL)
            LocalFree(buf);
        return 0;
    }
    *text = buf;
    return (unsigned)n;
}

void FreeMessage(char* text)
{
    if (text != NULL)
        LocalFree(text);
}
