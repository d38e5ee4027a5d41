// The shared renderers, as a host sees them: documents in, rows of the 384
// dots out, bounds and refusals named.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "render/render.h"

namespace {

constexpr double kDot = 72.0 / 203.0;  // points a dot
constexpr double kMm = 72.0 / 25.4;

struct Rendered {
    render::Result result;
    std::vector<std::vector<std::uint8_t>> pages;  // grey, 384 a row
};

Rendered Render(const std::string& bytes, render::Format format, const render::Options& options = {},
                std::function<bool()> stop = {}) {
    Rendered out;
    render::Sink sink;
    sink.stop = std::move(stop);
    sink.startPage = [&](bool) {
        out.pages.emplace_back();
        return true;
    };
    sink.rows = [&](const std::uint8_t* rows, int count) {
        out.pages.back().insert(out.pages.back().end(), rows, rows + static_cast<size_t>(count) * render::kDots);
        return true;
    };
    sink.endPage = [] { return true; };
    out.result = render::RenderBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), format,
                                     options, sink, "the document");
    return out;
}

Rendered Text(const std::string& text, const render::Options& options = {}) {
    return Render(text, render::Format::kText, options);
}

int Rows(const std::vector<std::uint8_t>& page) { return static_cast<int>(page.size() / render::kDots); }

bool Black(const std::vector<std::uint8_t>& page, int x, int y) {
    return page[static_cast<size_t>(y) * render::kDots + x] < 128;
}

// The smallest box holding every black dot: left, top, right, bottom
// (inclusive); left is -1 on a white page.
struct Box {
    int left = -1, top = -1, right = -1, bottom = -1;
};

Box Ink(const std::vector<std::uint8_t>& page) {
    Box box;
    for (int y = 0; y < Rows(page); ++y)
        for (int x = 0; x < render::kDots; ++x) {
            if (!Black(page, x, y)) continue;
            if (box.left < 0 || x < box.left) box.left = x;
            if (box.top < 0) box.top = y;
            box.right = std::max(box.right, x);
            box.bottom = y;
        }
    return box;
}

// The widths of the black runs along one row.
std::vector<int> Runs(const std::vector<std::uint8_t>& page, int y) {
    std::vector<int> runs;
    for (int x = 0; x < render::kDots;) {
        if (!Black(page, x, y)) {
            ++x;
            continue;
        }
        int end = x;
        while (end < render::kDots && Black(page, end, y)) ++end;
        runs.push_back(end - x);
        x = end;
    }
    return runs;
}

// A PDF of pages of the given size in points, each drawn by its content
// stream; `trailer` adds entries to the trailer. Every page has the
// `resources`; `extras` are objects numbered from after the last page's
// content (5 for one page).
std::string Pdf(const std::vector<std::string>& contents, double width, double height,
                const std::string& trailer = "", const std::string& resources = "",
                const std::vector<std::string>& extras = {}) {
    std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
    std::string kids;
    char box[128];
    std::snprintf(box, sizeof box, "[0 0 %.4f %.4f]", width, height);
    for (const std::string& content : contents) {
        const size_t n = objects.size() + 1;
        kids += std::to_string(n) + " 0 R ";
        objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox " + std::string(box) + " /Resources << " +
                          resources + " >> /Contents " + std::to_string(n + 1) + " 0 R >>");
        objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream");
    }
    objects.insert(objects.end(), extras.begin(), extras.end());
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(contents.size()) + " >>";
    std::string pdf = "%PDF-1.4\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t offset : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        pdf += line;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R " + trailer +
           " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

std::string Rect(double x, double y, double w, double h) {
    char text[128];
    std::snprintf(text, sizeof text, "0 g %.4f %.4f %.4f %.4f re f\n", x, y, w, h);
    return text;
}

// A 58 mm page prints its 40th dot as the printer's first.
double DotX(int dot) { return (dot + 40) * kDot; }

TEST(TextRender, ColumnsFillTheDotsAndOneMoreWraps) {
    struct {
        int columns, cell;
    } cases[] = {{32, 12}, {42, 9}, {48, 8}};
    for (const auto& c : cases) {
        render::Options options;
        options.columns = c.columns;
        std::string line;
        for (int i = 0; i < c.columns; ++i) line += "\u2588";
        const Rendered one = Text(line + "\n", options);
        ASSERT_TRUE(one.result.ok) << c.columns << ": " << one.result.error;
        ASSERT_EQ(one.pages.size(), 1u) << c.columns;
        EXPECT_EQ(Rows(one.pages[0]), 2 * c.cell) << c.columns;
        const int margin = (render::kDots - c.columns * c.cell) / 2;
        const Box ink = Ink(one.pages[0]);
        EXPECT_LE(ink.left, margin + 1) << c.columns;
        EXPECT_GE(ink.right, render::kDots - margin - 2) << c.columns;
        const Rendered two = Text(line + "\u2588\n", options);
        ASSERT_TRUE(two.result.ok) << c.columns;
        EXPECT_EQ(Rows(two.pages[0]), 4 * c.cell) << c.columns << ": one more character wraps";
        render::Options cut = options;
        cut.wrap = false;
        EXPECT_EQ(Rows(Text(line + "\u2588\n", cut).pages[0]), 2 * c.cell) << c.columns << ": cut";
    }
}

// Each character set's byte prints as UTF-8's character does.
TEST(TextRender, CharacterSetsMapToTheirGlyphs) {
    struct {
        const char* charset;
        const char* bytes;
        const char* utf8;
    } cases[] = {
        {"windows-1252", "\x80", "\u20ac"}, {"ISO-8859-1", "\xe9", "\u00e9"}, {"ISO-8859-15", "\xa4", "\u20ac"},
        {"CP437", "\x82", "\u00e9"},        {"CP850", "\x9b", "\u00f8"},     {"CP858", "\xd5", "\u20ac"},
        {"CP866", "\x80", "\u0410"},        {"windows-1251", "\xc0", "\u0410"},
    };
    for (const auto& c : cases) {
        render::Options options;
        options.charset = c.charset;
        const Rendered got = Text(std::string("x") + c.bytes + "x", options);
        const Rendered want = Text(std::string("x") + c.utf8 + "x");
        ASSERT_TRUE(got.result.ok) << c.charset << ": " << got.result.error;
        EXPECT_EQ(got.pages, want.pages) << c.charset;
        EXPECT_NE(got.pages, Text("x?x").pages) << c.charset;
    }
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(TextRender, LayoutAndHostileInput) {
    const Rendered replacement = Text("a\ufffdb");
    struct {
        const char* name;
        std::string text;
        std::string same;  // renders as this, when not empty
        int pages;
        int lines;
    } cases[] = {
        {"invalid UTF-8 prints U+FFFD", "a\xff" "b", "a\ufffdb", 1, 1},
        {"a sequence cut at the end", "a\xe2\x82", "a\ufffd", 1, 1},
        {"NUL bytes print nothing", std::string("a\0\0b", 4), "ab", 1, 1},
        {"CR LF ends a line once", "a\r\nb\r\n", "a\nb\n", 1, 2},
        {"tabs stop every 8 columns", "\tx\n", "        x", 1, 1},
        {"trailing blank lines are trimmed", "a\n\n\n   \n", "a", 1, 1},
        {"blank lines between are kept", "a\n\nb", "", 1, 3},
        {"form feed starts a page", "a\fb\n", "", 2, 1},
        {"a character no font has prints a box", "\U0010FFFD", "", 1, 1},
        {"16 wide characters fill a line", Repeat("\u4e2d", 16), "", 1, 1},
        {"the 17th wraps", Repeat("\u4e2d", 17), "", 1, 2},
    };
    for (const auto& c : cases) {
        const Rendered got = Text(c.text);
        ASSERT_TRUE(got.result.ok) << c.name << ": " << got.result.error;
        EXPECT_EQ(static_cast<int>(got.pages.size()), c.pages) << c.name;
        EXPECT_EQ(Rows(got.pages[0]), 24 * c.lines) << c.name;
        if (!c.same.empty()) {
            EXPECT_EQ(got.pages, Text(c.same).pages) << c.name;
        }
    }
    EXPECT_EQ(Text("a\xff" "b").pages, replacement.pages);
}

TEST(TextRender, RefusalsNameTheCause) {
    render::Options fast;
    fast.maxRows = 24 * 1000;
    struct {
        const char* name;
        std::string text;
        render::Options options;
        const char* says;
    } cases[] = {
        {"an empty file", "", {}, "is empty"},
        {"only blank lines", "\n \n\t\n", {}, "no printable text"},
        {"a 10 MB line", std::string(10 << 20, 'M'), {}, "699050 rows"},
        {"a line past a lower bound", std::string(33 * 1000, 'M'), fast, "24000 rows"},
    };
    render::Options bad;
    bad.columns = 40;
    render::Options charset;
    charset.charset = "no-such-charset";
    for (const auto& c : cases) {
        const Rendered got = Text(c.text, c.options);
        EXPECT_FALSE(got.result.ok) << c.name;
        EXPECT_NE(got.result.error.find(c.says), std::string::npos) << c.name << ": " << got.result.error;
    }
    EXPECT_NE(Text("a", bad).result.error.find("32, 42 or 48"), std::string::npos);
    EXPECT_NE(Text("a", charset).result.error.find("no-such-charset"), std::string::npos);
}

// What a text asks for that prints nothing, or prints only in part: each
// case renders as the plain text beside it.
TEST(TextRender, SequencesRangesAndMarksSelectWhatPrints) {
    const std::string full(32, 'M');
    const std::string x8 = "x" + Repeat("\u0301", 8);
    render::Options cut;
    cut.wrap = false;
    render::Options second, firstAndThird, third;
    second.pageRanges = {{2, 2}};
    firstAndThird.pageRanges = {{1, 1}, {3, 3}};
    third.pageRanges = {{3, 3}};
    struct {
        const char* name;
        std::string text;
        render::Options options;
        std::string same;
        long dropped;  // marks the warning counts
    } cases[] = {
        {"ESC @ prints nothing", "a\x1b@b", {}, "ab", 0},
        {"ESC ( B: intermediates and final", "a\x1b(Bb", {}, "ab", 0},
        {"CSI with parameters", "a\x1b[1;31mb\x1b[0m", {}, "ab", 0},
        {"CSI in C1, UTF-8", "a\xc2\x9b" "4mb", {}, "ab", 0},
        {"CSI in C1, ISO-8859-1", "a\x9b" "4mb", [] { render::Options o; o.charset = "ISO-8859-1"; return o; }(),
         "ab", 0},
        {"OSC up to BEL", "a\x1b]0;title\x07" "b", {}, "ab", 0},
        {"OSC up to ESC \\", "a\x1b]8;;http://x/\x1b\\b", {}, "ab", 0},
        {"an unended OSC stops at its line's end", "a\x1b]title\nb", {}, "a\nb", 0},
        {"ESC before a line feed", "a\x1b\nb", {}, "a\nb", 0},
        {"cut: a dropped letter takes its accent", full + "e\u0301\u0301\n", cut, full, 0},
        {"cut: a wide letter that does not fit ends the line", Repeat("M", 31) + "\u4e2dM", cut, Repeat("M", 31), 0},
        {"page-ranges: the second page", "a\fb\fc", second, "b", 0},
        {"page-ranges: two of three", "a\fb\fc\f", firstAndThird, "a\fc", 0},
        {"page-ranges: a blank page counts", "a\f\fc", third, "c", 0},
        {"8 marks a character, the rest dropped", x8 + Repeat("\u0301", 12) + " " + x8, {}, x8 + " " + x8, 12},
    };
    for (const auto& c : cases) {
        long dropped = 0;
        render::Options options = c.options;
        options.warn = [&](const std::string& warning) { dropped = std::stol(warning); };
        const Rendered got = Text(c.text, options);
        ASSERT_TRUE(got.result.ok) << c.name << ": " << got.result.error;
        EXPECT_TRUE(got.pages == Text(c.same).pages) << c.name;
        EXPECT_EQ(dropped, c.dropped) << c.name;
    }
    EXPECT_NE(Text("a\fb", third).result.error.find("page-ranges"), std::string::npos);
}

// More glyphs than the cache keeps: a page after them prints as it does
// alone.
TEST(TextRender, GlyphsOutliveTheirCache) {
    std::string many;
    for (char32_t c = 0x4e00; c < 0x4e00 + 8000; ++c) {
        const std::uint32_t u = c;
        many += static_cast<char>(0xe0 | (u >> 12));
        many += static_cast<char>(0x80 | ((u >> 6) & 0x3f));
        many += static_cast<char>(0x80 | (u & 0x3f));
    }
    const std::string last = "Z\u4e00\u00e9x\u0301";
    const Rendered got = Text(many + "\f" + many.substr(0, 300) + last);
    ASSERT_TRUE(got.result.ok) << got.result.error;
    const Rendered alone = Text(many.substr(0, 300) + last);
    ASSERT_EQ(got.pages.size(), 2u);
    EXPECT_TRUE(got.pages[1] == alone.pages[0]);
}

TEST(PdfRender, PlacesContentOnTheDots) {
    struct {
        const char* name;
        double width, height;  // points
        std::string content;
        Box want;
    } cases[] = {
        // 10 x 5 mm at 15 mm from the left, 20 mm from the top of a 58 x 40 mm page.
        {"a rectangle at known millimetres", 58 * kMm, 40 * kMm, Rect(15 * kMm, 15 * kMm, 10 * kMm, 5 * kMm),
         {80, 160, 159, 199}},
        {"an A6-wide page is fitted to the 384 dots", 105 * kMm, 40 * kMm, Rect(0, 20 * kMm, 105 * kMm, 10 * kMm),
         {0, 37, 383, 72}},
        {"a 58 mm page's margins are the roll's", 58 * kMm, 20 * kMm, Rect(0, 0, 58 * kMm, 20 * kMm),
         {0, 0, 383, 159}},
    };
    for (const auto& c : cases) {
        const Rendered got = Render(Pdf({c.content}, c.width, c.height), render::Format::kPdf);
        ASSERT_TRUE(got.result.ok) << c.name << ": " << got.result.error;
        ASSERT_EQ(got.pages.size(), 1u) << c.name;
        const Box ink = Ink(got.pages[0]);
        EXPECT_NEAR(ink.left, c.want.left, 1) << c.name;
        EXPECT_NEAR(ink.top, c.want.top, 1) << c.name;
        EXPECT_NEAR(ink.right, c.want.right, 1) << c.name;
        EXPECT_NEAR(ink.bottom, c.want.bottom, 1) << c.name;
    }
}

TEST(PdfRender, BarsKeepWholeDots) {
    std::string bars;
    for (int i = 0; i < 40; ++i) bars += Rect(DotX(20 + 8 * i), 10 * kMm, 3 * kDot, 10 * kMm);
    const Rendered got = Render(Pdf({bars}, 58 * kMm, 30 * kMm), render::Format::kPdf);
    ASSERT_TRUE(got.result.ok) << got.result.error;
    const std::vector<int> runs = Runs(got.pages[0], 120);
    EXPECT_EQ(runs, std::vector<int>(40, 3));
    for (std::uint8_t grey : got.pages[0]) ASSERT_TRUE(grey == 0 || grey == 255) << "grey " << int(grey);
}

TEST(PdfRender, RefusesWhatCannotBePrintedWhole) {
    const std::string good = Pdf({Rect(0, 0, 50, 50)}, 58 * kMm, 30 * kMm);
    const std::string encrypt =
        "/Encrypt << /Filter /Standard /V 1 /R 2 /P -4 /O <" + std::string(64, 'A') + "> /U <" +
        std::string(64, 'B') + "> >> /ID [<0123456789ABCDEF0123456789ABCDEF> <0123456789ABCDEF0123456789ABCDEF>]";
    std::vector<std::string> many(10000, "");
    struct {
        const char* name;
        std::string pdf;
        const char* says;
    } cases[] = {
        {"encrypted", Pdf({Rect(0, 0, 50, 50)}, 58 * kMm, 30 * kMm, encrypt), "encrypted"},
        {"truncated in its trailer", good.substr(0, good.size() - 8), "cut short"},
        {"truncated in its body", good.substr(0, good.size() / 2), "cannot be read as a PDF: "},
        {"broken", "%PDF-1.4\nnothing of a PDF here\n", "cannot be read as a PDF: "},
        {"10,000 pages", Pdf(many, 58 * kMm, 10 * kMm), "more than 1000, the limit"},
    };
    for (const auto& c : cases) {
        const Rendered got = Render(c.pdf, render::Format::kPdf);
        EXPECT_FALSE(got.result.ok) << c.name;
        EXPECT_TRUE(got.pages.empty()) << c.name << ": nothing is printed";
        EXPECT_NE(got.result.error.find(c.says), std::string::npos) << c.name << ": " << got.result.error;
    }
}

// Form XObjects `depth` deep, each drawing the next twice (or once, as
// transparency groups): 2^depth rectangles from a few KB.
std::string NestedForms(int depth, bool groups = false) {
    std::vector<std::string> forms;
    for (int i = 0; i < depth; ++i) {
        const bool last = i == depth - 1;
        const std::string body = last ? "0 0 10 10 re f" : groups ? "/F Do" : "/F Do /F Do";
        forms.push_back("<< /Type /XObject /Subtype /Form /BBox [0 0 100 100] " +
                        std::string(groups ? "/Group << /S /Transparency /I true >> " : "") + "/Resources << " +
                        (last ? std::string() : "/XObject << /F " + std::to_string(6 + i) + " 0 R >>") +
                        " >> /Length " + std::to_string(body.size()) + " >>\nstream\n" + body + "\nendstream");
    }
    return Pdf({"/F Do"}, 58 * kMm, 40 * kMm, "", "/XObject << /F 5 0 R >>", forms);
}

// A grey progressive JPEG of the given size whose scan holds almost no
// data: a decoder allocates the whole picture before reading it.
std::string Jpeg(int width, int height) {
    auto be16 = [](int v) { return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; };
    std::string j = "\xFF\xD8";
    j += "\xFF\xDB" + be16(67) + std::string(1, '\0') + std::string(64, '\x01');
    j += "\xFF\xC2" + be16(11) + "\x08" + be16(height) + be16(width) + "\x01\x01\x11" + std::string(1, '\0');
    j += "\xFF\xC4" + be16(20) + std::string(1, '\0') + "\x01" + std::string(15, '\0') + std::string(1, '\0');
    j += "\xFF\xDA" + be16(8) + "\x01\x01" + std::string(4, '\0');
    return j + std::string(64, '\0') + "\xFF\xD9";
}

// The main header of a grey JPEG 2000 codestream, one tile, no data.
std::string Jpx(int width, int height) {
    auto be = [](unsigned long long v, int bytes) {
        std::string out;
        for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
        return out;
    };
    std::string j = "\xFF\x4F\xFF\x51" + be(41, 2) + be(0, 2) + be(width, 4) + be(height, 4) + be(0, 8) +
                    be(width, 4) + be(height, 4) + be(0, 8) + be(1, 2) + "\x07\x01\x01";
    j += "\xFF\x52" + be(12, 2) + be(0, 2) + be(1, 2) + be(0, 2) + "\x04\x04" + be(0, 1) + "\x01";
    j += "\xFF\x5C" + be(4, 2) + "\x40\x48";
    return j + "\xFF\x90" + be(10, 2) + be(0, 6) + "\x00\x01\xFF\x93" + std::string(32, '\0') + "\xFF\xD9";
}

// A page drawing one picture the PDF says is width x height, of JPEG
// (or JPEG 2000) bytes that may say otherwise.
std::string JpegPdf(int width, int height, int jpegWidth, int jpegHeight, bool jpx = false) {
    const std::string data = jpx ? Jpx(jpegWidth, jpegHeight) : Jpeg(jpegWidth, jpegHeight);
    return Pdf({"q 100 0 0 100 20 10 cm /Im Do Q"}, 58 * kMm, 40 * kMm, "", "/XObject << /Im 5 0 R >>",
               {"<< /Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " +
                std::to_string(height) + " /BitsPerComponent 8 " +
                (jpx ? "/Filter /JPXDecode" : "/ColorSpace /DeviceGray /Filter /DCTDecode") + " /Length " +
                std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream"});
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Hostile pages end inside the page, within the document's bounds,
// nothing of them printed.
TEST(PdfRender, HostilePagesAreRefusedWithinBounds) {
    render::Options brief;
    brief.maxSeconds = 1;
    struct {
        const char* name;
        std::string pdf;
        render::Options options;
        const char* says;
        double within;  // seconds
    } cases[] = {
        {"forms nested 40 deep", NestedForms(40), brief, "longer than 1 seconds", 3.0},
        {"a 20,000 x 20,000 JPEG", JpegPdf(20000, 20000, 20000, 20000), {}, "page 1 of the document holds a picture of 20,000 x 20,000 pixels", 2.0},
        {"a JPEG larger than its PDF says", JpegPdf(100, 100, 20000, 20000), {}, "the limit for a picture", 2.0},
        {"a JPEG 2000 larger than its PDF says", JpegPdf(100, 100, 20000, 20000, true), {},
         "the limit for a JPEG 2000 picture", 2.0},
        {"transparency groups nested 40 deep", NestedForms(40, true), {}, "groups deeper than 12", 2.0},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const Rendered got = Render(c.pdf, render::Format::kPdf, c.options);
        EXPECT_LT(Seconds(start), c.within) << c.name;
        EXPECT_FALSE(got.result.ok) << c.name;
        EXPECT_EQ(got.result.rows, 0) << c.name;
        EXPECT_NE(got.result.error.find(c.says), std::string::npos) << c.name << ": " << got.result.error;
    }
    // A picture within the bound prints.
    const Rendered small = Render(JpegPdf(64, 64, 64, 64), render::Format::kPdf);
    EXPECT_TRUE(small.result.ok) << small.result.error;
}

// The host's stop reaches a page that never ends on its own.
TEST(PdfRender, StopsInsideAPage) {
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point asked{};
    const Rendered got = Render(NestedForms(40), render::Format::kPdf, {}, [&] {
        if (Seconds(start) < 0.3) return false;
        if (asked == std::chrono::steady_clock::time_point{}) asked = std::chrono::steady_clock::now();
        return true;
    });
    EXPECT_TRUE(got.result.stopped);
    EXPECT_FALSE(got.result.ok);
    EXPECT_LT(Seconds(asked), 1.0);
}

// print-scaling=auto crops a receipt in a corner of a wide page to its ink
// at the printer's scale; a page inked wider, or print-scaling=fit, is
// fitted whole.
TEST(PdfRender, AutoScalingCropsAReceiptOnAWidePage) {
    const double letterW = 612, letterH = 792;
    render::Options fit;
    fit.scaling = render::Scaling::kFit;
    struct {
        const char* name;
        std::string content;
        render::Options options;
        Box want;
        int rows;
    } cases[] = {
        // 40 x 10 mm at 10 mm from the left and top: 320 x 80 dots, centred.
        {"a receipt in the corner", Rect(10 * kMm, letterH - 20 * kMm, 40 * kMm, 10 * kMm), {}, {32, 0, 351, 79}, 80},
        {"ink wider than the roll", Rect(10 * kMm, letterH - 20 * kMm, 150 * kMm, 10 * kMm), {}, {18, 18, 284, 35},
         497},
        {"fit fits the whole page", Rect(10 * kMm, letterH - 20 * kMm, 40 * kMm, 10 * kMm), fit, {18, 18, 88, 35},
         497},
    };
    for (const auto& c : cases) {
        const Rendered got = Render(Pdf({c.content}, letterW, letterH), render::Format::kPdf, c.options);
        ASSERT_TRUE(got.result.ok) << c.name << ": " << got.result.error;
        ASSERT_EQ(got.pages.size(), 1u) << c.name;
        EXPECT_EQ(Rows(got.pages[0]), c.rows) << c.name;
        const Box ink = Ink(got.pages[0]);
        EXPECT_NEAR(ink.left, c.want.left, 1) << c.name;
        EXPECT_NEAR(ink.top, c.want.top, 1) << c.name;
        EXPECT_NEAR(ink.right, c.want.right, 1) << c.name;
        EXPECT_NEAR(ink.bottom, c.want.bottom, 1) << c.name;
    }
}

}  // namespace
