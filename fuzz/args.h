// Turns fuzzer input into an argument vector: the bytes are cut at every
// NUL, each piece is one argument (the first is the program's own name), and
// the vector ends with a null pointer as a real one does.
#ifndef FUZZ_ARGS_H
#define FUZZ_ARGS_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define FUZZ_MAX_ARGS 64

typedef struct FuzzArgs {
    char* text;  // the input, with a terminator after the last piece
    int argc;
    char* argv[FUZZ_MAX_ARGS + 1];
} FuzzArgs;

static inline void FuzzArgsMake(FuzzArgs* a, const uint8_t* data, size_t size)
{
    a->text = (char*)malloc(size + 1);
    if (!a->text)
        abort();
    memcpy(a->text, data, size);
    a->text[size] = '\0';
    a->argc = 0;
    char* p = a->text;
    char* end = a->text + size;
    while (a->argc < FUZZ_MAX_ARGS) {
        a->argv[a->argc++] = p;
        p += strlen(p);
        if (p >= end)
            break;
        p++;
    }
    a->argv[a->argc] = NULL;
}

static inline void FuzzArgsFree(FuzzArgs* a)
{
    free(a->text);
}

// The programs' own lines are not what is tested. The sanitizers and the
// fuzzer report through their own handles, not through these streams.
static inline void FuzzQuietOutput(void)
{
    if (!freopen("/dev/null", "w", stdout))
        abort();
    FILE* quiet = fopen("/dev/null", "w");
    if (!quiet)
        abort();
    stderr = quiet;
}

#endif
