// Program entry: the whole run lives in whatcode.cpp, so that the tests and
// the fuzz targets link the same code.
#include "whatcode.h"

#ifdef _WIN32
#include <stdio.h>
#include <wchar.h>

#include "host.h"

// The wide command line, so that a name or a word in any script reaches the
// program as it was typed; inside, text is UTF-8.
int wmain(int argc, wchar_t** argv)
{
    char** args = HostUtf8Args(argc, argv);
    if (args == NULL) {
        fputs("whatcode: cannot read the command line.\n", stderr);
        return 3;
    }
    return WhatcodeMain(argc, args);
}
#else
int main(int argc, char** argv)
{
    return WhatcodeMain(argc, argv);
}
#endif
