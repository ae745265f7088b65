// spaceuse: reports the disk space that directory trees occupy, counted in
// whole clusters of their volume.
#include <stdio.h>
#include <string.h>

#include "options.h"
#include "output.h"
#include "report.h"
#include "sysdep.h"

// The end of every run that got as far as the command line: a report, a
// help text or a message that could not be written is a failure, said in
// one line on standard error.
static int Finish(int status)
{
    int err = StdoutError(1);
    if (err == 0)
        return status;
    OutFprintf(stderr, "Error: cannot write the report: %s\n", strerror(err));
    fflush(stderr);
    return 1;
}

int main(int argc, char** argv)
{
    SysArguments(&argc, &argv);
    int toFile = SysStdoutIsFile();
    SysPrepareStdout(toFile);

    BuildProgName(argc > 0 ? argv[0] : NULL);

    OsVersion osVersion;
    if (GetOsVersion(&osVersion) != 0) {
        // The system's own wording.
        OutFprintf(stderr, "Error: could not get system information\n");
        return 1;
    }

    InitReportOptions(&reportOptions, toFile);
    int status = ParseArguments(argc, argv);
    if (status != ARGS_CONTINUE)
        return Finish(status);

    InstallAbortHandler();
    ReportRun run = {&reportOptions, fakeClusterSize, pathList, pathCount,
                     exportFile,     treemapFile,     0};
    return Finish(RunReport(&run));
}
