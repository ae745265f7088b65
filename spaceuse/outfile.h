// A file written beside the report (--export, --treemap): under the name
// asked for with ".part" added until it is complete, then renamed, so a
// failed or interrupted run leaves nothing under the name asked for. A
// device or pipe (/dev/null, /dev/stdout) is written as it is.
#ifndef SPACEUSE_OUTFILE_H
#define SPACEUSE_OUTFILE_H

#include <stdio.h>
#include <stdlib.h>

typedef struct OutFile {
    FILE* f;           // NULL while not open
    const char* what;  // what the messages call it: "export", "treemap"
    const char* name;  // as asked for
    char* part;        // the name it is written under
    int inPlace;       // a device or pipe, written under its own name
} OutFile;

// Opens `name` for writing. 0, or 1 with the error line written.
int OutFileOpen(OutFile* of, const char* name, const char* what);
// Closes the file and, with `keep` and no failure, gives it its name;
// otherwise removes it. `err`: the error number of a failure met while it
// was written, 0 for none, -1 for a want of memory. 0, or 1 with the error
// line written.
int OutFileClose(OutFile* of, int keep, int err);

// Room for `n` more items in *array (of *cap, `used` taken), grown by
// doubling. 0, or -1 when out of memory (the array is then as it was).
template <typename T>
int Reserve(T** array, size_t* cap, size_t used, size_t n)
{
    if (used + n <= *cap)
        return 0;
    size_t want = *cap ? *cap : 64;
    while (want < used + n)
        want *= 2;
    T* grown = (T*)realloc(*array, want * sizeof(T));
    if (!grown)
        return -1;
    *array = grown;
    *cap = want;
    return 0;
}

#endif
