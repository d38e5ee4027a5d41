// rasterprint: prints images, PDF and plain text through the plug-in module,
// by way of the simulated print pipeline, to a file, a printer device or
// standard output.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "standin/host/print_job.h"
#include "tools/common/image.h"
#include "tools/common/output_file.h"
#include "tools/common/picture_writer.h"
#include "tools/common/printer_stream.h"
#ifdef OEMDLL_RENDER
#include "render/render.h"
#endif

namespace {

constexpr int kUsageError = 2;
constexpr int kFailure = 1;
constexpr long kPrinterDots = 384;

const char kUsage[] =
    "usage: rasterprint [options] FILE...\n"
    "Prints PNG, PBM, PGM or PPM images, PDF and plain text (\"-\" is standard input)\n"
    "through the plug-in as one document, one page per image or PDF page.\n"
    "  -o FILE             write the printer stream to FILE (a file or a printer\n"
    "                      device; \"-\" or none: standard output, never a terminal)\n"
    "  --preview FILE.png  also write what the printer would print (.png, or .pbm)\n"
    "  --fit               scale each page to the printer's 384 dots; wider pages\n"
    "                      are otherwise cut to their left 384\n"
    "  --threshold N       black below grey level N (0-256) instead of dithering\n"
    "  --path capture|filter\n"
    "                      hand bands to ImageProcessing (default) or FilterGraphics\n"
    "  --band-rows N       rows per band (default 256)\n"
    "  --depth 1|8|24      the host's rendering depth (default 1)\n"
    "  --module PATH       the plug-in module (default: the one built with this tool)\n"
    "  --gpd FILE          run the job as this GPD makes Unidrv run it (its page\n"
    "                      size, depth and commands; --depth and --path are then its)\n"
    "  --paper NAME        the GPD's paper size option (default: its default)\n"
#ifdef OEMDLL_RENDER
    "  --format auto|image|pdf|text\n"
    "                      what the files are (default: told by their first bytes)\n"
    "  --columns 32|42|48  characters a line of text (default 32)\n"
    "  --charset NAME      the text's character set, as iconv names it (default utf-8)\n"
    "  --cut               cut long lines of text at the last column instead of wrapping\n"
    "  --scaling auto|fit|none\n"
    "                      a PDF page's width: fitted to the 384 dots, or at 203 dpi\n"
    "                      centred on them; auto (default) prints 58 mm pages at 203\n"
    "                      dpi, a wider page's ink at 203 dpi when it is at most 48 mm\n"
    "                      wide, and fits the rest\n"
    "  --optimize auto|text|graphics|photo\n"
    "                      photo dithers a PDF's grey; the others threshold it\n"
#endif
    ;

struct Options {
    std::vector<std::string> inputs;
    std::string output;
    std::string preview;
    bool fit = false;
    int threshold = -1;
    standin::JobOptions job;
    std::string gpd;
    std::string paper;
    std::string format = "auto";
#ifdef OEMDLL_RENDER
    render::Options render;
#endif
};

int Usage(const std::string& message) {
    if (!message.empty()) std::fprintf(stderr, "rasterprint: %s\n", message.c_str());
    std::fputs(kUsage, stderr);
    return kUsageError;
}

bool ParseNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

// Parses the command line; returns -1 to go on, or the exit status.
int Parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // The option's value, or null when the command line ends first.
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        long n = 0;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "-o") {
            const char* v = value();
            if (!v) return Usage("-o needs a file name");
            options.output = v;
        } else if (arg == "--preview") {
            const char* v = value();
            if (!v) return Usage("--preview needs a file name");
            options.preview = v;
        } else if (arg == "--fit") {
            options.fit = true;
        } else if (arg == "--threshold") {
            const char* v = value();
            if (!v || !ParseNumber(v, 0, 256, n)) return Usage("--threshold takes a grey level from 0 to 256");
            options.threshold = static_cast<int>(n);
        } else if (arg == "--path") {
            const char* v = value();
            if (v && std::strcmp(v, "capture") == 0) {
                options.job.path = standin::OutputPath::kCapture;
            } else if (v && std::strcmp(v, "filter") == 0) {
                options.job.path = standin::OutputPath::kFilter;
            } else {
                return Usage("--path is capture or filter");
            }
        } else if (arg == "--band-rows") {
            const char* v = value();
            if (!v || !ParseNumber(v, 1, 65536, n)) return Usage("--band-rows takes a number from 1 to 65536");
            options.job.bandRows = static_cast<LONG>(n);
        } else if (arg == "--depth") {
            const char* v = value();
            if (!v || !ParseNumber(v, 1, 24, n) || (n != 1 && n != 8 && n != 24))
                return Usage("--depth is 1, 8 or 24");
            options.job.depth = static_cast<ULONG>(n);
        } else if (arg == "--module") {
            const char* v = value();
            if (!v) return Usage("--module needs a path");
            options.job.modulePath = v;
        } else if (arg == "--gpd" || arg == "--paper") {
            const char* v = value();
            if (!v) return Usage(arg + " needs a value");
            (arg == "--gpd" ? options.gpd : options.paper) = v;
#ifdef OEMDLL_RENDER
        } else if (arg == "--format") {
            const char* v = value();
            const std::string f = v ? v : "";
            if (f != "auto" && f != "image" && f != "pdf" && f != "text")
                return Usage("--format is auto, image, pdf or text");
            options.format = f;
        } else if (arg == "--columns") {
            const char* v = value();
            if (!v || !ParseNumber(v, 32, 48, n) || (n != 32 && n != 42 && n != 48))
                return Usage("--columns is 32, 42 or 48");
            options.render.columns = static_cast<int>(n);
        } else if (arg == "--charset") {
            const char* v = value();
            if (!v || !render::KnownCharset(v)) return Usage("--charset takes a character set iconv knows");
            options.render.charset = v;
        } else if (arg == "--cut") {
            options.render.wrap = false;
        } else if (arg == "--scaling") {
            const std::string v = value() ? argv[i] : "";
            if (v == "auto") options.render.scaling = render::Scaling::kAuto;
            else if (v == "fit") options.render.scaling = render::Scaling::kFit;
            else if (v == "none") options.render.scaling = render::Scaling::kNone;
            else return Usage("--scaling is auto, fit or none");
        } else if (arg == "--optimize") {
            const std::string v = value() ? argv[i] : "";
            if (v == "auto") options.render.optimize = render::ContentOptimize::kAuto;
            else if (v == "text") options.render.optimize = render::ContentOptimize::kText;
            else if (v == "graphics") options.render.optimize = render::ContentOptimize::kGraphics;
            else if (v == "photo") options.render.optimize = render::ContentOptimize::kPhoto;
            else return Usage("--optimize is auto, text, graphics or photo");
#endif
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return Usage("unknown option " + arg);
        } else {
            options.inputs.push_back(arg);
        }
    }
    if (options.inputs.empty()) return Usage("no file given");
    if (!options.paper.empty() && options.gpd.empty()) return Usage("--paper needs --gpd");
    int stdinputs = 0;
    for (const std::string& input : options.inputs) stdinputs += input == "-";
    if (stdinputs > 1) return Usage("standard input can be read only once");
    return -1;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "rasterprint: %s\n", message.c_str());
    return kFailure;
}

// What the printer would print, drawn row by row from the stream: once to
// check it and count its rows, once to draw them.
bool WritePreview(const std::vector<std::uint8_t>& stream, tools::OutputFile& preview, std::string& error) {
    tools::StreamDecoder check;
    check.Feed(stream.data(), stream.size());
    if (!check.Finish()) {
        error = "the plug-in wrote a malformed stream: " + check.Error();
        return false;
    }
    tools::PictureWriter picture;
    if (!picture.Start(preview.file(), preview.name(), tools::PictureFormatFor(preview.name()), check.rows(), error))
        return false;
    tools::StreamDecoder draw([&](const std::uint8_t* bits, unsigned dots) { return picture.Row(bits, dots); });
    draw.Feed(stream.data(), stream.size());
    return picture.Finish(error);
}

#ifdef OEMDLL_RENDER
// An image file starts with PNG's signature or a Netpbm magic number.
bool LooksLikeImage(const std::vector<std::uint8_t>& bytes) {
    static const std::uint8_t kPng[] = {0x89, 'P', 'N', 'G'};
    if (bytes.size() >= 4 && std::equal(kPng, kPng + 4, bytes.begin())) return true;
    return bytes.size() >= 3 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '6' &&
           (bytes[2] == ' ' || bytes[2] == '\n' || bytes[2] == '\r' || bytes[2] == '\t' || bytes[2] == '#');
}

// A PDF or a text through the shared renderers, a page at a time.
bool RenderDocument(const Options& options, const std::vector<std::uint8_t>& bytes, const std::string& name,
                    std::int64_t& dots, standin::Document& document, std::string& error) {
    render::Options settings = options.render;
    settings.maxRows = static_cast<long>((tools::kMaxDots - dots) / kPrinterDots);
    settings.warn = [](const std::string& warning) { std::fprintf(stderr, "rasterprint: warning: %s\n", warning.c_str()); };
    // Grey pages are kept whole for their halftone; black-and-white ones
    // become dots as their rows come.
    tools::GreyImage page;
    standin::Page dotted;
    render::Sink sink;
    sink.startPage = [&](bool bilevel) {
        page = {};
        page.width = kPrinterDots;
        page.bilevel = bilevel;
        dotted = {};
        dotted.width = kPrinterDots;
        return true;
    };
    sink.rows = [&](const std::uint8_t* rows, int count) {
        const size_t size = static_cast<size_t>(count) * kPrinterDots;
        if (page.bilevel) {
            const size_t at = dotted.dots.size();
            dotted.dots.resize(at + size);
            for (size_t i = 0; i < size; ++i) dotted.dots[at + i] = rows[i] < 128 ? 1 : 0;
        } else {
            page.grey.insert(page.grey.end(), rows, rows + size);
        }
        page.height += count;
        return true;
    };
    sink.endPage = [&] {
        dots += page.width * page.height;
        const tools::Halftone method =
            options.threshold >= 0 ? tools::Halftone::kThreshold : tools::Halftone::kDiffusion;
        if (page.bilevel) {
            dotted.height = static_cast<LONG>(page.height);
            document.push_back(std::move(dotted));
        } else {
            document.push_back(tools::ToPage(page, method, options.threshold));
        }
        page = {};
        return true;
    };
    const render::Format format = options.format == "pdf"    ? render::Format::kPdf
                                  : options.format == "text" ? render::Format::kText
                                                             : render::Detect(bytes.data(), bytes.size());
    const render::Result result = render::RenderBytes(bytes.data(), bytes.size(), format, settings, sink, name);
    if (!result.ok) error = result.error;
    return result.ok;
}
#endif

// Reads and halftones every image of the inputs into the document, within
// the limits on what will be held.
int ReadDocument(const Options& options, standin::Document& document) {
    std::int64_t dots = 0;
    for (const std::string& input : options.inputs) {
        std::vector<std::uint8_t> bytes;
        std::string error;
        std::vector<tools::GreyImage> images;
        const std::string name = input == "-" ? "standard input" : input;
        if (!tools::ReadInput(input, bytes, error)) return Fail(error);
#ifdef OEMDLL_RENDER
        if (options.format == "pdf" || options.format == "text" ||
            (options.format == "auto" && !LooksLikeImage(bytes))) {
            if (!RenderDocument(options, bytes, name, dots, document, error)) return Fail(error);
            continue;
        }
#endif
        if (!tools::DecodeImages(bytes, name, images, error)) return Fail(error);
        bytes = {};
        // A stream of several Netpbm images (every page of a PDF, say) is
        // several pages.
        std::int64_t widest = 0;
        for (tools::GreyImage& image : images) {
            if (options.fit) {
                const std::int64_t height = tools::ScaledHeight(image, kPrinterDots);
                if (!tools::CheckSize(name + " scaled to " + std::to_string(kPrinterDots) + " dots wide",
                                      kPrinterDots, height, error))
                    return Fail(error);
                image = tools::ScaleToWidth(image, kPrinterDots);
            }
            widest = std::max(widest, image.width);
            dots += image.width * image.height;
            if (dots > tools::kMaxDots)
                return Fail("the document is too large: its pages hold more than " + std::to_string(tools::kMaxDots) +
                            " dots in all, the limit for a document");
            const tools::Halftone method =
                options.threshold >= 0 ? tools::Halftone::kThreshold : tools::Halftone::kDiffusion;
            document.push_back(tools::ToPage(image, method, options.threshold));
            image = {};
        }
        if (widest > kPrinterDots)
            std::fprintf(stderr,
                         "rasterprint: warning: %s is %lld dots wide; the printer prints its left %ld "
                         "(--fit scales it to the width)\n",
                         name.c_str(), static_cast<long long>(widest), kPrinterDots);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = Parse(argc, argv, options);
    if (parsed >= 0) return parsed;
    const std::string output = options.output.empty() ? "-" : options.output;
    if (output == "-" && options.preview == "-")
        return Usage("the printer stream and the preview cannot both go to standard output");
    if (output == "-" && isatty(fileno(stdout)))
        return Usage("refusing to write printer data to a terminal; use -o FILE or redirect standard output");
    if (options.preview == "-" && isatty(fileno(stdout)))
        return Usage("refusing to write a picture to a terminal; give --preview a file name or redirect "
                     "standard output");

    standin::GpdSetup gpd;
    if (!options.gpd.empty()) {
        std::string error;
        if (!standin::LoadGpdSetup(options.gpd, options.paper, gpd, error)) return Fail(error);
        for (const std::string& note : gpd.notes) std::fprintf(stderr, "rasterprint: note: %s\n", note.c_str());
        options.job.gpd = &gpd;
        options.job.depth = gpd.drvBpp;
    }

    // Every output is produced before any is put in place.
    tools::OutputFile stream, preview;
    std::string error;
    if (!stream.Open(output, error)) return Fail(error);
    if (!options.preview.empty() && !preview.Open(options.preview, error)) return Fail(error);

    std::vector<standin::Document> documents(1);
    const int read = ReadDocument(options, documents[0]);
    if (read >= 0) return read;

    const bool showProgress = documents[0].size() > 1 && isatty(fileno(stderr));
    if (showProgress) {
        options.job.progress = [](size_t done, size_t total) {
            std::fprintf(stderr, "\rrasterprint: page %zu of %zu", done, total);
            std::fflush(stderr);
        };
    }
    const standin::JobResult result = standin::RunJob(documents, options.job);
    documents.clear();
    if (showProgress) std::fputs("\n", stderr);
    if (!result.ok) return Fail(result.error);
    const bool renderedOnly = options.job.depth != 1 && options.job.path == standin::OutputPath::kCapture;
    if (result.output.empty())
        return Fail(renderedOnly ? "the plug-in printed nothing: it prints 1-bit rendering only (--depth 1)"
                                 : "the plug-in printed nothing");

    if (std::fwrite(result.output.data(), 1, result.output.size(), stream.file()) != result.output.size())
        return Fail("cannot write " + stream.name() + ": " + std::strerror(errno));
    std::vector<tools::OutputFile*> outputs = {&stream};
    if (!options.preview.empty()) {
        if (!WritePreview(result.output, preview, error)) return Fail(error);
        // The preview first: a failure after the printer stream is in place
        // would be reported as the job's.
        outputs.insert(outputs.begin(), &preview);
    }
    if (!tools::CommitAll(outputs, error)) return Fail(error);

    const standin::JobStats& s = result.stats;
    std::fprintf(stderr, "rasterprint: %zu page%s, %zu bands, %zu rows sent, %zu bytes written, %zu rows trimmed%s\n",
                 s.pages, s.pages == 1 ? "" : "s", s.bands, s.commands, s.bytes,
                 s.rowsRendered > s.commands ? s.rowsRendered - s.commands : 0,
                 renderedOnly ? " (the plug-in prints 1-bit rendering only)" : "");
    return 0;
}
