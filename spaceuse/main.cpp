// spaceuse: reports the disk space that directory trees occupy, counted in
// whole clusters of their volume.
#include <stdio.h>

#include "spaceuse.h"

// The per-path report (report.cpp): runs over pathList and returns the exit
// status, 0 when every path was read, 1 otherwise.
int RunReport(void);

int main(int argc, char** argv)
{
    int toFile = SysStdoutIsFile();
#ifndef _WIN32
    // Whole lines reach the file before an abort hook writes its own line
    // and ends the process without flushing.
    static char lineBuffer[BUFSIZ];
    if (toFile)
        setvbuf(stdout, lineBuffer, _IOLBF, sizeof(lineBuffer));
#endif

    BuildProgName(argc > 0 ? argv[0] : NULL);

    if (GetOsVersion(&osVersion) != 0) {
        fprintf(stderr, "Error: could not get system information\n");
        return 1;
    }

    InitReportOptions(&reportOptions, toFile);
    int status = ParseArguments(argc, argv);
    if (status != ARGS_CONTINUE) {
        fflush(stdout);
        return status;
    }

    InstallAbortHandler();
    status = RunReport();
    fflush(stdout);
    return status;
}
