// hostlink's command line with any argument vector: the options, the file
// name and the program arguments, the manager's address text as the
// connection would split it into host and port, and the run request that
// carries the program arguments to the target.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "args.h"
#include "dbgp_internal.h"
#include "deci2.h"
#include "link.h"
#include "main.h"
#include "state.h"

static void Fail(const char* what)
{
    fprintf(stderr, "hostlink_args: %s\n", what);
    abort();
}

// The option a value follows: "-d", "-trace", "-root".
static int TakesValue(const char* opt)
{
    return strcmp(opt, "-d") == 0 || strcmp(opt, "-trace") == 0 || strcmp(opt, "-root") == 0;
}

// The file name is the first argument after the options (each that takes a
// value takes the one after it), and the rest are the program's, whatever
// they look like.
static void CheckSplit(const FuzzArgs& fa, const HOSTLINK_ARGS& a)
{
    int i = 1;
    while (i < fa.argc && fa.argv[i][0] == '-')
        i += TakesValue(fa.argv[i]) ? 2 : 1;
    if (i >= fa.argc || a.filename != fa.argv[i])
        Fail("file name is not the first argument after the options");
    if (a.nargs != fa.argc - i - 1 || (a.nargs > 0 ? a.args != &fa.argv[i + 1] : a.args != NULL))
        Fail("program arguments are not those after the file name");
}

// The run request: the program's name and arguments as length words and
// strings, or nothing when they would not fit one packet.
static void CheckRunRequest(const HOSTLINK_ARGS& a)
{
    uint64_t total = 36 + 4 * ((uint64_t)a.nargs + 1) + strlen(ProgramName()) + 1;
    for (int k = 0; k < a.nargs; k++)
        total += strlen(a.args[k]) + 1;
    unsigned char* pkt = (unsigned char*)DbgpMakeRun(0x100, 0x200, a.nargs, a.args);
    if ((pkt == NULL) != (total > DECI2_MAX_PACKET))
        Fail("run request refused though it fits, or made though it does not");
    if (pkt == NULL)
        return;
    if (GetLE16(pkt) != total || GetLE32(pkt + 32) != (uint32_t)a.nargs + 1)
        Fail("run request length or argument count wrong");
    const unsigned char* str = pkt + 36 + 4 * ((size_t)a.nargs + 1);
    for (int k = 0; k <= a.nargs; k++) {
        const char* want = k == 0 ? ProgramName() : a.args[k - 1];
        size_t n = strlen(want) + 1;
        if (GetLE32(pkt + 36 + 4 * k) != n || memcmp(str, want, n) != 0)
            Fail("run request strings are not the arguments");
        str += n;
    }
    free(pkt);
}

// The address text ("-d" value, else the environment's) as the connection
// splits it into host and port.
static void CheckAddress(const char* address)
{
    char host[HOST_BUF_SIZE];
    const char* portText = NULL;
    if (SplitAddress(address, host, sizeof host, &portText) == 0) {
        size_t hostLen = strcspn(address, ":");
        if (strlen(host) != hostLen || memcmp(host, address, hostLen) != 0)
            Fail("host is not the text before the first ':'");
        int port = ParsePortText(portText);
        if (port != -1 && (port < 1 || port > 65535))
            Fail("port outside 1..65535");
    } else if (strcspn(address, ":") < HOST_BUF_SIZE) {
        Fail("a host that fits was refused");
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzArgs fa;
    FuzzArgsMake(&fa, data, size);
    static char env[] = "127.0.0.1:8510";

    SetProgramName(fa.argv[0]);
    const char* slash = strrchr(fa.argv[0], '/');
    if (ProgramName() != (slash ? slash + 1 : fa.argv[0]))
        Fail("program name is not the text after the last '/'");

    HOSTLINK_ARGS a;
    int r = HostlinkParseArgs(fa.argc, fa.argv, env, &a);
    if (r == 0) {
        CheckSplit(fa, a);
        CheckRunRequest(a);
        if (a.address != NULL)
            CheckAddress(a.address);
    } else if (r != -1) {
        Fail("unexpected result");
    }
    FuzzArgsFree(&fa);
    return 0;
}
