// rasterview: checks a printer stream command by command and shows what the
// printer would print, as a PNG (or PBM) picture.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/common/image.h"
#include "tools/common/printer_stream.h"

namespace {

const char kUsage[] =
    "usage: rasterview [--summary] [-o PICTURE] STREAM\n"
    "Reads a printer stream (\"-\" is standard input), checks every command, and\n"
    "writes what the printer would print to PICTURE (.png, or .pbm), one row of\n"
    "dots per command, printed dots black.\n"
    "  --summary   print the commands, rows, row widths and bytes\n";

int Usage(const char* message) {
    if (message) std::fprintf(stderr, "rasterview: %s\n", message);
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string input, output;
    bool summary = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--summary") {
            summary = true;
        } else if (arg == "-o") {
            if (i + 1 >= argc) return Usage("-o needs a file name");
            output = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (!input.empty()) {
            return Usage("one stream at a time");
        } else {
            input = arg;
        }
    }
    if (input.empty()) return Usage("no stream given");
    if (output.empty() && !summary) return Usage("nothing to do: give -o PICTURE or --summary");

    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!tools::ReadInput(input, bytes, error)) {
        std::fprintf(stderr, "rasterview: %s\n", error.c_str());
        return 1;
    }
    tools::DecodedStream stream;
    const std::string name = input == "-" ? "standard input" : input;
    if (!tools::DecodePrinterStream(bytes, stream, error)) {
        std::fprintf(stderr, "rasterview: %s: malformed command %s\n", name.c_str(), error.c_str());
        return 1;
    }
    if (summary) {
        std::printf("commands: %zu\nrows: %zu\nwidths:", stream.rows.size(), stream.rows.size());
        for (const auto& [dots, count] : stream.widths) std::printf(" %u dots x %zu", dots, count);
        std::printf("%s\ndata bytes: %zu\nstream bytes: %zu\n", stream.widths.empty() ? " none" : "",
                    stream.dataBytes, stream.streamBytes);
    }
    if (!output.empty()) {
        if (stream.rows.empty()) {
            std::fprintf(stderr, "rasterview: %s holds no rows to show\n", name.c_str());
            return 1;
        }
        const long width = stream.width > 384 ? stream.width : 384;
        if (!tools::WriteDots(output, width, static_cast<long>(stream.rows.size()), tools::StreamDots(stream, width),
                              error)) {
            std::fprintf(stderr, "rasterview: %s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}
