// Build-time generator: turns messages.tsv (value TAB symbol TAB text) into
// the initialiser lines of the message table that msg_posix.cpp compiles in.
//
//   gen_messages <messages.tsv> <messages_table.inc>
//
// The table is written sorted by value so the lookup can bisect it; a
// malformed line or a value given twice stops the build with the line named.
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
    std::string text;
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

static int ParseLine(const std::string& line, long lineNo, std::vector<Row>* rows)
{
    size_t tab1 = line.find('\t');
    size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos)
        return Fail(lineNo, "expected value, symbol and text separated by tabs");
    if (line.find('\t', tab2 + 1) != std::string::npos)
        return Fail(lineNo, "more than three fields");
    Row row;
    row.line = lineNo;
    if (!ParseId(line.substr(0, tab1), &row.id))
        return Fail(lineNo, "value is not 0x followed by one to eight hex digits");
    if (tab2 == tab1 + 1)
        return Fail(lineNo, "empty symbol");
    row.text = line.substr(tab2 + 1);
    if (row.text.empty())
        return Fail(lineNo, "empty message text");
    for (size_t i = 0; i < row.text.size(); i++) {
        if (row.text[i] == '\0')
            return Fail(lineNo, "NUL byte in message text");
    }
    rows->push_back(row);
    return 1;
}

static int ReadRows(FILE* in, std::vector<Row>* rows)
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
        if (!line.empty() && line[0] != '#' && !ParseLine(line, lineNo, rows))
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

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: gen_messages <messages.tsv> <output>\n");
        return 2;
    }
    inputName = argv[1];
    FILE* in = fopen(argv[1], "rb");
    if (in == NULL) {
        fprintf(stderr, "%s: cannot open: %s\n", argv[1], strerror(errno));
        return 1;
    }
    std::vector<Row> rows;
    int ok = ReadRows(in, &rows);
    fclose(in);
    if (!ok)
        return 1;
    if (rows.empty()) {
        fprintf(stderr, "%s: no messages\n", argv[1]);
        return 1;
    }

    std::stable_sort(rows.begin(), rows.end(), ById);
    for (size_t i = 1; i < rows.size(); i++) {
        if (rows[i].id == rows[i - 1].id) {
            char msg[96];
            snprintf(msg, sizeof msg, "value 0x%08X already given on line %ld",
                     (unsigned)rows[i].id, rows[i - 1].line);
            Fail(rows[i].line, msg);
            return 1;
        }
    }

    // Write beside the target and rename, so an interrupted run never leaves
    // a half table that a later build would take as up to date.
    std::string tmp = std::string(argv[2]) + ".tmp";
    FILE* out = fopen(tmp.c_str(), "wb");
    if (out == NULL) {
        fprintf(stderr, "%s: cannot create: %s\n", tmp.c_str(), strerror(errno));
        return 1;
    }
    fprintf(out, "// Generated from %s by gen_messages; do not edit.\n",
            strrchr(argv[1], '/') ? strrchr(argv[1], '/') + 1 : argv[1]);
    for (size_t i = 0; i < rows.size(); i++) {
        fprintf(out, "{0x%08Xu, ", (unsigned)rows[i].id);
        WriteLiteral(out, rows[i].text);
        fputs("},\n", out);
    }
    int bad = ferror(out);
    if (fclose(out) != 0)
        bad = 1;
    if (bad || rename(tmp.c_str(), argv[2]) != 0) {
        fprintf(stderr, "%s: cannot write: %s\n", argv[2], strerror(errno));
        remove(tmp.c_str());
        return 1;
    }
    return 0;
}
