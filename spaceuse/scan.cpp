// The directory scan and the report lines.
//
// The walk is iterative: each level of the tree has a record (its
// directory's listing and its running totals) in a stack that is allocated
// as the walk first goes that deep and kept for later scans, so the machine
// stack does not grow with the depth of the tree and nothing is allocated
// per entry. A subdirectory's totals are added into its parent's when it is
// done, so each directory is read exactly once. The listings come from the
// read-ahead (readahead.h), which may have read them on other threads; the
// walk alone writes the report, in the order of the listings.
#include "scan.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "export.h"
#include "order.h"
#include "output.h"
#include "readahead.h"
#include "sysdep.h"
#include "text.h"
#include "treemap.h"

typedef struct ScanLevel {
    AheadDir* dir;
    UsageTotals totals;
    const char* name;  // this directory's name, held by its parent's listing
    int incomplete;    // some of its entries could not be read
    size_t orderMark;    // where its subdirectories' held lines begin (switch S)
    size_t treemapMark;  // and their totals for the treemap
} ScanLevel;

static ScanLevel** levels;
static size_t levelCount;  // records allocated
static size_t levelCap;    // slots in `levels`

static const char kIndent[] =
    "                                                                                ";

static const char kWipe[] = "\r                                                                               \r";

uint64_t ClustersForSize(uint64_t size, unsigned clusterShift)
{
    if (clusterShift > 63)
        clusterShift = 63;
    if (size == 0)
        return 1;
    return ((size - 1) >> clusterShift) + 1;
}

const char* UsageIndent(int32_t depth)
{
    size_t max = sizeof kIndent - 1;
    size_t width = depth > 0 ? (size_t)depth * 2 : 0;
    if (depth > (int32_t)(max / 2))
        width = max;
    return kIndent + (max - width);
}

static void Append(char* buf, size_t size, size_t* len, const char* fmt, ...)
{
    if (*len + 1 >= size)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + *len, size - *len, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    *len += (size_t)n;
    if (*len >= size)
        *len = size - 1;
}

size_t FormatUsageFields(char* buf, size_t size, const UsageTotals* totals,
                         const ScanContext* ctx, const DriveInfo* info)
{
    const ReportOptions* o = ctx->options;
    size_t len = 0;
    if (size == 0)
        return 0;
    buf[0] = '\0';
    Append(buf, size, &len, "\r");
    if (o->showDirs && !o->hasFilter)
        Append(buf, size, &len, "%6lu ", (unsigned long)totals->dirs);
    if (o->showFiles)
        Append(buf, size, &len, "%7lu ", (unsigned long)totals->files);
    if (o->showBytes) {
        uint64_t value = totals->clusters;
        if (!o->inClusters)
            value <<= (info->clusterShift > 63 ? 63 : info->clusterShift);
        if (o->inKilo)
            value >>= 10;
        char grouped[GROUPED_BUF_SIZE];
        Append(buf, size, &len, "%15s  ", FormatGrouped(value, ' ', 3, grouped));
    }
    return len;
}

// Room for a usage line after the wipe: fields, indent, the name shown.
#define USAGE_FIELDS_SIZE 128
#define USAGE_LINE_SIZE (sizeof kWipe + USAGE_FIELDS_SIZE + sizeof kIndent + SHOWN_NAME_SIZE + 1)

// The usage line of `name`, as the report shows it, after `prefix`.
static void FormatUsageLine(char* line, size_t size, const char* prefix, const char* name,
                            const UsageTotals* totals, const ScanContext* ctx,
                            const DriveInfo* info)
{
    char fields[USAGE_FIELDS_SIZE];
    char shown[SHOWN_NAME_SIZE];
    FormatUsageFields(fields, sizeof fields, totals, ctx, info);
    if (ctx->options->showPath)
        snprintf(line, size, "%s%s%s%s\n", prefix, fields, UsageIndent(ctx->depth),
                 ShownName(name, shown, sizeof shown));
    else
        snprintf(line, size, "%s%s\n", prefix, fields);
}

static void WriteUsageLine(const char* name, const UsageTotals* totals, const ScanContext* ctx,
                           const DriveInfo* info)
{
    char line[USAGE_LINE_SIZE];
    FormatUsageLine(line, sizeof line, "", name, totals, ctx, info);
    OutFputs(line, stdout);
}

// With S: the line, as WriteUsageLine would write it after the wipe, held
// to be put in order. Printed at once when it cannot be held.
static void HoldUsageLine(const char* name, const UsageTotals* totals, const ScanContext* ctx,
                          const DriveInfo* info, size_t mark)
{
    char line[USAGE_LINE_SIZE];
    FormatUsageLine(line, sizeof line, kWipe, name, totals, ctx, info);
    if (OrderLine(mark, totals->clusters, name, line) != 0)
        OutFputs(line, stdout);
}

void PrintUsageLine(char* name, const UsageTotals* totals, const ScanContext* ctx,
                    const DriveInfo* info)
{
    if (ctx->options->showPath && name[0] == '\0' &&
        SysGetCurrentDir(name, PATH_BUF_SIZE) != 0)
        name[0] = '\0';
    WriteUsageLine(name, totals, ctx, info);
}

void ScanRelease(void)
{
    for (size_t i = 0; i < levelCount; i++)
        free(levels[i]);
    free(levels);
    levels = NULL;
    levelCount = levelCap = 0;
    AheadRelease();
    OrderRelease();
}

// The record for level `k`, allocated the first time the walk goes that deep.
static ScanLevel* GetLevel(size_t k)
{
    if (k < levelCount)
        return levels[k];
    if (k != levelCount)
        return NULL;
    if (levelCount == levelCap) {
        size_t cap = levelCap ? levelCap * 2 : 64;
        ScanLevel** grown = (ScanLevel**)realloc(levels, cap * sizeof *grown);
        if (!grown)
            return NULL;
        levels = grown;
        levelCap = cap;
    }
    ScanLevel* lv = (ScanLevel*)calloc(1, sizeof *lv);
    if (!lv)
        return NULL;
    levels[levelCount++] = lv;
    return lv;
}

// Names the directory at level `k` (and, when `leaf` is given, its entry
// `leaf`) below the scanned directory. Written piecewise: the path may be
// far longer than any fixed buffer.
static void WriteScanPath(FILE* f, const ScanContext* ctx, size_t k, const char* leaf)
{
    char cwd[PATH_BUF_SIZE];
    char shown[SHOWN_NAME_SIZE];
    const char* root = ctx->rootPath;
    if (!root || !root[0])
        root = SysGetCurrentDir(cwd, sizeof cwd) == 0 ? cwd : ".";
    OutFputs(ShownName(root, shown, sizeof shown), f);
    size_t rootLen = strlen(root);
    int needSep = rootLen > 0 && root[rootLen - 1] != PATH_SEP;
    for (size_t i = 1; i <= k; i++) {
        if (needSep)
            OutFputc(PATH_SEP, f);
        OutFputs(ShownName(levels[i]->name, shown, sizeof shown), f);
        needSep = 1;
    }
    if (leaf) {
        if (needSep)
            OutFputc(PATH_SEP, f);
        OutFputs(ShownName(leaf, shown, sizeof shown), f);
    }
}

static void ReportUnreadable(ScanContext* ctx, size_t k, const char* leaf)
{
    // A progress line left on the console would run into the message.
    if (!ctx->options->toFile && !ctx->options->recursive)
        OutFputs(kWipe, stdout);
    fflush(stdout);
    // The system's own wording, written in pieces as the path may be long.
    OutFputs("Error: couldn't calculate size of directory: \"", stderr);
    WriteScanPath(stderr, ctx, k, leaf);
    OutFputs("\"\n", stderr);
    ctx->failures++;
}

void ReportCause(ScanContext* ctx, int result)
{
    if (result == LISTING_NO_FD && !ctx->noDescriptorTold) {
        // More directories open at once than the process may hold.
        // Directories this deep are reached by raising the limit (ulimit -n).
        ctx->noDescriptorTold = 1;
        OutFputs("Error: out of file descriptors (too many directories open at once); raise the "
              "limit of open files to count what they hold\n",
              stderr);
    } else if (result == LISTING_NO_MEMORY && !ctx->noMemoryTold) {
        ctx->noMemoryTold = 1;
        OutFputs("Error: out of memory (the directories the scan holds at once need more than the "
              "process may have); raise the memory limit to count what they hold\n",
              stderr);
    }
}

static void AddTotals(UsageTotals* to, const UsageTotals* from)
{
    to->files += from->files;
    to->dirs += from->dirs;
    to->clusters += from->clusters;
}

// A subdirectory of the directory listed at `parent` is done (`done`, its
// level), or could not be entered (`done` NULL): its line, its total for
// the treemap, then its share of the parent's totals.
static void FinishSubdir(ScanLevel* parent, const char* name, const UsageTotals* sub,
                         const ScanContext* ctx, const DriveInfo* info, const ScanLevel* done)
{
    const ReportOptions* o = ctx->options;
    if (TreemapActive())
        TreemapDir(ctx->depth + 1, done ? done->treemapMark : TreemapMark(), name,
                   sub->clusters << info->clusterShift);
    if ((ctx->depth == 0 || o->recursive) && o->mode == MODE_NORMAL) {
        if (o->biggestFirst) {
            HoldUsageLine(name, sub, ctx, info, done ? done->orderMark : OrderMark());
        } else {
            OutFputs(kWipe, stdout);
            WriteUsageLine(name, sub, ctx, info);
        }
    }
    if (!o->hasFilter) {
        parent->totals.dirs++;
        if (o->dirCluster)
            parent->totals.clusters++;
    }
    AddTotals(&parent->totals, sub);
}

// Starts the level as the listing of the directory `name` (NULL for the
// scanned directory itself), with nothing counted yet.
static void ResetLevel(ScanLevel* lv, const char* name)
{
    const UsageTotals zero = {0, 0, 0};
    lv->totals = zero;
    lv->name = name;
    lv->incomplete = 0;
}

// ---- what the export is told (export.h) ----

// The usage a directory takes itself, not counting what it holds.
static uint64_t OwnUsage(const ScanContext* ctx, const DriveInfo* info)
{
    const ReportOptions* o = ctx->options;
    return (o->dirCluster && !o->hasFilter) ? (uint64_t)1 << info->clusterShift : 0;
}

// A directory the walk enters (`d`, NULL when it cannot be) or counts where
// it stands (`e`, the entry of it; NULL for the path's own).
static void ExportDir(const char* name, const AheadDir* d, const AheadEntry* e, int flags,
                      const ScanContext* ctx, const DriveInfo* info)
{
    if (!ExportActive())
        return;
    ExportItem item = {name, 0, e ? OwnUsage(ctx, info) : 0, 0, e ? e->ino : 0, 0, flags};
    if (d) {
        AheadId(d, &item.dev, &item.ino);
        ExportDirBegin(&item, e == NULL);
    } else {
        ExportLeafDir(&item, e == NULL);
    }
}

static void ExportCounted(const AheadEntry* e, uint64_t clusters, unsigned shift, int flags)
{
    if (!ExportActive())
        return;
    ExportItem item = {e->name, flags ? 0 : e->size, clusters << shift, 0, e->ino, e->nlink, flags};
    ExportFile(&item);
}

// A file entry of the level's listing: its clusters, unless the filter
// turns it down.
static void CountFile(ScanLevel* lv, const AheadEntry* e, unsigned shift)
{
    if (!e->wanted)
        return;
    int sr = e->sizeResult;
    if (sr == LISTING_GONE)
        return;  // removed while the walk went by
    if (sr != LISTING_OK) {
        lv->incomplete = 1;
        ExportCounted(e, 0, shift, EXPORT_READ_ERROR);
        return;
    }
    uint64_t clusters = ClustersForSize(e->size, shift);
    lv->totals.clusters += clusters;
    lv->totals.files++;
    ExportCounted(e, clusters, shift, 0);
}

// A subdirectory entry of the listing at level `k`: opens it as level k + 1
// and returns that level, or counts it at once where it is not to be (or
// cannot be) entered and returns `k`.
static size_t EnterSubdir(size_t k, const AheadEntry* e, ScanContext* ctx, const DriveInfo* info)
{
    const ReportOptions* o = ctx->options;
    const UsageTotals zero = {0, 0, 0};
    ScanLevel* cur = levels[k];
    if (ctx->depth == 0 && !o->recursive && !o->toFile) {
        // The progress line as the system writes it, letter for letter.
        char shown[SHOWN_NAME_SIZE];
        OutPrintf("\rscanning: %-65s\r", ShownName(e->name, shown, sizeof shown));
        fflush(stdout);
    }
    if (e->isLink) {
        // Counted where it stands, never entered.
        ExportDir(e->name, NULL, e, 0, ctx, info);
        FinishSubdir(cur, e->name, &zero, ctx, info, NULL);
        return k;
    }
    ScanLevel* next = GetLevel(k + 1);
    AheadDir* child = NULL;
    int rc = AheadEnter(cur->dir, e, &child);
    if (rc == LISTING_OK && !next) {
        AheadLeave(child);
        rc = LISTING_NO_MEMORY;
    }
    if (rc == LISTING_OTHER_FS) {
        // Another file system mounted here: counted where it stands, never
        // entered, as a link is.
        ExportDir(e->name, NULL, e, EXPORT_OTHER_FS, ctx, info);
        FinishSubdir(cur, e->name, &zero, ctx, info, NULL);
        return k;
    }
    if (rc != LISTING_OK) {
        // Still counted and given its line of zeros, but never silently:
        // the total is short by whatever it holds. So is a directory that
        // was listed and has gone since.
        ReportUnreadable(ctx, k, e->name);
        ReportCause(ctx, rc);
        ExportDir(e->name, NULL, e, EXPORT_READ_ERROR, ctx, info);
        FinishSubdir(cur, e->name, &zero, ctx, info, NULL);
        return k;
    }
    next->dir = child;
    ExportDir(e->name, child, e, 0, ctx, info);
    ResetLevel(next, e->name);
    next->orderMark = OrderMark();
    next->treemapMark = TreemapMark();
    ctx->depth++;
    return k + 1;
}

// The listing at level `k` has ended (`r` says how): closes it and, below
// the top, hands its totals to its parent. Returns the level the walk goes
// on with.
static size_t LeaveLevel(size_t k, int r, ScanContext* ctx, const DriveInfo* info)
{
    ScanLevel* cur = levels[k];
    if (r == LISTING_ERROR)
        cur->incomplete = 1;
    AheadLeave(cur->dir);
    cur->dir = NULL;
    if (ExportActive())
        ExportDirEnd();
    if (cur->incomplete)
        ReportUnreadable(ctx, k, NULL);
    if (k == 0)
        return 0;
    ctx->depth--;
    FinishSubdir(levels[k - 1], cur->name, &cur->totals, ctx, info, cur);
    return k - 1;
}

bool ScanDirectory(const char* filter, UsageTotals* totals, ScanContext* ctx,
                   const DriveInfo* info)
{
    const char* useFilter = ctx->options->hasFilter ? filter : NULL;
    ScanLevel* top = GetLevel(0);
    int rc = top ? AheadBegin(useFilter, &top->dir) : LISTING_NO_MEMORY;
    if (rc != LISTING_OK) {
        AheadEnd();
        ctx->topResult = rc;
        ExportDir(ctx->rootPath, NULL, NULL, EXPORT_READ_ERROR, ctx, info);
        return false;
    }
    ExportDir(ctx->rootPath, top->dir, NULL, 0, ctx, info);
    ResetLevel(top, NULL);
    OrderBegin();

    // Level k of the stack lists the directory k below the scanned one;
    // ctx->depth goes up and down with k.
    size_t k = 0;
    for (;;) {
        AheadEntry e;
        int r = AheadNext(levels[k]->dir, &e);
        if (r != LISTING_ENTRY) {
            if (k == 0) {
                LeaveLevel(0, r, ctx, info);
                break;
            }
            k = LeaveLevel(k, r, ctx, info);
        } else if (!e.isDir) {
            CountFile(levels[k], &e, info->clusterShift);
        } else {
            k = EnterSubdir(k, &e, ctx, info);
        }
    }
    AheadEnd();
    if (ctx->options->biggestFirst)
        OrderFlush();
    AddTotals(totals, &top->totals);
    return true;
}
