// whatcode with any argument vector, run whole (conversion, names, lookup,
// search and the printed lines), and the value conversion of each argument
// checked against the C library's own reading of the same text.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "args.h"
#include "msg.h"
#include "names.h"
#include "value.h"
#include "whatcode.h"

static void Fail(const char* what, const char* text)
{
    fprintf(stderr, "whatcode_args: %s: \"%s\"\n", what, text);
    abort();
}

// The value as a 32-bit strtoul in base 0 would read it.
static int ReferenceValue(const char* text, uint32_t* value)
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    int negative = 0;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    // Only digits may follow the sign; the library would take a second
    // sign or more white space. Without a digit the text is no number.
    if (*p < '0' || *p > '9') {
        *value = 0;
        return EINVAL;
    }
    errno = 0;
    unsigned long long m = strtoull(p, NULL, 0);
    if (errno == ERANGE || m > 0xFFFFFFFFull) {
        *value = 0xFFFFFFFFu;
        return ERANGE;
    }
    *value = negative ? (uint32_t)(0u - (uint32_t)m) : (uint32_t)m;
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    (void)argc;
    (void)argv;
    FuzzQuietOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzArgs fa;
    FuzzArgsMake(&fa, data, size);

    for (int i = 1; i < fa.argc; i++) {
        uint32_t got = 0, want = 0;
        int r = ConvertValue(fa.argv[i], &got);
        int w = ReferenceValue(fa.argv[i], &want);
        if (r != w || got != want)
            Fail("value read differently from the C library", fa.argv[i]);
        // A name found is a value that has names.
        uint32_t named = 0;
        char names[256];
        if (FindNamedValue(fa.argv[i], &named) && FormatValueNames(named, names, sizeof names) == 0)
            Fail("a name found for a value without names", fa.argv[i]);
        char* text = NULL;
        unsigned n = LookupMessage(got, &text);
        if ((n == 0) != (text == NULL) || (text && strlen(text) != n))
            Fail("message length disagrees with its text", fa.argv[i]);
        if (text) {
            unsigned m = EndMessageText(text, n);
            if (m > n || strlen(text) != m || m + 2 < n)
                Fail("message end cut wrongly", fa.argv[i]);
        }
        FreeMessage(text);
    }

    int status = WhatcodeMain(fa.argc, fa.argv);
    if (status < 0 || status > 3)
        Fail("exit status outside 0..3", fa.argv[0]);
    fflush(stdout);
    FuzzArgsFree(&fa);
    return 0;
}
