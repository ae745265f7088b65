// Subdirectory lines biggest first (switch S).
//
// The lines of a directory's subdirectories are held until that directory
// is done, then put in order of usage, largest first, ties by name (byte
// order). In the recursive report each subdirectory's block, its own
// subdirectories' lines and then its line, moves as a whole. What is held
// is the lines waiting to be ordered, never more than the report itself;
// ordering links blocks, it never copies them.
#ifndef SPACEUSE_ORDER_H
#define SPACEUSE_ORDER_H

#include <stddef.h>
#include <stdint.h>

// Forgets whatever is held: the start of a path's scan.
void OrderBegin(void);
// The number of blocks held now. Taken as a directory is entered, it marks
// where the blocks of its subdirectories will begin.
size_t OrderMark(void);
// The line `text` of the directory `name` (usage `usage`) is done; the
// blocks held from `mark` on are its subdirectories'. They are put in
// order and, with the line after them, become one block. 0, or -1 when out
// of memory (nothing is then held of this line).
int OrderLine(size_t mark, uint64_t usage, const char* name, const char* text);
// Writes every block held, in order, to standard output and forgets them.
void OrderFlush(void);
// Frees what was kept for later paths.
void OrderRelease(void);

#endif
