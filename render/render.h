// The document renderers the hosts share: a PDF or a plain-text document
// becomes pages of 8-bit grey rows (0 black, 255 white) at 203 dpi across
// the printer's 384 dots, handed to the host a band of rows at a time.
// Nothing here knows how the host got the document or where rows go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace render {

constexpr int kDots = 384;
constexpr double kDpi = 203.0;

enum class Format { kPdf, kText };

// print-scaling: how a PDF page's width meets the 384 dots. A page 58 mm
// wide matches the roll: kAuto prints it as kNone does, others as kFit.
enum class Scaling { kAuto, kFit, kFill, kNone };

// print-content-optimize: kPhoto leaves grey for the host to dither; the
// rest are thresholded here, so bars keep whole dots.
enum class ContentOptimize { kAuto, kText, kGraphics, kPhoto };

struct Options {
    // Text.
    int columns = 32;             // 32, 42 or 48: 12-, 9- or 8-dot cells
    bool wrap = true;             // false: a long line is cut at the last column
    std::string charset = "utf-8";  // any name iconv knows
    std::string font = "DejaVu Sans Mono";  // a fontconfig pattern
    // PDF.
    Scaling scaling = Scaling::kAuto;
    ContentOptimize optimize = ContentOptimize::kAuto;
    int threshold = 128;  // grey below it is black
    std::vector<std::pair<int, int>> pageRanges;  // page-ranges, first to last from 1; empty: every page
    // Bounds on one document.
    int maxPages = 1000;
    long maxRows = 699050;  // 268,435,456 dots, the hosts' bound on a document
    int maxSeconds = 120;
    // Told what was left out of a document that still prints (text: the
    // combining marks past those a character carries); may be null.
    std::function<void(const std::string& warning)> warn;
};

// Where the rows go. StartPage says whether the page's rows are already
// black and white (0 or 255 only). Rows: `count` rows of kDots bytes. Any
// call returning false stops the document (a cancel, or the host's own
// failure), and the result says "stopped". A document that fails within a
// page ends there: the page gets no endPage. `stop`, when set, is asked
// while a page renders, inside it too (every 20 ms at most): true stops
// the document as a false return does.
struct Sink {
    std::function<bool(bool bilevel)> startPage;
    std::function<bool(const std::uint8_t* rows, int count)> rows;
    std::function<bool()> endPage;
    std::function<bool()> stop;
};

struct Result {
    bool ok = false;
    bool stopped = false;  // the sink asked to stop
    int pages = 0;
    long rows = 0;
    std::string error;  // on failure, a sentence naming the cause or the bound
};

// The document's format from its first bytes: a PDF starts with "%PDF-";
// anything else is text.
Format Detect(const std::uint8_t* data, std::size_t size);

// Whether iconv knows the character set (for a host to refuse a bad option
// early).
bool KnownCharset(const std::string& charset);

// Renders a document held in memory, or a file (a spooled job). `name`
// goes into messages.
Result RenderBytes(const std::uint8_t* data, std::size_t size, Format format, const Options& options,
                   const Sink& sink, const std::string& name);
Result RenderFile(const std::string& path, Format format, const Options& options, const Sink& sink);

}  // namespace render
