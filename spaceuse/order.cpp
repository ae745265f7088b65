// Subdirectory lines biggest first (order.h).
//
// The held text lives in one growing arena: each line, NUL-terminated, and
// each block's name. Lines are records chained by index, so a block is its
// first and last line and putting blocks in order is relinking them. The
// blocks not yet taken into a parent's are a stack: a directory's
// subdirectories are done after it is entered and before it is done, so
// theirs are the blocks on top of the stack.
#include "order.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "outfile.h"
#include "output.h"

#define NO_LINE ((size_t)-1)

typedef struct HeldLine {
    size_t text;  // offset in the arena
    size_t next;  // the line after it in its block, or NO_LINE
} HeldLine;

typedef struct Block {
    size_t first, last;  // lines
    uint64_t usage;
    size_t name;  // offset in the arena
} Block;

static char* arena;
static size_t arenaUsed, arenaCap;
static HeldLine* heldLines;
static size_t lineCount, lineCap;
static Block* blocks;
static size_t blockCount, blockCap;

// Copies `text` into the arena; its offset, or NO_LINE when out of memory.
static size_t Keep(const char* text)
{
    size_t len = strlen(text) + 1;
    if (Reserve(&arena, &arenaCap, arenaUsed, len) != 0)
        return NO_LINE;
    memcpy(arena + arenaUsed, text, len);
    arenaUsed += len;
    return arenaUsed - len;
}

// Larger usage first; equal ones by name, in byte order.
static int CompareBlocks(const void* a, const void* b)
{
    const Block* x = (const Block*)a;
    const Block* y = (const Block*)b;
    if (x->usage != y->usage)
        return x->usage > y->usage ? -1 : 1;
    return strcmp(arena + x->name, arena + y->name);
}

// Puts the blocks from `mark` on in order and chains them one after the
// other; the first line of the chain, or NO_LINE when there are none, and
// the last in *last.
static size_t ChainInOrder(size_t mark, size_t* last)
{
    if (mark >= blockCount)
        return NO_LINE;
    qsort(blocks + mark, blockCount - mark, sizeof *blocks, CompareBlocks);
    for (size_t i = mark; i + 1 < blockCount; i++)
        heldLines[blocks[i].last].next = blocks[i + 1].first;
    *last = blocks[blockCount - 1].last;
    return blocks[mark].first;
}

void OrderBegin(void)
{
    arenaUsed = lineCount = blockCount = 0;
}

size_t OrderMark(void)
{
    return blockCount;
}

int OrderLine(size_t mark, uint64_t usage, const char* name, const char* text)
{
    if (mark > blockCount)
        mark = blockCount;
    if (Reserve(&heldLines, &lineCap, lineCount, 1) != 0 ||
        Reserve(&blocks, &blockCap, blockCount, 1) != 0)
        return -1;
    size_t textAt = Keep(text);
    size_t nameAt = textAt == NO_LINE ? NO_LINE : Keep(name);
    if (nameAt == NO_LINE) {
        if (textAt != NO_LINE)
            arenaUsed = textAt;
        return -1;
    }
    size_t line = lineCount++;
    heldLines[line].text = textAt;
    heldLines[line].next = NO_LINE;

    size_t last = NO_LINE;
    size_t first = ChainInOrder(mark, &last);
    if (first == NO_LINE)
        first = line;
    else
        heldLines[last].next = line;
    blockCount = mark;
    Block* b = &blocks[blockCount++];
    b->first = first;
    b->last = line;
    b->usage = usage;
    b->name = nameAt;
    return 0;
}

void OrderFlush(void)
{
    size_t last = NO_LINE;
    for (size_t l = ChainInOrder(0, &last); l != NO_LINE; l = heldLines[l].next)
        OutFputs(arena + heldLines[l].text, stdout);
    OrderBegin();
}

void OrderRelease(void)
{
    free(arena);
    free(heldLines);
    free(blocks);
    arena = NULL;
    heldLines = NULL;
    blocks = NULL;
    arenaUsed = arenaCap = lineCount = lineCap = blockCount = blockCap = 0;
}
