// Number formatting, wildcard matching and name casing for the report; none
// of it touches the platform.
#ifndef SPACEUSE_TEXT_H
#define SPACEUSE_TEXT_H

#include <stddef.h>
#include <stdint.h>

// Holds the longest 64-bit value with a separator every three digits.
#define GROUPED_BUF_SIZE 28

// MatchPattern's results; callers take every one but MATCH_OK as no match.
#define MATCH_OK 0
#define MATCH_NAME_LEFT 2
#define MATCH_PATTERN_LEFT 3
#define MATCH_CHAR 4

// The decimal text of `value` with `sep` between groups of `group` digits,
// into `buf` (GROUPED_BUF_SIZE bytes); returns `buf`.
char* FormatGrouped(uint64_t value, char sep, int group, char* buf);
// Whether `name` matches the wildcard `pattern` ('*' any run, '?' one
// character), bytes compared exactly.
uint8_t MatchPattern(const char* pattern, const char* name);
// Room for a name of 512 bytes with every byte shown escaped.
#define SHOWN_NAME_SIZE (4 * 512 + 1)
// `name` as the report shows it: control characters escaped as \n, \t or
// \ooo, so that no name breaks a line; every other byte as it is. Returns
// `name` itself when it holds none, else `buf` (cut at `size`).
const char* ShownName(const char* name, char* buf, size_t size);
// Upper-cases ASCII letters and the a-umlaut, a-ring and o-umlaut, in
// place, as Windows-1252 bytes or as UTF-8; other UTF-8 characters stay
// whole. Returns `text`.
char* UpperName(char* text);

#endif
