// Build-time generator: turns messages.tsv (value TAB symbol TAB text) and
// hresult-win32-names.tsv (value TAB symbol) into the initialiser lines of
// the message table that msg_posix.cpp compiles in and of the name table
// that names.cpp compiles in on every platform.
//
//   gen_messages <messages.tsv> <names.tsv> <messages_table.inc> <names_table.inc>
//
// Both tables are written sorted by value so the lookups can bisect them
// (names of one value in the order the files give them, messages.tsv
// first); a malformed line, a value given a second text or a name given
// twice (in any case, since names are matched without regard to case)
// stops the build with the line named.
#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

struct Row {
    uint32_t id;
    std::string name;
    std::string text;  // empty in the names file
    const char* file;
    long line;
};

static const char* inputName = "";

static int Fail(long line, const char* what)
{
    fprintf(stderr, "%s:%ld: %s\n", inputName, line, what);
    return 0;
}

// "0x" and one to eight hex digits, nothing else.
static int ParseId(const std::string& field, uint32_t* id)
{
    if (field.size() < 3 || field.size() > 10 || field[0] != '0' ||
        (field[1] != 'x' && field[1] != 'X'))
        return 0;
    for (size_t i = 2; i < field.size(); i++) {
        if (!isxdigit((unsigned char)field[i]))
            return 0;
    }
    *id = (uint32_t)strtoul(field.c_str() + 2, NULL, 16);
    return 1;
}

// A symbol is a C identifier: it goes into the program as it stands and is
// matched against what people type.
static int ValidSymbol(const std::string& s)
{
    if (s.empty() || isdigit((unsigned char)s[0]))
        return 0;
    for (size_t i = 0; i < s.size(); i++) {
        if (!isalnum((unsigned char)s[i]) && s[i] != '_')
            return 0;
    }
    return 1;
}

// One line of a table with `fields` fields: value and symbol, then the text
// when there are three.
static int ParseLine(const std::string& line, long lineNo, int fields, std::vector<Row>* rows)
{
    size_t tab1 = line.find('\t');
    size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    if (fields == 2) {
        if (tab1 == std::string::npos)
            return Fail(lineNo, "expected value and symbol separated by a tab");
        if (tab2 != std::string::npos)
            return Fail(lineNo, "more than two fields");
        tab2 = line.size();
    } else {
        if (tab2 == std::string::npos)
            return Fail(lineNo, "expected value, symbol and text separated by tabs");
        if (line.find('\t', tab2 + 1) != std::string::npos)
            return Fail(lineNo, "more than three fields");
    }
    Row row;
    row.file = inputName;
    row.line = lineNo;
    if (!ParseId(line.substr(0, tab1), &row.id))
        return Fail(lineNo, "value is not 0x followed by one to eight hex digits");
    row.name = line.substr(tab1 + 1, tab2 - tab1 - 1);
    if (!ValidSymbol(row.name))
        return Fail(lineNo, "symbol is not a C identifier");
    if (fields == 3) {
        row.text = line.substr(tab2 + 1);
        if (row.text.empty())
            return Fail(lineNo, "empty message text");
        for (size_t i = 0; i < row.text.size(); i++) {
            if (row.text[i] == '\0')
                return Fail(lineNo, "NUL byte in message text");
        }
    }
    rows->push_back(row);
    return 1;
}

static int ReadRows(FILE* in, int fields, std::vector<Row>* rows)
{
    std::string line;
    long lineNo = 0;
    int c;
    int more = 1;
    while (more) {
        c = getc(in);
        if (c != EOF && c != '\n') {
            line.push_back((char)c);
            continue;
        }
        more = c != EOF;
        if (c == EOF && line.empty())
            break;
        lineNo++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] != '#' && !ParseLine(line, lineNo, fields, rows))
            return 0;
        line.clear();
    }
    if (ferror(in))
        return Fail(lineNo, "read error");
    return 1;
}

// Octal escapes for everything outside printable ASCII, and for '?' so no
// sequence of the text can be read as a trigraph.
static void WriteLiteral(FILE* out, const std::string& s)
{
    putc('"', out);
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = (unsigned char)s[i];
        if (c == '"' || c == '\\')
            fprintf(out, "\\%c", c);
        else if (c < 0x20 || c >= 0x7F || c == '?')
            fprintf(out, "\\%03o", c);
        else
            putc(c, out);
    }
    putc('"', out);
}

static bool ById(const Row& a, const Row& b)
{
    return a.id < b.id;
}

static std::string Folded(const std::string& s)
{
    std::string f = s;
    for (size_t i = 0; i < f.size(); i++)
        f[i] = (char)toupper((unsigned char)f[i]);
    return f;
}

// Reads one table into `rows`; 0 after saying what went wrong.
static int ReadTable(const char* path, int fields, std::vector<Row>* rows)
{
    inputName = path;
    FILE* in = fopen(path, "rb");
    if (in == NULL) {
        fprintf(stderr, "%s: cannot open: %s\n", path, strerror(errno));
        return 0;
    }
    size_t before = rows->size();
    int ok = ReadRows(in, fields, rows);
    fclose(in);
    if (ok && rows->size() == before) {
        fprintf(stderr, "%s: no entries\n", path);
        return 0;
    }
    return ok;
}

// The text table keeps one text per value; the name table one value per
// name, whatever its case.
static int CheckUnique(std::vector<Row> rows)
{
    for (size_t i = 1; i < rows.size(); i++) {
        if (rows[i].id == rows[i - 1].id && !rows[i].text.empty() && !rows[i - 1].text.empty()) {
            fprintf(stderr, "%s:%ld: value 0x%08X already given on line %ld\n", rows[i].file,
                    rows[i].line, (unsigned)rows[i].id, rows[i - 1].line);
            return 0;
        }
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row& a, const Row& b) { return Folded(a.name) < Folded(b.name); });
    for (size_t i = 1; i < rows.size(); i++) {
        if (Folded(rows[i].name) == Folded(rows[i - 1].name)) {
            fprintf(stderr, "%s:%ld: symbol %s already given in %s:%ld\n", rows[i].file,
                    rows[i].line, rows[i].name.c_str(), rows[i - 1].file, rows[i - 1].line);
            return 0;
        }
    }
    return 1;
}

// Writes beside the target and renames, so an interrupted run never leaves
// a half table that a later build would take as up to date. `names` picks
// the symbol column, else the text of the rows that have one.
static int WriteTable(const char* path, const std::vector<Row>& rows, int names)
{
    std::string tmp = std::string(path) + ".tmp";
    FILE* out = fopen(tmp.c_str(), "wb");
    if (out == NULL) {
        fprintf(stderr, "%s: cannot create: %s\n", tmp.c_str(), strerror(errno));
        return 0;
    }
    fprintf(out, "// Generated from the whatcode tables by gen_messages; do not edit.\n");
    for (size_t i = 0; i < rows.size(); i++) {
        if (!names && rows[i].text.empty())
            continue;
        fprintf(out, "{0x%08Xu, ", (unsigned)rows[i].id);
        WriteLiteral(out, names ? rows[i].name : rows[i].text);
        fputs("},\n", out);
    }
    int bad = ferror(out);
    if (fclose(out) != 0)
        bad = 1;
    if (bad || rename(tmp.c_str(), path) != 0) {
        fprintf(stderr, "%s: cannot write: %s\n", path, strerror(errno));
        remove(tmp.c_str());
        return 0;
    }
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: gen_messages <messages.tsv> <names.tsv> <messages.inc> <names.inc>\n");
        return 2;
    }
    std::vector<Row> rows;
    if (!ReadTable(argv[1], 3, &rows) || !ReadTable(argv[2], 2, &rows))
        return 1;
    std::stable_sort(rows.begin(), rows.end(), ById);
    if (!CheckUnique(rows))
        return 1;
    if (!WriteTable(argv[3], rows, 0) || !WriteTable(argv[4], rows, 1))
        return 1;
    return 0;
}
