// Command line, program messages and the program-wide option state.
#include <stdio.h>
#include <string.h>

#include "options.h"

#include "output.h"
#include "text.h"

#define PROGRAM_DATE "1 June 1999"
#define COPYRIGHT_HOLDER "(c) The spaceuse developers"
#define FEEDBACK_ADDRESS "spaceuse-feedback@example.org"
#define DEFAULT_CLUSTER_SIZE 1024

ReportOptions reportOptions;
char progName[PROGNAME_SIZE];
char pathList[MAX_PATHS][PATH_BUF_SIZE];
unsigned pathCount;
uint32_t fakeClusterSize;
const char* exportFile;
const char* treemapFile;

// Members of the column selection gathered from the switches.
#define SEL_DIRS 0x01
#define SEL_FILES 0x02
#define SEL_BYTES 0x04
#define SEL_PATH 0x08
#define SEL_DISKINFO 0x10

// The abort texts must outlive registration: the hook writes them as they
// are, from a signal handler or a system thread.
static char abortTexts[ABORT_REASON_COUNT][PROGNAME_SIZE + 64];

void InitReportOptions(ReportOptions* options, int toFile)
{
    memset(options, 0, sizeof(*options));
    options->mode = MODE_NORMAL;
    options->hasFilter = 0;
    options->fakeCluster = 0;
    options->showDirs = 1;
    options->showFiles = 1;
    options->showBytes = 1;
    options->showPath = 1;
    options->showDiskInfo = 1;
    options->inClusters = 0;
    options->inKilo = 0;
    options->dirCluster = 1;
    options->toFile = toFile ? 1 : 0;
    options->recursive = 0;
    options->showHeader = 1;
    options->biggestFirst = 0;
}

void BuildProgName(const char* programPath)
{
    if (programPath == NULL || programPath[0] == '\0')
        programPath = "spaceuse";
    const char* base = programPath;
    for (const char* p = programPath; *p != '\0'; p++) {
        if (SysIsDirSeparator(*p))
            base = p + 1;
    }
    // A name longer than the buffer is cut, never overrun.
    snprintf(progName, sizeof(progName), "%s", base);
    char* dot = strrchr(progName, '.');
    if (dot != NULL)
        *dot = '\0';
    UpperName(progName);
}

int GetOsVersion(OsVersion* record)
{
    if (record == NULL)
        return -1;
    return SysGetOsVersion(record) == 0 ? 0 : -1;
}

// The hint and the banner below are the system's own wording, kept letter
// for letter; only the switch character and separator are the platform's.
void PrintHint(void)
{
    OutPrintf("Type '%s %c?' for more information.\n", progName, SWITCH_CHAR);
}

void PrintBanner(void)
{
    OutPrintf("%s v%s - %s\t\t%s\n", progName, PROGRAM_VERSION, COPYRIGHT_HOLDER, PROGRAM_DATE);
    OutPrintf("Feedback email: %s\n\n", FEEDBACK_ADDRESS);
    OutPrintf("Usage: %s <switches> path1[%cfilter1] ... pathN[%cfilterN]\n", progName, PATH_SEP,
           PATH_SEP);
    // Kept as written, "diskusage", "clustersize" and "i.e.:" included.
    OutFputs("<switches>\n"
          "  c        Report diskusage in clusters, instead of bytes\n"
          "  d        Do not count directories as an allocated cluster (default for NTFS)\n"
          "  f[N]     Fake clustersize to N bytes, must be a power of 2\n"
          "  i        Do not print disk information\n"
          "  k        Report diskusage in units of 1024 (also clusters)\n"
          "  r        Print usage recursive\n"
          "  q        \"Quick\" mode\n"
          "  B        Print the Bytes column in the report\n"
          "  D        Print the Dirs column in the report\n"
          "  F        Print the Files column in the report\n"
          "  I        Print disk info header\n"
          "  P        Print the Path column (and filter) in the report\n"
          "  s        Silent mode\n"
          "<filter>\n"
          "           Any globbing pattern. i.e.: '*.gif' or 'zorvitt?.htm*'\n",
          stdout);
    OutFputs("<more switches>\n"
          "  S        Print the subdirectories biggest first\n"
          "  --export <file>   Write the scan to <file> in ncdu's JSON export format\n"
          "  --treemap <file>  Draw the scanned tree into <file> as an SVG treemap\n",
          stdout);
}

// The substitute cluster size after "f": optional blanks and '+', then
// decimal digits; anything after them is ignored. A missing number, a minus
// sign or a value beyond 32 bits is refused instead of wrapping to a
// nonsense size. 0 on success.
static int ReadClusterSize(const char* text, uint32_t* size)
{
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f')
        p++;
    if (*p == '+')
        p++;
    if (*p < '0' || *p > '9')
        return -1;
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (uint64_t)(*p - '0');
        if (value > UINT32_MAX)
            return -1;
    }
    *size = (uint32_t)value;
    return 0;
}

// The switches that add a column to the selection, and what each adds.
static const struct {
    char letter;
    unsigned member;
} kColumnSwitches[] = {
    {'B', SEL_BYTES}, {'D', SEL_DIRS}, {'F', SEL_FILES}, {'I', SEL_DISKINFO}, {'P', SEL_PATH},
};

// The switch f[N] with the text after the f: the substitute cluster size,
// 1024 when no N is given. ARGS_CONTINUE, or 1 when N cannot be read.
static int ApplyClusterSize(const char* number)
{
    reportOptions.fakeCluster = 1;
    if (number[0] == '\0') {
        fakeClusterSize = DEFAULT_CLUSTER_SIZE;
        return ARGS_CONTINUE;
    }
    if (ReadClusterSize(number, &fakeClusterSize) == 0)
        return ARGS_CONTINUE;
    // The system's own wording, "clustersize" as one word.
    OutFprintf(stderr, "Error: Illegal clustersize: '%s'\n", number);
    fflush(stderr);
    PrintHint();
    return 1;
}

// Applies the switch `arg` (which begins with SWITCH_CHAR). ARGS_CONTINUE,
// or the exit status after a help text or an error.
static int ApplySwitch(const char* arg, unsigned* selection)
{
    for (const auto& column : kColumnSwitches) {
        if (arg[1] == column.letter) {
            *selection |= column.member;
            return ARGS_CONTINUE;
        }
    }
    switch (arg[1]) {
    case '?':
        PrintBanner();
        return 0;
    case 'i':
        *selection &= ~(unsigned)SEL_DISKINFO;
        break;
    case 'c':
        reportOptions.inClusters = 1;
        break;
    case 'd':
        reportOptions.dirCluster = 0;
        break;
    case 'f':
        return ApplyClusterSize(arg + 2);
    case 'k':
        reportOptions.inKilo = 1;
        break;
    case 'q':
        if (reportOptions.mode != MODE_SILENT)
            reportOptions.mode = MODE_QUICK;
        break;
    case 'r':
        reportOptions.recursive = 1;
        break;
    case 'S':
        reportOptions.biggestFirst = 1;
        break;
    case 's':
        reportOptions.mode = MODE_SILENT;
        reportOptions.showHeader = 0;
        *selection = SEL_BYTES | SEL_PATH;
        break;
    default:
        // The system's own wording. The switch is shown as given up to its
        // second character: a lone switch character is shown alone, not
        // followed by its terminating NUL.
        OutFprintf(stderr, "Error: Unknown switch: '%.2s'\n", arg);
        fflush(stderr);
        PrintHint();
        return 1;
    }
    return ARGS_CONTINUE;
}

// The long options, "--" on every platform, each followed by a file name.
// Any other argument beginning with "--" is read as it always was.
static const struct {
    const char* word;
    const char** file;
} kLongOptions[] = {
    {"--export", &exportFile},
    {"--treemap", &treemapFile},
};

// When argv[*i] is a long option: takes its file from the next argument,
// moves *i past it and returns ARGS_CONTINUE, or 1 when the file is missing.
// 0 when argv[*i] is no long option.
static int ApplyLongOption(int argc, char* const* argv, int* i)
{
    for (const auto& opt : kLongOptions) {
        if (strcmp(argv[*i], opt.word) != 0)
            continue;
        if (*i + 1 >= argc || argv[*i + 1] == NULL || argv[*i + 1][0] == '\0') {
            OutFprintf(stderr, "Error: %s needs a file name\n", opt.word);
            fflush(stderr);
            PrintHint();
            return 1;
        }
        *opt.file = argv[++*i];
        return ARGS_CONTINUE;
    }
    return 0;
}

int ParseArguments(int argc, char* const* argv)
{
    unsigned selection = 0;

    memset(pathList, 0, sizeof(pathList));
    pathCount = 0;
    fakeClusterSize = 0;
    exportFile = treemapFile = NULL;

    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (arg == NULL)
            break;
        int longResult = ApplyLongOption(argc, argv, &i);
        if (longResult == ARGS_CONTINUE)
            continue;
        if (longResult != 0)
            return longResult;
        if (arg[0] == SWITCH_CHAR) {
            int r = ApplySwitch(arg, &selection);
            if (r != ARGS_CONTINUE)
                return r;
            continue;
        }
        if (pathCount >= MAX_PATHS) {
            // The first line is the system's own wording; the second is ours.
            OutPrintf("Error: current maximum number of paths reached: %ld\n", (long)MAX_PATHS);
            OutPrintf("Run %s again for the remaining paths.\n", progName);
            return 1;
        }
        size_t len = strlen(arg);
        if (SysPathChars(arg) >= PATH_ARG_LIMIT) {
            OutFprintf(stderr, "Error: path too long: '%.40s...'\n", arg);
            return 1;
        }
        memcpy(pathList[pathCount], arg, len + 1);
        pathCount++;
    }

    // No path stands for the current directory of the current drive.
    if (pathCount == 0) {
        pathList[0][0] = '\0';
        pathCount = 1;
    }

    if (selection != 0) {
        reportOptions.showDirs = (selection & SEL_DIRS) ? 1 : 0;
        reportOptions.showFiles = (selection & SEL_FILES) ? 1 : 0;
        reportOptions.showBytes = (selection & SEL_BYTES) ? 1 : 0;
        reportOptions.showPath = (selection & SEL_PATH) ? 1 : 0;
        reportOptions.showDiskInfo = (selection & SEL_DISKINFO) ? 1 : 0;
    }
    return ARGS_CONTINUE;
}

size_t BuildAbortText(int reason, char* buf, size_t size)
{
    // The system's own wording, kept letter for letter ("Recieved" included).
    const char* why;
    if (reason == ABORT_REASON_INTERRUPT)
        why = "(you pressed CTRL+c)\n";
    else if (reason == ABORT_REASON_BREAK)
        why = "(you pressed CTRL+break)\n";
    else
        why = "Recieved some really BAD signals!\n";
    if (size == 0)
        return 0;
    int n = snprintf(buf, size, "\r%s: MISSION ABORT! %s", progName, why);
    if (n < 0) {
        buf[0] = '\0';
        return 0;
    }
    return (size_t)n < size ? (size_t)n : size - 1;
}

int InstallAbortHandler(void)
{
    const char* texts[ABORT_REASON_COUNT];
    for (int r = 0; r < ABORT_REASON_COUNT; r++) {
        BuildAbortText(r, abortTexts[r], sizeof(abortTexts[r]));
        texts[r] = abortTexts[r];
    }
    return SysInstallAbortHook(texts, 1);
}
