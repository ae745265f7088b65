// spaceuse: reports the disk space that directory trees occupy, counted in
// whole clusters of their volume.
#include <stdio.h>

#include "options.h"
#include "report.h"
#include "sysdep.h"

int main(int argc, char** argv)
{
    int toFile = SysStdoutIsFile();
    SysPrepareStdout(toFile);

    BuildProgName(argc > 0 ? argv[0] : NULL);

    OsVersion osVersion;
    if (GetOsVersion(&osVersion) != 0) {
        // The system's own wording.
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
    ReportRun run = {&reportOptions, fakeClusterSize, pathList, pathCount, 0};
    status = RunReport(&run);
    fflush(stdout);
    return status;
}
