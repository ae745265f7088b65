// whatcode: prints, for each error value on the command line, the value in
// decimal, hexadecimal and octal and the system's message text for it; with
// --name the value's symbolic names too, with --search the values whose
// name or text holds the words given.
#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "whatcode.h"

#include "host.h"
#include "msg.h"
#include "names.h"
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
// --name was given.
static int showNames;
// Where --search stands; argCount when it is not given. The values are the
// arguments before it, the words those after it (--name aside).
static int searchAt;
// 0 while everything written to standard output has gone out; otherwise
// the error number of the first write that failed.
static int outputFailed;

static int IsNameOption(const char* arg)
{
    return strcmp(arg, "--name") == 0;
}

// ---- output ----------------------------------------------------------------

// The error a stream has met, as close as the C library tells it.
static int StreamError(FILE* stream, int err)
{
    if (!ferror(stream))
        return 0;
    return err != 0 ? err : EIO;
}

static int WriteBytes(FILE* stream, const char* text, size_t n)
{
    errno = 0;
    size_t done = fwrite(text, 1, n, stream);
    int err = errno;
    if (done < n && !ferror(stream))
        return err != 0 ? err : EIO;
    return StreamError(stream, err);
}

// Every line whatcode writes goes out here, as UTF-8: to a console in the
// console's own wide form, anywhere else as the bytes themselves. A failure
// on standard output is kept for the end of the run.
static void Say(FILE* stream, const char* format, ...)
{
    char small[512];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    if (n < 0)
        return;
    char* text = small;
    if ((size_t)n >= sizeof small) {
        text = (char*)malloc((size_t)n + 1);
        if (text == NULL) {
            if (stream == stdout && outputFailed == 0)
                outputFailed = ENOMEM;
            return;
        }
        va_start(ap, format);
        vsnprintf(text, (size_t)n + 1, format, ap);
        va_end(ap);
    }
    int err = 0;
    if (!HostWriteConsole(stream, text, (size_t)n, &err))
        err = WriteBytes(stream, text, (size_t)n);
    if (stream == stdout && err != 0 && outputFailed == 0)
        outputFailed = err;
    if (text != small)
        free(text);
}

// Output that did not reach standard output is a failure of the run,
// whatever it was: said once on standard error.
static int Finish(int result)
{
    errno = 0;
    fflush(stdout);
    int err = StreamError(stdout, errno);
    if (outputFailed == 0)
        outputFailed = err;
    if (outputFailed == 0)
        return result;
    Say(stderr, "Cannot write to standard output: %s.\n", strerror(outputFailed));
    fflush(stderr);
    return EXIT_SOME_FAILED;
}

// ---- usage -------------------------------------------------------------------

static void ShowBanner(const char* title)
{
    Say(stdout, "\n");
    Say(stdout, "%s\n", title);
    Say(stdout, "Written for the console tools project.\n");
    Say(stdout, "Message table outside Windows: Win32 documentation, CC BY 4.0 (see NOTICE).\n");
    Say(stdout, "\n");
}

// The usage and help lines are the system's own wording, kept letter for
// letter; only the banner's two credit lines and the lines after the
// examples are ours.
static void ShowUsage(int full)
{
    if (full)
        ShowBanner("WhatCode for Win32, Version 1.0");
    Say(stdout, "Usage: whatcode value ...\n\n");
    if (full) {
        Say(stdout, "WhatCode will display the Windows error message for one or more error values.\n");
        Say(stdout, "These error values are usually obtained from the GetLastError() function.\n");
        Say(stdout, "The error values can be either in decimal, hexadecimal, or octal format.\n");
        Say(stdout, "All hexadecimal error values must be preceded with \"0x\".\n");
        Say(stdout, "All octal error values must begin with a leading zero \"0\".\n");
        Say(stdout, "\n");
        Say(stdout, "Examples: whatcode 2\n");
        Say(stdout, "          whatcode 0x8001010D\n");
        Say(stdout, "          whatcode 044\n");
        Say(stdout, "\n");
        Say(stdout, "A value can also be a symbolic name, in any case: whatcode error_access_denied\n");
        Say(stdout, "  --name             also print each value's symbolic name\n");
        Say(stdout, "  --search word ...  every value whose name or text holds all the words\n");
    } else {
        Say(stdout, "Run \"whatcode -?\" for full help.\n");
    }
}

// ---- values --------------------------------------------------------------------

// The system's text for a value without its closing line break, or null
// when it has none. Released with FreeMessage.
static char* TextOf(uint32_t value)
{
    char* message = NULL;
    unsigned n = LookupMessage(value, &message);
    if (message != NULL && n > 1) {
        EndMessageText(message, n);
        return message;
    }
    FreeMessage(message);
    return NULL;
}

// The lines of one value: the number in three notations, its text (null:
// it has none) and with --name its names. 1 when it had a text.
static int ShowBlock(uint32_t value, const char* text, int withNames)
{
    // The printed lines of a value are the system's own wording, kept letter
    // for letter ("Unknown Error." included).
    Say(stdout, "\nError: %u (0x%08X) (0%o)\n", (unsigned)value, (unsigned)value, (unsigned)value);
    Say(stdout, "%s\n", text != NULL ? text : "Unknown Error.");
    char names[256];
    if (withNames && FormatValueNames(value, names, sizeof names) > 0)
        Say(stdout, "%s\n", names);
    return text != NULL;
}

// 1 when a message was printed for the value, 0 when it was invalid or the
// system has no text for it.
static int ShowErrorValue(const char* arg)
{
    uint32_t value;
    int r = ConvertValue(arg, &value);
    if (r == EINVAL && FindNamedValue(arg, &value))
        r = 0;
    if (r != 0) {
        // The system's own wording, now also for a text that is neither a
        // number nor a name (it used to read as 0).
        Say(stderr, "\nInvalid parameter \"%s\".\n", arg);
        return 0;
    }
    char* text = TextOf(value);
    int shown = ShowBlock(value, text, showNames);
    FreeMessage(text);
    return shown;
}

// The argument index of the first value at or after `i`; searchAt when
// there is none.
static int NextValue(int i)
{
    while (i < searchAt && IsNameOption(argValues[i]))
        i++;
    return i;
}

// ---- search --------------------------------------------------------------------

// The words after --search (--name aside), in a heap array of *count
// pointers (none when there is no room for the array).
static char** SearchWords(int* count)
{
    *count = 0;
    char** words = (char**)malloc(sizeof(char*) * (size_t)argCount);
    if (words == NULL)
        return NULL;
    for (int i = searchAt + 1; i < argCount; i++) {
        if (!IsNameOption(argValues[i]))
            words[(*count)++] = argValues[i];
    }
    return words;
}

// Every named value whose names or text hold all the words, in ascending
// order, each shown as --name shows it. EXIT_ALL_FOUND when one was,
// EXIT_SOME_FAILED when none was, EXIT_NO_VALUE without words.
static int ShowSearch(void)
{
    int count;
    char** words = SearchWords(&count);
    if (count == 0) {
        free(words);
        Say(stderr, "You must specify at least one word to search for.\n\n");
        return EXIT_NO_VALUE;
    }
    int found = 0;
    size_t cursor = 0;
    uint32_t value;
    while (outputFailed == 0 && NextNamedValue(&cursor, &value)) {
        char names[256];
        FormatValueNames(value, names, sizeof names);
        char* text = TextOf(value);
        if (HoldsAllWords(names, text, words, count)) {
            ShowBlock(value, text, 1);
            found = 1;
        }
        FreeMessage(text);
    }
    free(words);
    return found ? EXIT_ALL_FOUND : EXIT_SOME_FAILED;
}

static int ShowAllValues(void)
{
    int i = NextValue(1);
    if (i >= argCount) {
        // The system's own wording.
        Say(stderr, "You must specify at least one error value.\n\n");
        return EXIT_NO_VALUE;
    }
    int allShown = 1;
    for (; i < searchAt; i = NextValue(i + 1)) {
        allShown &= ShowErrorValue(argValues[i]);
        // Nothing more could be shown.
        if (outputFailed != 0)
            return EXIT_SOME_FAILED;
    }
    int result = allShown ? EXIT_ALL_FOUND : EXIT_SOME_FAILED;
    if (searchAt < argCount) {
        int searched = ShowSearch();
        if (searched != EXIT_ALL_FOUND)
            result = searched;
    }
    return result;
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
    showNames = 0;
    searchAt = argc;
    outputFailed = 0;
    HostStartRun();

    // Help wins over everything: no value is looked up, not even those
    // before the switch.
    for (int i = 1; i < argc; i++) {
        if (IsHelpSwitch(argv[i])) {
            ShowUsage(1);
            return Finish(EXIT_HELP);
        }
        if (IsNameOption(argv[i]))
            showNames = 1;
        else if (strcmp(argv[i], "--search") == 0 && searchAt == argc)
            searchAt = i;
    }

    int result = ShowAllValues();
    if (result == EXIT_NO_VALUE)
        ShowUsage(0);
    return Finish(result);
}
