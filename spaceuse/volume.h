// Volume information: label, serial, file system, cluster geometry, space,
// and the two-line disk-information header.
#ifndef SPACEUSE_VOLUME_H
#define SPACEUSE_VOLUME_H

#include <stddef.h>
#include <stdint.h>

#include "options.h"
#include "sysdep.h"

typedef struct DriveInfo {
    char letter;                    // Windows: the drive letter, upper case
    char driveName[PATH_BUF_SIZE];  // as the header names it: "C" or a mount point
    char volumeName[PATH_BUF_SIZE];
    char fsName[16];
    uint32_t clusterSize;
    uint8_t clusterShift;
    uint64_t freeBytes;
    uint64_t totalBytes;
    uint32_t serialNumber;
} DriveInfo;

// Fills `info` for the volume of drive `letter` (Windows) or of the current
// directory (POSIX, where `letter` is not used): 0, or 1 when the space query
// failed.
int ReadDriveInfo(char letter, DriveInfo* info);
uint8_t Log2Floor(uint64_t value);
void PrintDriveInfo(const DriveInfo* info, const ReportOptions* options);
// The two header lines into `buf` (always terminated); the length they need.
size_t FormatDriveInfo(const DriveInfo* info, const ReportOptions* options,
                       char* buf, size_t size);
#define DRIVE_INFO_BUF_SIZE 1536

#endif
