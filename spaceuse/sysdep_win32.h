// What the Windows platform files (sysdep_win32.cpp, dirs_win32.cpp,
// list_win32.cpp) share: text in the wide form the system takes, and the
// program's current directory, which is not the process's (sysdep.h).
#ifndef SPACEUSE_SYSDEP_WIN32_H
#define SPACEUSE_SYSDEP_WIN32_H

#include <stddef.h>

#include "widetext.h"

// A heap copy of `text` (UTF-8) in UTF-16; NULL when out of memory.
WideChar* WideDup(const char* text);
// `text` in UTF-8 into `buf` of `size` bytes: 0, or -1 with the buffer
// emptied when it does not fit.
int ToUtf8(const WideChar* text, char* buf, size_t size);

// The program's current directory as a long path ("\\?\C:\dir",
// "\\?\UNC\server\share\dir"), without a closing separator except at a
// drive's root. A heap block the caller frees; NULL when it is not known.
WideChar* WinCurrentDirLong(void);
// `path` (UTF-8) made full against the program's current directory, in the
// long form that the system takes at any length; a device's name keeps its
// own form. A heap block the caller frees; NULL when out of memory or when
// the current directory is not known.
WideChar* WinLongPath(const char* path);

#endif
