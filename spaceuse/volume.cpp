// Volume information: label, serial, file system, cluster geometry, space,
// and the two-line disk-information header.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "volume.h"

#include "output.h"
#include "text.h"

// Short forms step by 1024 while the value is above 4096; a 64-bit amount
// needs at most six steps, so every step count has its letter.
static const char shortUnits[] = "kMGTPE";

int ReadDriveInfo(char letter, DriveInfo* info)
{
    SysVolume volume;
    memset(&volume, 0, sizeof(volume));

    info->letter = letter;
    if (SysGetVolume(letter, &volume) != 0) {
        volume.label[0] = '\0';
        volume.fsName[0] = '\0';
        volume.serial = 0;
    }
    snprintf(info->driveName, sizeof(info->driveName), "%s", volume.driveName);
    snprintf(info->volumeName, sizeof(info->volumeName), "%s", volume.label);
    snprintf(info->fsName, sizeof(info->fsName), "%s", volume.fsName);
    info->serialNumber = volume.serial;

    SysSpace space;
    if (SysGetDiskSpace(letter, info->fsName, &space) != 0) {
        info->clusterShift = 0;
        info->freeBytes = 0;
        info->totalBytes = 0;
        return 1;
    }
    // The product is taken at 32 bits, as the system's own figures are.
    uint64_t bytesPerCluster = (uint32_t)(space.sectorsPerCluster * space.bytesPerSector);
    info->clusterShift = Log2Floor(bytesPerCluster);
    info->clusterSize = (uint32_t)bytesPerCluster;
    info->freeBytes = bytesPerCluster * space.freeClusters;
    info->totalBytes = bytesPerCluster * space.totalClusters;
    return 0;
}

uint8_t Log2Floor(uint64_t value)
{
    uint8_t n = 0;
    while (value > 1) {
        value >>= 1;
        n++;
    }
    return n;
}

// Appends to a bounded buffer; `*used` counts what the whole text needs,
// so the caller can tell a cut text from a complete one.
static void Append(char* buf, size_t size, size_t* used, const char* fmt, ...)
{
    char piece[600];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(piece, sizeof(piece), fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t len = (size_t)n < sizeof(piece) ? (size_t)n : sizeof(piece) - 1;
    if (*used < size) {
        size_t room = size - 1 - *used;
        size_t take = len < room ? len : room;
        memcpy(buf + *used, piece, take);
        buf[*used + take] = '\0';
    }
    *used += len;
}

static void FormatShort(uint64_t amount, char* out, size_t size)
{
    int steps = 0;
    while (amount > 4096) {
        amount >>= 10;
        steps++;
    }
    if (steps == 0)
        snprintf(out, size, "%llu", (unsigned long long)amount);
    else
        snprintf(out, size, "%llu %cB", (unsigned long long)amount, shortUnits[steps - 1]);
}

size_t FormatDriveInfo(const DriveInfo* info, const ReportOptions* options, char* buf, size_t size)
{
    size_t used = 0;
    char grouped[GROUPED_BUF_SIZE];
    char shortForm[32];

    if (size > 0)
        buf[0] = '\0';
    // The pieces are the system's own wording and spacing, kept letter for
    // letter.
    Append(buf, size, &used, "Info drive %.511s: ", info->driveName);
    if (info->volumeName[0] != '\0')
        Append(buf, size, &used, "\"%.511s\" ", info->volumeName);
    if (info->serialNumber != 0)
        Append(buf, size, &used, "%04X:%04X ", (unsigned)(info->serialNumber >> 16),
               (unsigned)(info->serialNumber & 0xFFFF));
    Append(buf, size, &used, "- FS:%.*s - ", (int)sizeof(info->fsName), info->fsName);
    if (info->clusterSize > 512)
        Append(buf, size, &used, "Clusters:%uk", (unsigned)(info->clusterSize / 1024));
    else
        Append(buf, size, &used, "Clusters:%u", (unsigned)info->clusterSize);
    if (options->fakeCluster)
        Append(buf, size, &used, "(fake)");

    int withShort = info->freeBytes > 32768 || info->totalBytes > 32768;
    Append(buf, size, &used, "\nTotal: %s", FormatGrouped(info->totalBytes, ' ', 3, grouped));
    if (withShort) {
        FormatShort(info->totalBytes, shortForm, sizeof(shortForm));
        Append(buf, size, &used, " [%s]", shortForm);
    }
    Append(buf, size, &used, " - Free: %s", FormatGrouped(info->freeBytes, ' ', 3, grouped));
    if (withShort) {
        FormatShort(info->freeBytes, shortForm, sizeof(shortForm));
        Append(buf, size, &used, " [%s]", shortForm);
    }
    Append(buf, size, &used, "\n");
    return used;
}

void PrintDriveInfo(const DriveInfo* info, const ReportOptions* options)
{
    char text[DRIVE_INFO_BUF_SIZE];
    FormatDriveInfo(info, options, text, sizeof(text));
    OutFputs(text, stdout);
}
