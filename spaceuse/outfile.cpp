// A file written beside the report (outfile.h).
#include "outfile.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "output.h"
#include "sysdep.h"

static void Complain(const OutFile* of, const char* name, int err)
{
    OutFprintf(stderr, "Error: cannot write the %s: %s: %s\n", of->what, name,
            err < 0 ? "out of memory" : strerror(err));
}

int OutFileOpen(OutFile* of, const char* name, const char* what)
{
    memset(of, 0, sizeof *of);
    of->what = what;
    of->name = name;
    size_t len = strlen(name);
    of->part = (char*)malloc(len + sizeof ".part");
    if (!of->part) {
        Complain(of, name, -1);
        return 1;
    }
    memcpy(of->part, name, len);
    memcpy(of->part + len, ".part", sizeof ".part");
    of->f = SysCreateFile(name, of->part, &of->inPlace);
    if (!of->f) {
        Complain(of, of->inPlace ? name : of->part, errno);
        free(of->part);
        of->part = NULL;
        return 1;
    }
    return 0;
}

int OutFileClose(OutFile* of, int keep, int err)
{
    if (!of->f)
        return 0;
    if (ferror(of->f) && err == 0)
        err = errno ? errno : EIO;
    if (fclose(of->f) != 0 && err == 0)
        err = errno ? errno : EIO;
    of->f = NULL;
    keep = keep && err == 0;
    if (!of->inPlace && SysFinishFile(of->part, of->name, keep) != 0 && keep)
        err = errno ? errno : EIO;
    if (err != 0)
        Complain(of, keep || of->inPlace ? of->name : of->part, err);
    free(of->part);
    of->part = NULL;
    return err != 0 ? 1 : 0;
}
