// whatcode: prints, for each error value on the command line, the value in
// decimal, hexadecimal and octal and the system's message text for it.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "whatcode.h"

#include "msg.h"
#include "value.h"

enum {
    EXIT_ALL_FOUND = 0,
    EXIT_HELP = 1,
    EXIT_NO_VALUE = 2,
    EXIT_SOME_FAILED = 3,
};

// The command line, kept for the whole run.
static int argCount;
static char** argValues;

// Value number i (from 0) is the argument after the program name.
static const char* GetValueArg(int i)
{
    if (i < 0 || i >= argCount - 1)
        return NULL;
    return argValues[i + 1];
}

static void ShowBanner(const char* title)
{
    printf("\n");
    printf("%s\n", title);
    printf("Written for the console tools project.\n");
    printf("Message table outside Windows: Win32 documentation, CC BY 4.0 (see NOTICE).\n");
    printf("\n");
}

// The usage and help lines are the system's own wording, kept letter for
// letter; only the banner's two credit lines are ours.
static void ShowUsage(int full)
{
    if (full)
        ShowBanner("WhatCode for Win32, Version 1.0");
    printf("Usage: whatcode value ...\n\n");
    if (full) {
        printf("WhatCode will display the Windows error message for one or more error values.\n");
        printf("These error values are usually obtained from the GetLastError() function.\n");
        printf("The error values can be either in decimal, hexadecimal, or octal format.\n");
        printf("All hexadecimal error values must be preceded with \"0x\".\n");
        printf("All octal error values must begin with a leading zero \"0\".\n");
        printf("\n");
        printf("Examples: whatcode 2\n");
        printf("          whatcode 0x8001010D\n");
        printf("          whatcode 044\n");
    } else {
        printf("Run \"whatcode -?\" for full help.\n");
    }
}

// 1 when a message was printed for the value, 0 when it was invalid or the
// system has no text for it.
static int ShowErrorValue(const char* text)
{
    // The printed lines of a value are the system's own wording, kept letter
    // for letter ("Unknown Error." included).
    uint32_t value;
    if (ConvertValue(text, &value) == ERANGE) {
        fprintf(stderr, "\nInvalid parameter \"%s\".\n", text);
        return 0;
    }

    printf("\nError: %u (0x%08X) (0%o)\n", (unsigned)value, (unsigned)value, (unsigned)value);

    char* message = NULL;
    unsigned n = LookupMessage(value, &message);
    int shown = 0;
    if (message != NULL && n > 1) {
        EndMessageText(message, n);
        printf("%s\n", message);
        shown = 1;
    } else {
        printf("Unknown Error.\n");
    }
    FreeMessage(message);
    return shown;
}

// 0 while everything written to standard output has gone out; otherwise
// the error number of the failed write, kept from the first time it is
// seen (a later flush of a stream that has dropped its buffer succeeds).
// With `flush` whatever is still buffered is written first.
static int OutputError(int flush)
{
    static int failed;
    if (failed != 0)
        return failed;
    int err = errno;
    if (flush) {
        errno = 0;
        if (fflush(stdout) != 0)
            err = errno;
    }
    if (!ferror(stdout))
        return 0;
    failed = err != 0 ? err : EIO;
    return failed;
}

static int ShowAllValues(void)
{
    if (GetValueArg(0) == NULL) {
        // The system's own wording.
        fprintf(stderr, "You must specify at least one error value.\n\n");
        return EXIT_NO_VALUE;
    }
    int allShown = 1;
    for (int i = 0; GetValueArg(i) != NULL; i++) {
        allShown &= ShowErrorValue(GetValueArg(i));
        // Nothing more could be shown.
        if (OutputError(0) != 0)
            return EXIT_SOME_FAILED;
    }
    return allShown ? EXIT_ALL_FOUND : EXIT_SOME_FAILED;
}

// Output that did not reach standard output is a failure of the run,
// whatever it was: said once on standard error.
static int Finish(int result)
{
    int err = OutputError(1);
    if (err == 0)
        return result;
    fprintf(stderr, "Cannot write to standard output: %s.\n", strerror(err));
    fflush(stderr);
    return EXIT_SOME_FAILED;
}

// A switch is an argument that starts with '-' or '/'; one that holds a '?'
// asks for help. Other switches are values like any other ("-1" is one).
static int IsHelpSwitch(const char* arg)
{
    return (arg[0] == '-' || arg[0] == '/') && strchr(arg + 1, '?') != NULL;
}

int WhatcodeMain(int argc, char** argv)
{
    argCount = argc;
    argValues = argv;

    // Help wins over everything: no value is looked up, not even those
    // before the switch.
    for (int i = 1; i < argc; i++) {
        if (IsHelpSwitch(argv[i])) {
            ShowUsage(1);
            return Finish(EXIT_HELP);
        }
    }

    int result = ShowAllValues();
    if (result == EXIT_NO_VALUE)
        ShowUsage(0);
    return Finish(result);
}
