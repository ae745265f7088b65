// spaceuse's command line with any argument vector: the program name it is
// started under, the switches and the paths.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "args.h"
#include "options.h"

static void Fail(const char* what)
{
    fprintf(stderr, "spaceuse_args: %s\n", what);
    abort();
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

    BuildProgName(fa.argv[0]);
    if (strlen(progName) >= PROGNAME_SIZE)
        Fail("program name past its buffer");

    InitReportOptions(&reportOptions, 0);
    int r = ParseArguments(fa.argc, fa.argv);
    if (r == ARGS_CONTINUE) {
        // Every argument that is not a switch is a path, in order; no path
        // stands for the current directory.
        unsigned n = 0;
        for (int i = 1; i < fa.argc; i++) {
            // A long option takes the argument after it as its file.
            if (strcmp(fa.argv[i], "--export") == 0 || strcmp(fa.argv[i], "--treemap") == 0) {
                i++;
                continue;
            }
            if (fa.argv[i][0] == SWITCH_CHAR)
                continue;
            if (n >= MAX_PATHS || strcmp(pathList[n], fa.argv[i]) != 0)
                Fail("paths are not the arguments given");
            n++;
        }
        if (pathCount != (n == 0 ? 1 : n) || (n == 0 && pathList[0][0] != '\0'))
            Fail("wrong number of paths");
    } else if (r != 0 && r != 1) {
        Fail("exit status other than 0 or 1");
    }
    FuzzArgsFree(&fa);
    return 0;
}
