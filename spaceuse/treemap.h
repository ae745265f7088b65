// A picture of where the space went (--treemap <file.svg>): a squarified
// treemap of the scanned tree in one self-contained SVG file, with no
// script and nothing to fetch.
//
// Each directory is a rectangle whose area is its usage (the figure of its
// report line), nested down to TREEMAP_LEVELS levels below the root; the
// part of a rectangle its subdirectories leave is what lies in the
// directory itself. A rectangle is drawn when it is at least TREEMAP_MIN_SIDE
// pixels wide and high, its subdirectories inside it when there is room for
// a label strip and more; it is labelled with its name and size where the
// text fits, and its <title> (the tooltip) holds its full path and figures.
// The first-level directories have hues of their own, deeper ones lighter
// shades of their parent's. Names are shown as the report shows them
// (control characters escaped), invalid UTF-8 replaced, escaped as XML.
//
// Only directory totals are kept, for the levels drawn, and of them only
// those large enough to be seen. With several paths the root is the run,
// each path a first-level rectangle.
#ifndef SPACEUSE_TREEMAP_H
#define SPACEUSE_TREEMAP_H

#include <stddef.h>
#include <stdint.h>

#define TREEMAP_LEVELS 3
#define TREEMAP_MIN_SIDE 3
#define TREEMAP_WIDTH 1280
#define TREEMAP_HEIGHT 800

// Creates <file>.part for a run of `paths` paths. 0, or 1 with the error
// line written.
int TreemapOpen(const char* file, unsigned paths);
int TreemapActive(void);
// The number of directories held: taken as a directory is entered, it
// marks where its subdirectories' will begin.
size_t TreemapMark(void);
// A directory `depth` levels below its path (1 for the first) is done, of
// `bytes` usage; those held from `mark` on are its subdirectories.
void TreemapDir(int depth, size_t mark, const char* name, uint64_t bytes);
// The path `name` is done, of `bytes` usage; what is held from `mark` on
// is its subdirectories. With a mark taken before its scan.
void TreemapPath(size_t mark, const char* name, uint64_t bytes);
// Draws the picture and gives the file its name; with `abandon` (or when
// no path was drawn) removes it instead. 0, or 1 with the error line
// written.
int TreemapClose(int abandon);

// `text` as the picture shows it, into `buf` (always terminated): control
// characters escaped as the report does, invalid UTF-8 replaced by U+FFFD,
// the XML specials as entities. Returns the length.
size_t TreemapXmlText(const char* text, char* buf, size_t size);

#endif
