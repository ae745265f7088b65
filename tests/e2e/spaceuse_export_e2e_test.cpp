// spaceuse end to end, what it writes beside the report: the export read
// back by the disk-usage tools that read that format (ncdu, gdu), and the
// treemap checked as XML, measured, and rendered by a real browser.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <regex>

#ifdef E2E_HAVE_PNG
#include <png.h>
#endif

#include "spaceuse_e2e.h"

namespace {

// Runs a peer through the shell with both streams kept; "" when it is not
// installed (the test then fails: scripts/install-deps installs them all).
ProcResult RunPeer(const std::string& cmd, const std::string& scratch)
{
    std::string out = scratch + ".peer";
    int st = system((cmd + " >'" + out + "' 2>&1 </dev/null").c_str());
    ProcResult r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = ReadAll(out);
    unlink(out.c_str());
    return r;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A tree of ASCII names (Windows runs too), with sizes far apart.
void MakeSizedTree(const std::string& root)
{
    const std::vector<std::pair<std::string, uint64_t>> dirs = {
        {"alpha", 900000}, {"beta", 420000}, {"gamma", 130000}, {"delta", 40000}};
    for (const auto& d : dirs) {
        MakeDir(root + "/" + d.first);
        MakeFile(root + "/" + d.first + "/data", d.second);
        MakeDir(root + "/" + d.first + "/inner");
        MakeFile(root + "/" + d.first + "/inner/more", d.second / 3);
    }
    MakeFile(root + "/loose", 77777);
}

}  // namespace

// The export while the scan runs: ncdu reads it and writes it again, and
// gdu's figures for the first level are the report's (gdu counts every
// directory as 4096 bytes itself, so the clusters are made that size: a
// directory's line in the report is what it holds, its share of the total
// that and its own cluster).
TEST_F(SpaceuseTest, ExportIsReadByNcduAndGdu)
{
    std::string tree = root + "/tree";
    MakeDir(tree);
    MakeSizedTree(tree);
    std::string file = root + "/scan.json";
    ProcResult r = Report({Sw("f4096"), Sw("c"), "--export", ToolPathOf(file), ToolPathOf(tree)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Exists(file));
    EXPECT_FALSE(Exists(file + ".part"));
    std::map<std::string, UsageLine> subs = SubdirLines();
    ASSERT_EQ(subs.size(), 4u) << r.out;

    // ncdu ends with 0 even where it finds a file broken: what it says
    // tells.
    ProcResult ncdu = RunPeer("ncdu -0 -f '" + file + "' -o '" + root + "/copy.json'", root);
    EXPECT_EQ(ncdu.status, 0);
    EXPECT_EQ(ncdu.out, "");
    EXPECT_NE(ReadAll(root + "/copy.json").find("\"name\":\"more\""), std::string::npos);

    ProcResult gdu = RunPeer("gdu -f '" + file + "' -n -p -c --no-prefix", root);
    ASSERT_EQ(gdu.status, 0) << gdu.out;
    std::map<std::string, uint64_t> seen;
    std::regex line("^ *([0-9]+) /?(.*)$");
    size_t start = 0;
    for (size_t nl; (nl = gdu.out.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::smatch m;
        std::string l = gdu.out.substr(start, nl - start);
        if (std::regex_match(l, m, line))
            seen[m[2]] = strtoull(m[1].str().c_str(), nullptr, 10);
    }
    ASSERT_EQ(seen.size(), 5u) << gdu.out;
    // Where directories take no cluster (NTFS) gdu's 4096 bytes for each
    // below are on top of the line, else only the one for itself.
    for (const auto& s : subs) {
        uint64_t dirs = dirCluster ? 1 : s.second.dirs + 1;
        EXPECT_EQ(seen[s.first], (s.second.usage + dirs) * 4096) << s.first << "\n" << gdu.out;
    }
    EXPECT_EQ(seen["loose"], ClustersOf(77777, 4096) * 4096);

    // Several paths: one export, its root holding each path.
    r = Report({Sw("s"), "--export", ToolPathOf(file), ToolPathOf(tree + "/alpha"),
                ToolPathOf(tree + "/beta")});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string json = ReadAll(file);
    EXPECT_EQ(json.find("[{\"name\":\"spaceuse: 2 paths\""), json.find('\n') + 1) << json;
    std::string beta = ToolPathOf(tree + "/beta"), quoted;
    for (char c : beta)
        quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
    EXPECT_NE(json.find("{\"name\":\"" + quoted + "\""), std::string::npos) << json;
    ncdu = RunPeer("ncdu -0 -f '" + file + "' -o '" + root + "/copy.json'", root);
    EXPECT_EQ(ncdu.status, 0);
    EXPECT_EQ(ncdu.out, "");

    // Where it cannot be written nothing is scanned, and no file is left
    // under the name asked for.
    std::string nowhere = root + "/missing/scan.json";
    r = Report({"--export", ToolPathOf(nowhere), ToolPathOf(tree)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Error: cannot write the export: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
    r = Report({"--export"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: --export needs a file name\n");
}

// What only POSIX names and links give: the name's bytes kept in the
// export (JSON-escaped) while the report shows its control characters
// escaped; hard links marked; a full device leaves no file.
TEST_F(SpaceuseTest, ExportKeepsTheBytesOfNamesAndMarksHardLinks)
{
    if (UnderLauncher())
        GTEST_SKIP() << "POSIX names and links";
    std::string tree = root + "/tree";
    MakeDir(tree);
    MakeDir(tree + "/two\nlines\t\x01");
    MakeFile(tree + "/two\nlines\t\x01/caf\xC3\xA9 \"q\" \\ \xFF", 10);
    MakeFile(tree + "/first", 5000);
    ASSERT_EQ(link((tree + "/first").c_str(), (tree + "/second").c_str()), 0);
    std::string file = root + "/scan.json";
    ProcResult r = Report({Sw("r"), "--export", file, tree});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(Find(lines[Find(kDashLine) + 1].substr(0, 32) + "two\\nlines\\t\\001"), 0) << r.out;
    std::string json = ReadAll(file);
    EXPECT_NE(json.find("{\"name\":\"two\\nlines\\t\\u0001\""), std::string::npos) << json;
    EXPECT_NE(json.find("{\"name\":\"caf\xC3\xA9 \\\"q\\\" \\\\ \xFF\",\"asize\":10,"),
              std::string::npos)
        << json;
    struct stat st;
    ASSERT_EQ(lstat((tree + "/first").c_str(), &st), 0);
    std::string marks = ",\"ino\":" + std::to_string(st.st_ino) + ",\"nlink\":2,\"hlnkc\":true}";
    EXPECT_NE(json.find("{\"name\":\"first\",\"asize\":5000,"), std::string::npos);
    EXPECT_NE(json.find(marks), std::string::npos) << json;
    ProcResult ncdu = RunPeer("ncdu -0 -f '" + file + "' -o /dev/null", root);
    EXPECT_EQ(ncdu.status, 0);
    EXPECT_EQ(ncdu.out, "");

    // A device is written as it is, never replaced by a file.
    r = Report({"--export", "/dev/full", "--treemap", "/dev/null", tree});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: cannot write the export: /dev/full: " + std::string(strerror(ENOSPC)) +
                         "\n");
    for (const char* dev : {"/dev/full", "/dev/null"}) {
        EXPECT_EQ(lstat(dev, &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << dev;
    }
    EXPECT_FALSE(Exists("/dev/full.part"));
}

namespace {

struct SvgRect {
    double x, y, w, h;
    uint64_t bytes;
};

// The rectangles of the first level, in the order they are drawn.
std::vector<SvgRect> FirstLevel(const std::string& svg)
{
    std::vector<SvgRect> rects;
    std::regex rect("<rect class=\"d1\" x=\"([0-9.]+)\" y=\"([0-9.]+)\" width=\"([0-9.]+)\" "
                    "height=\"([0-9.]+)\"[^>]* data-bytes=\"([0-9]+)\"");
    for (std::sregex_iterator it(svg.begin(), svg.end(), rect), end; it != end; ++it) {
        const std::smatch& m = *it;
        rects.push_back({atof(m[1].str().c_str()), atof(m[2].str().c_str()),
                         atof(m[3].str().c_str()), atof(m[4].str().c_str()),
                         strtoull(m[5].str().c_str(), nullptr, 10)});
    }
    return rects;
}

// Share of pixels that are not the page's background, and the number of
// colours, in a PNG screenshot. False when it cannot be read.
bool Inspect(const std::string& png, double* inked, size_t* colours)
{
#ifdef E2E_HAVE_PNG
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, png.c_str()))
        return false;
    image.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> px(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, px.data(), 0, nullptr))
        return false;
    std::map<uint32_t, size_t> count;
    for (size_t i = 0; i + 2 < px.size(); i += 3)
        count[(uint32_t)px[i] << 16 | (uint32_t)px[i + 1] << 8 | px[i + 2]]++;
    size_t most = 0;
    for (const auto& c : count)
        most = std::max(most, c.second);
    *inked = 1.0 - (double)most / (double)(px.size() / 3);
    *colours = count.size();
    return true;
#else
    (void)png;
    (void)inked;
    (void)colours;
    return false;
#endif
}

}  // namespace

// The treemap: well-formed XML, the first level's areas in proportion to
// their usage, names drawn as text whatever they spell, and a picture when
// a browser opens it.
TEST_F(SpaceuseTest, TreemapIsWellFormedProportionalAndRenders)
{
    if (UnderLauncher())
        GTEST_SKIP() << "the picture is the same on every platform";
    std::string tree = root + "/tree";
    MakeDir(tree);
    MakeSizedTree(tree);
    // A path that spells a script across two directory names, and a name
    // that is not UTF-8.
    MakeDir(tree + "/x<script>alert(1)<");
    MakeDir(tree + "/x<script>alert(1)</script>");
    MakeFile(tree + "/x<script>alert(1)</script>/f", 300000);
    MakeDir(tree + "/bad\xFF\xC3name");
    MakeFile(tree + "/bad\xFF\xC3name/f", 200000);
    std::string svgFile = root + "/map.svg";
    ProcResult r = Report({Sw("c"), "--treemap", svgFile, tree});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Exists(svgFile + ".part"));
    std::string svg = ReadAll(svgFile);
    ASSERT_FALSE(svg.empty());

    ProcResult lint = RunPeer("xmllint --noout '" + svgFile + "'", root);
    EXPECT_EQ(lint.status, 0) << lint.out;
    EXPECT_EQ(svg.find("<script"), std::string::npos);
    EXPECT_NE(svg.find("x&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(svg.find("bad\xEF\xBF\xBD\xEF\xBF\xBDname"), std::string::npos);
    EXPECT_EQ(svg.find("\xFF"), std::string::npos);

    // Every first-level directory, each area in proportion to its line.
    std::map<std::string, UsageLine> subs = SubdirLines();
    std::vector<SvgRect> rects = FirstLevel(svg);
    ASSERT_EQ(rects.size(), subs.size()) << svg;
    double perByte = rects[0].w * rects[0].h / (double)rects[0].bytes;
    uint64_t cs = vol.clusterSize;
    std::multiset<uint64_t> want, got;
    for (const auto& s : subs)
        want.insert(s.second.usage * cs);
    for (const SvgRect& rc : rects) {
        got.insert(rc.bytes);
        EXPECT_NEAR(rc.w * rc.h / (double)rc.bytes, perByte, perByte * 0.01) << rc.bytes;
        EXPECT_GE(rc.x, 0);
        EXPECT_LE(rc.x + rc.w, 1280.01);
    }
    EXPECT_EQ(got, want);

    // Rendered by a real browser, headless, with no network and a profile
    // of its own: the screenshot shows the rectangles.
    std::string profile = root + "/profile", shot = root + "/shot.png";
    MakeDir(profile);
    std::string cmd = "timeout 120 chromium --headless --no-sandbox --disable-gpu --no-first-run "
                      "--disable-background-networking --disable-component-update --disable-sync "
                      "--disable-quic --user-data-dir='" + profile + "' --window-size=1280,824 "
                      "--screenshot='" + shot + "' 'file://" + svgFile + "'";
    ProcResult chromium = RunPeer(cmd, root);
    ASSERT_EQ(chromium.status, 0) << chromium.out;
    double inked = 0;
    size_t colours = 0;
    ASSERT_TRUE(Inspect(shot, &inked, &colours)) << "no PNG to read (built without libpng?)";
    EXPECT_GT(inked, 0.5) << "mostly blank";
    EXPECT_GT(colours, 6u);
}
