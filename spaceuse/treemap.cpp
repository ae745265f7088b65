// The treemap picture (treemap.h).
//
// Directories arrive in post-order, each after its subdirectories, so the
// ones not yet taken into a parent are a stack, as the held lines of the
// order module are. When a directory is done the subdirectories on top of
// the stack become its children, less those too small to ever be seen:
// whatever the total, a child below its parent's usage times MIN_SHARE
// could not be drawn. At the end the rectangles are laid out, largest
// first, in rows along the shorter side of what is left (the squarified
// layout), and written out.
#include "treemap.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "outfile.h"
#include "sysdep.h"
#include "text.h"

#define TITLE_BAR 24  // the root's label above the picture
#define LABEL_BAR 16  // a nested directory's label strip
#define INSET 2
#define NEST_MIN 36   // room a rectangle needs to show what it holds
#define CHAR_WIDTH 7  // a conservative width of one character at 12 px
// Nothing smaller than a TREEMAP_MIN_SIDE square of the whole picture.
#define MIN_SHARE ((double)TREEMAP_MIN_SIDE * TREEMAP_MIN_SIDE / (TREEMAP_WIDTH * TREEMAP_HEIGHT))

typedef struct Node {
    size_t name;   // offset in the name arena
    uint64_t bytes;
    size_t kids;   // first child in `kids`
    size_t count;  // children
} Node;

typedef struct Rect {
    double x, y, w, h;
} Rect;

static OutFile file;
static FILE* out;  // file.f while the treemap is being made
static unsigned pathTotal;
static char* names;
static size_t namesUsed, namesCap;
static Node* nodes;
static size_t nodeCount, nodeCap;
static size_t* stack;  // nodes not yet taken into a parent
static size_t stackCount, stackCap;
static size_t* kids;  // children of each node, contiguous
static size_t kidCount, kidCap;
static int outOfMemory;

// ---- collecting the totals ------------------------------------------------------

int TreemapActive(void)
{
    return out != NULL;
}

size_t TreemapMark(void)
{
    return stackCount;
}

static int ByBytes(const void* a, const void* b)
{
    uint64_t x = nodes[*(const size_t*)a].bytes, y = nodes[*(const size_t*)b].bytes;
    return x > y ? -1 : x < y ? 1 : 0;
}

// A node for `name` whose children are the stack from `mark` on.
static void Hold(size_t mark, const char* name, uint64_t bytes)
{
    if (mark > stackCount)
        mark = stackCount;
    size_t len = strlen(name) + 1;
    size_t n = stackCount - mark;
    if (Reserve(&names, &namesCap, namesUsed, len) != 0 ||
        Reserve(&nodes, &nodeCap, nodeCount, 1) != 0 || Reserve(&kids, &kidCap, kidCount, n) != 0 ||
        Reserve(&stack, &stackCap, mark, 1) != 0) {
        outOfMemory = 1;
        stackCount = mark;
        return;
    }
    Node* node = &nodes[nodeCount];
    node->name = namesUsed;
    memcpy(names + namesUsed, name, len);
    namesUsed += len;
    node->bytes = bytes;
    node->kids = kidCount;
    node->count = 0;
    qsort(stack + mark, n, sizeof *stack, ByBytes);
    for (size_t i = mark; i < stackCount; i++) {
        uint64_t b = nodes[stack[i]].bytes;
        if (b == 0 || (double)b < (double)bytes * MIN_SHARE)
            break;  // this and all after it too small to be seen
        kids[kidCount++] = stack[i];
        node->count++;
    }
    stackCount = mark;
    stack[stackCount++] = nodeCount++;
}

void TreemapDir(int depth, size_t mark, const char* name, uint64_t bytes)
{
    if (!out)
        return;
    // With several paths each path is a level of its own.
    int level = depth + (pathTotal > 1 ? 1 : 0);
    if (level <= TREEMAP_LEVELS)
        Hold(mark, name, bytes);
}

void TreemapPath(size_t mark, const char* name, uint64_t bytes)
{
    if (out)
        Hold(mark, name, bytes);
}

// ---- text -------------------------------------------------------------------------

// The length of the UTF-8 sequence at `p` (1 to 4), 0 when it is not one:
// an invalid or overlong sequence, a surrogate, or a code point XML does
// not allow (U+FFFE, U+FFFF).
static size_t Utf8Length(const unsigned char* p)
{
    if (p[0] < 0x80)
        return 1;
    size_t n = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 ? 2 : 0;
    if (n == 0 || p[0] > 0xF4)
        return 0;
    for (size_t i = 1; i < n; i++) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    }
    if (n == 3 && p[0] == 0xE0 && p[1] < 0xA0)
        return 0;
    if (n == 3 && p[0] == 0xED && p[1] >= 0xA0)
        return 0;
    if (n == 3 && p[0] == 0xEF && p[1] == 0xBF && p[2] >= 0xBE)
        return 0;
    if (n == 4 && ((p[0] == 0xF0 && p[1] < 0x90) || (p[0] == 0xF4 && p[1] >= 0x90)))
        return 0;
    return n;
}

size_t TreemapXmlText(const char* text, char* buf, size_t size)
{
    char shownBuf[SHOWN_NAME_SIZE];
    const unsigned char* p = (const unsigned char*)ShownName(text, shownBuf, sizeof shownBuf);
    size_t len = 0;
    if (size == 0)
        return 0;
    while (*p) {
        const char* piece = (const char*)p;
        size_t take = Utf8Length(p), n = take;
        switch (*p) {
        case '&': piece = "&amp;"; n = 5; break;
        case '<': piece = "&lt;"; n = 4; break;
        case '>': piece = "&gt;"; n = 4; break;
        case '"': piece = "&quot;"; n = 6; break;
        case '\'': piece = "&apos;"; n = 6; break;
        default:
            if (take == 0) {
                piece = "\xEF\xBF\xBD";  // U+FFFD for the byte that begins no character
                n = 3;
                take = 1;
            }
        }
        if (len + n >= size)
            break;
        memcpy(buf + len, piece, n);
        len += n;
        p += take;
    }
    buf[len] = '\0';
    return len;
}

// Characters (not bytes) of a UTF-8 text, for the room its label needs.
static size_t Chars(const char* s)
{
    size_t n = 0;
    for (; *s; s++)
        n += ((unsigned char)*s & 0xC0) != 0x80;
    return n;
}

// A short form of `bytes` for labels: 1023 B, 4.5 kB, 12.0 MB ...
static void ShortSize(uint64_t bytes, char* buf, size_t size)
{
    static const char* units[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
    double v = (double)bytes;
    int u = 0;
    while (v >= 1024 && u < 6) {
        v /= 1024;
        u++;
    }
    if (u == 0)
        snprintf(buf, size, "%llu B", (unsigned long long)bytes);
    else
        snprintf(buf, size, "%.1f %s", v, units[u]);
}

// ---- drawing ------------------------------------------------------------------------

// The fill of a rectangle `level` deep whose first-level ancestor is the
// `hue`-th: hues a golden angle apart, lighter with depth.
static void Fill(int hue, int level, char* buf, size_t size)
{
    double h = fmod(hue * 137.508, 360.0) / 60.0;  // the sextant of the colour wheel, 0 to 6
    double l = 0.50 + 0.12 * (level - 1), s = 0.55;
    if (l > 0.90)
        l = 0.90;
    double c = (1 - fabs(2 * l - 1)) * s;
    double x = c * (1 - fabs(fmod(h, 2.0) - 1));
    static const int order[6][2] = {{0, 1}, {1, 0}, {1, 2}, {2, 1}, {2, 0}, {0, 2}};
    double rgb[3] = {0, 0, 0};
    int sextant = (int)h % 6;
    rgb[order[sextant][0]] = c;
    rgb[order[sextant][1]] = x;
    double m = l - c / 2;
    snprintf(buf, size, "#%02x%02x%02x", (int)((rgb[0] + m) * 255 + 0.5),
             (int)((rgb[1] + m) * 255 + 0.5), (int)((rgb[2] + m) * 255 + 0.5));
}

// The path of what is being drawn, for tooltips: at most the root and
// TREEMAP_LEVELS names.
static char pathText[PATH_BUF_SIZE * (TREEMAP_LEVELS + 2)];

static void DrawNode(size_t id, Rect r, int level, int hue);

// The worst aspect ratio of a row of items summing to `sum` (areas), the
// largest `max` and smallest `min`, laid along a side of length `side`.
static double Worst(double sum, double max, double min, double side)
{
    double s2 = side * side;
    double a = s2 * max / (sum * sum), b = (sum * sum) / (s2 * min);
    return a > b ? a : b;
}

// Lays out the children of `node` in `r`, which stands for `node->bytes`;
// what the children leave stays empty. `level` is theirs.
static void LayOut(const Node* node, Rect r, int level, int hue)
{
    if (node->bytes == 0 || r.w <= 0 || r.h <= 0)
        return;
    double scale = r.w * r.h / (double)node->bytes;
    size_t i = 0;
    while (i < node->count && r.w > 0 && r.h > 0) {
        double side = r.w < r.h ? r.w : r.h;
        double first = (double)nodes[kids[node->kids + i]].bytes * scale;
        double sum = first, best = Worst(sum, first, first, side);
        size_t j = i + 1;
        for (; j < node->count; j++) {
            double a = (double)nodes[kids[node->kids + j]].bytes * scale;
            double w = Worst(sum + a, first, a, side);
            if (w > best)
                break;
            best = w;
            sum += a;
        }
        // A row along the shorter side, as thick as its area asks.
        double thick = sum / side, at = 0;
        for (size_t k = i; k < j; k++) {
            size_t id = kids[node->kids + k];
            double len = (double)nodes[id].bytes * scale / thick;
            Rect c = r.w >= r.h ? Rect{r.x, r.y + at, thick, len} : Rect{r.x + at, r.y, len, thick};
            at += len;
            DrawNode(id, c, level, level == 1 ? (int)k : hue);
        }
        if (r.w >= r.h) {
            r.x += thick;
            r.w -= thick;
        } else {
            r.y += thick;
            r.h -= thick;
        }
        i = j;
    }
}

static void DrawNode(size_t id, Rect r, int level, int hue)
{
    const Node* n = &nodes[id];
    if (r.w < TREEMAP_MIN_SIDE || r.h < TREEMAP_MIN_SIDE)
        return;
    size_t pathLen = strlen(pathText);  // the parent's, restored at the end
    size_t nameLen = strlen(names + n->name);
    if (pathLen + nameLen + 2 < sizeof pathText) {
        size_t at = pathLen;
        if (at > 0 && pathText[at - 1] != PATH_SEP)
            pathText[at++] = PATH_SEP;
        memcpy(pathText + at, names + n->name, nameLen + 1);
    }
    static char text[3 * SHOWN_NAME_SIZE * (TREEMAP_LEVELS + 2)];
    char fill[8], grouped[GROUPED_BUF_SIZE], size[32];
    Fill(hue, level, fill, sizeof fill);
    ShortSize(n->bytes, size, sizeof size);
    TreemapXmlText(pathText, text, sizeof text);
    fprintf(out, "<g><title>%s&#10;%s bytes (%s)</title>\n", text,
            FormatGrouped(n->bytes, ' ', 3, grouped), size);
    fprintf(out,
            "<rect class=\"d%d\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"%s\" "
            "stroke=\"#ffffff\" stroke-width=\"1\" data-bytes=\"%llu\"/>\n",
            level, r.x, r.y, r.w, r.h, fill, (unsigned long long)n->bytes);
    // The label: name and size, else the name alone, else none.
    TreemapXmlText(names + n->name, text, sizeof text);
    size_t chars = Chars(text) + 1 + strlen(size);
    if (r.h >= LABEL_BAR && chars * CHAR_WIDTH + 2 * INSET <= r.w)
        fprintf(out, "<text x=\"%.2f\" y=\"%.2f\">%s %s</text>\n", r.x + INSET, r.y + 12.5, text,
                size);
    else if (r.h >= LABEL_BAR && Chars(text) * CHAR_WIDTH + 2 * INSET <= r.w)
        fprintf(out, "<text x=\"%.2f\" y=\"%.2f\">%s</text>\n", r.x + INSET, r.y + 12.5, text);
    if (level < TREEMAP_LEVELS && n->count > 0 && r.w >= NEST_MIN && r.h >= NEST_MIN) {
        Rect inner = {r.x + INSET, r.y + LABEL_BAR, r.w - 2 * INSET, r.h - LABEL_BAR - INSET};
        LayOut(n, inner, level + 1, hue);
    }
    fputs("</g>\n", out);
    pathText[pathLen] = '\0';
}

// The whole picture of the root node `root`.
static void Draw(size_t root)
{
    const Node* n = &nodes[root];
    static char text[3 * SHOWN_NAME_SIZE];
    char grouped[GROUPED_BUF_SIZE], size[32];
    int height = TREEMAP_HEIGHT + TITLE_BAR;
    TreemapXmlText(names + n->name, text, sizeof text);
    ShortSize(n->bytes, size, sizeof size);
    fprintf(out,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
            "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n"
            "<title>%s: %s bytes</title>\n"
            "<rect x=\"0\" y=\"0\" width=\"%d\" height=\"%d\" fill=\"#f4f4f4\"/>\n"
            "<rect x=\"0\" y=\"0\" width=\"%d\" height=\"%d\" fill=\"#333333\"/>\n"
            "<text x=\"6\" y=\"17\" fill=\"#ffffff\">%s - %s bytes (%s)</text>\n",
            TREEMAP_WIDTH, height, TREEMAP_WIDTH, height, text,
            FormatGrouped(n->bytes, ' ', 3, grouped), TREEMAP_WIDTH, height, TREEMAP_WIDTH,
            TITLE_BAR, text, grouped, size);
    snprintf(pathText, sizeof pathText, "%s", pathTotal > 1 ? "" : names + n->name);
    Rect all = {0, TITLE_BAR, TREEMAP_WIDTH, TREEMAP_HEIGHT};
    LayOut(n, all, 1, 0);
    fputs("</svg>\n", out);
}

// ---- the file -------------------------------------------------------------------------

static void Forget(void)
{
    free(names);
    free(nodes);
    free(stack);
    free(kids);
    names = NULL;
    nodes = NULL;
    stack = kids = NULL;
    namesUsed = namesCap = nodeCount = nodeCap = stackCount = stackCap = kidCount = kidCap = 0;
    out = NULL;
}

int TreemapOpen(const char* name, unsigned paths)
{
    if (OutFileOpen(&file, name, "treemap") != 0)
        return 1;
    out = file.f;
    pathTotal = paths;
    outOfMemory = 0;
    return 0;
}

int TreemapClose(int abandon)
{
    if (!out)
        return 0;
    if (pathTotal > 1) {
        char name[64];
        snprintf(name, sizeof name, "spaceuse: %u paths", pathTotal);
        Hold(0, name, 0);
    }
    int drawn = !abandon && !outOfMemory && stackCount > 0;
    if (drawn) {
        size_t root = stack[stackCount - 1];
        if (pathTotal > 1) {
            // The run's own root: the sum of its paths.
            for (size_t i = 0; i < nodes[root].count; i++)
                nodes[root].bytes += nodes[kids[nodes[root].kids + i]].bytes;
        }
        Draw(root);
    }
    int status = OutFileClose(&file, drawn, outOfMemory ? -1 : 0);
    Forget();
    return status;
}
