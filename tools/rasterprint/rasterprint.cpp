// rasterprint: prints images through the plug-in module, by way of the
// simulated print pipeline, to a file, a printer device or standard output.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "standin/host/print_job.h"
#include "tools/common/image.h"
#include "tools/common/printer_stream.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kFailure = 1;
constexpr long kPrinterDots = 384;

const char kUsage[] =
    "usage: rasterprint [options] IMAGE...\n"
    "Prints PNG, PBM, PGM or PPM images (\"-\" is standard input) through the plug-in\n"
    "as one document, one page per image.\n"
    "  -o FILE             write the printer stream to FILE (a file or a printer\n"
    "                      device); default standard output, never a terminal\n"
    "  --preview FILE.png  also write what the printer would print\n"
    "  --fit               scale each page to the printer's 384 dots\n"
    "  --threshold N       black below grey level N (0-256) instead of dithering\n"
    "  --path capture|filter\n"
    "                      hand bands to ImageProcessing (default) or FilterGraphics\n"
    "  --band-rows N       rows per band (default 256)\n"
    "  --depth 1|8|24      the host's rendering depth (default 1)\n"
    "  --module PATH       the plug-in module (default: the one built with this tool)\n"
    "  --gpd FILE          run the job as this GPD makes Unidrv run it (its page\n"
    "                      size, depth and commands; --depth and --path are then its)\n"
    "  --paper NAME        the GPD's paper size option (default: its default)\n";

struct Options {
    std::vector<std::string> inputs;
    std::string output;
    std::string preview;
    bool fit = false;
    int threshold = -1;
    standin::JobOptions job;
    std::string gpd;
    std::string paper;
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
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return Usage("unknown option " + arg);
        } else {
            options.inputs.push_back(arg);
        }
    }
    if (options.inputs.empty()) return Usage("no image given");
    if (!options.paper.empty() && options.gpd.empty()) return Usage("--paper needs --gpd");
    int stdinputs = 0;
    for (const std::string& input : options.inputs) stdinputs += input == "-";
    if (stdinputs > 1) return Usage("standard input can be read only once");
    return -1;
}

bool IsRegularOrMissing(const std::string& path) {
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DEVICE);
#else
    struct stat st;
    return stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode);
#endif
}

bool WriteAll(std::FILE* file, const std::vector<BYTE>& bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

// Writes the stream only once the whole job has succeeded. A regular file
// is written beside its final name and renamed into place, so a failure
// never leaves half a stream behind; a device is written directly.
bool WriteOutput(const std::string& path, const std::vector<BYTE>& bytes, std::string& error) {
    if (path.empty()) {
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        if (!WriteAll(stdout, bytes) || std::fflush(stdout) != 0) {
            error = std::string("cannot write standard output: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    if (!IsRegularOrMissing(path)) {
        std::FILE* device = std::fopen(path.c_str(), "wb");
        if (!device) {
            error = "cannot open " + path + ": " + std::strerror(errno);
            return false;
        }
        const bool ok = WriteAll(device, bytes);
        const int saved = errno;
        if (std::fclose(device) != 0 || !ok) {
            error = "cannot write " + path + ": " + std::strerror(ok ? errno : saved);
            return false;
        }
        return true;
    }
    const std::string temporary = path + ".partial";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = WriteAll(file, bytes);
    const int saved = errno;
    const bool closed = std::fclose(file) == 0;
    if (!ok || !closed) {
        std::remove(temporary.c_str());
        error = "cannot write " + path + ": " + std::strerror(ok ? errno : saved);
        return false;
    }
#ifdef _WIN32
    const bool renamed = MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    const bool renamed = std::rename(temporary.c_str(), path.c_str()) == 0;
#endif
    if (!renamed) {
        const int why = errno;
        std::remove(temporary.c_str());
        error = "cannot write " + path + ": " + std::strerror(why);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = Parse(argc, argv, options);
    if (parsed >= 0) return parsed;
    if (options.output.empty() && isatty(fileno(stdout)))
        return Usage("refusing to write printer data to a terminal; use -o FILE or redirect standard output");

    standin::GpdSetup gpd;
    if (!options.gpd.empty()) {
        std::string error;
        if (!standin::LoadGpdSetup(options.gpd, options.paper, gpd, error)) {
            std::fprintf(stderr, "rasterprint: %s\n", error.c_str());
            return kFailure;
        }
        for (const std::string& note : gpd.notes) std::fprintf(stderr, "rasterprint: note: %s\n", note.c_str());
        options.job.gpd = &gpd;
        options.job.depth = gpd.drvBpp;
    }

    standin::Document document;
    for (const std::string& input : options.inputs) {
        std::vector<std::uint8_t> bytes;
        std::string error;
        std::vector<tools::GreyImage> images;
        const std::string name = input == "-" ? "standard input" : input;
        if (!tools::ReadInput(input, bytes, error) || !tools::DecodeImages(bytes, name, images, error)) {
            std::fprintf(stderr, "rasterprint: %s\n", error.c_str());
            return kFailure;
        }
        // A stream of several Netpbm images (every page of a PDF, say) is
        // several pages.
        for (tools::GreyImage& image : images) {
            if (options.fit) image = tools::ScaleToWidth(image, kPrinterDots);
            const tools::Halftone method =
                options.threshold >= 0 ? tools::Halftone::kThreshold : tools::Halftone::kDiffusion;
            document.push_back(tools::ToPage(image, method, options.threshold));
        }
    }

    const bool showProgress = document.size() > 1 && isatty(fileno(stderr));
    if (showProgress) {
        options.job.progress = [](size_t done, size_t total) {
            std::fprintf(stderr, "\rrasterprint: page %zu of %zu", done, total);
            std::fflush(stderr);
        };
    }
    const standin::JobResult result = standin::RunJob({document}, options.job);
    if (showProgress) std::fputs("\n", stderr);
    if (!result.ok) {
        std::fprintf(stderr, "rasterprint: %s\n", result.error.c_str());
        return kFailure;
    }

    std::string error;
    if (!WriteOutput(options.output, result.output, error)) {
        std::fprintf(stderr, "rasterprint: %s\n", error.c_str());
        return kFailure;
    }
    if (!options.preview.empty()) {
        tools::DecodedStream stream;
        if (!tools::DecodePrinterStream(result.output, stream, error)) {
            std::fprintf(stderr, "rasterprint: the plug-in wrote a malformed stream: %s\n", error.c_str());
            return kFailure;
        }
        const long width = stream.width > kPrinterDots ? stream.width : kPrinterDots;
        if (!tools::WriteDots(options.preview, width, static_cast<long>(stream.rows.size()),
                              tools::StreamDots(stream, width), error)) {
            std::fprintf(stderr, "rasterprint: %s\n", error.c_str());
            return kFailure;
        }
    }

    const standin::JobStats& s = result.stats;
    std::fprintf(stderr, "rasterprint: %zu page%s, %zu bands, %zu rows sent, %zu bytes written, %zu rows trimmed%s\n",
                 s.pages, s.pages == 1 ? "" : "s", s.bands, s.commands, s.bytes,
                 s.rowsRendered > s.commands ? s.rowsRendered - s.commands : 0,
                 options.job.depth != 1 && options.job.path == standin::OutputPath::kCapture
                     ? " (the plug-in prints 1-bit rendering only)"
                     : "");
    return 0;
}
