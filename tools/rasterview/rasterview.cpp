// rasterview: checks a printer stream command by command and shows what the
// printer would print, as a PNG (or PBM) picture; or, with --listen, stands
// in for a network printer and does that for every job sent to it.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define fileno _fileno
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include "tools/common/output_file.h"
#include "tools/common/picture_writer.h"
#include "tools/common/printer_stream.h"
#include "tools/rasterview/preview.h"
#include "tools/rasterview/virtual_printer.h"

namespace {

const char kUsage[] =
    "usage: rasterview [--summary] [-o PICTURE] STREAM\n"
    "       rasterview --listen [HOST:]PORT --out DIR [--jobs N] [--max-job-bytes N] [--idle-timeout S]\n"
    "                  [--read-timeout S]\n"
    "Reads a printer stream (\"-\" is standard input), checks every command, and\n"
    "writes what the printer would print to PICTURE (.png, or .pbm; \"-\" is\n"
    "standard output, never a terminal), one row of dots per command, printed\n"
    "dots black.\n"
    "  --summary            print the commands, rows, row widths and bytes\n"
    "With --listen it is a virtual network printer (Linux build only): it takes\n"
    "each TCP connection that sends something as one job, keeps it as\n"
    "DIR/job-NNNN.prn and draws it as DIR/job-NNNN.png, and prints a line per job.\n"
    "  --listen [HOST:]PORT the address to listen on; HOST defaults to 127.0.0.1\n"
    "  --out DIR            where jobs go; numbering continues after the last job there\n"
    "  --jobs N             stop after N jobs\n"
    "  --max-job-bytes N    cut a job at N bytes (default 268435456)\n"
    "  --idle-timeout S     stop after S seconds without a job in progress\n"
    "  --read-timeout S     drop a connection that sends nothing for S seconds (default 10);\n"
    "                       a job so dropped is kept as far as it came and reported as cut\n"
    "Exit status: 0 every stream well formed, 1 otherwise or on failure, 2 usage error.\n";

int Usage(const std::string& message) {
    if (!message.empty()) std::fprintf(stderr, "rasterview: %s\n", message.c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "rasterview: %s\n", message.c_str());
    return 1;
}

// A stream that can be read again from where it starts now: a regular
// file, and not the picture's own file, which -o would empty first.
bool Rereadable(std::FILE* file, const std::string& picture, long long& start) {
#ifdef _WIN32
    struct _stat64 info, other;  // the plain one fails on files over 2 GB
    if (_fstat64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return false;
    if (_stat64(picture.c_str(), &other) == 0 && other.st_ino == info.st_ino && other.st_dev == info.st_dev &&
        other.st_ino != 0)
        return false;
    start = _ftelli64(file);
#else
    struct stat info, other;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (stat(picture.c_str(), &other) == 0 && other.st_ino == info.st_ino && other.st_dev == info.st_dev) return false;
    start = ftello(file);
#endif
    return start >= 0;
}

bool SeekTo(std::FILE* file, long long start) {
#ifdef _WIN32
    return _fseeki64(file, start, SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(start), SEEK_SET) == 0;
#endif
}

bool ParseCount(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

int Listen(int argc, char** argv) {
    rasterview::ListenOptions options;
    bool haveAddress = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return Usage(arg + " needs a value");
        const std::string value = argv[++i];
        std::uint64_t number = 0;
        if (arg == "--listen") {
            options.address = value;
            haveAddress = true;
        } else if (arg == "--out") {
            options.out = value;
        } else if (arg == "--jobs") {
            if (!ParseCount(value, number) || number == 0) return Usage("--jobs takes a count of 1 or more");
            options.jobs = number;
        } else if (arg == "--max-job-bytes") {
            if (!ParseCount(value, number) || number == 0) return Usage("--max-job-bytes takes a byte count of 1 or more");
            options.maxJobBytes = number;
        } else if (arg == "--idle-timeout") {
            if (!ParseCount(value, number) || number == 0 || number > 1000000)
                return Usage("--idle-timeout takes seconds, from 1 to 1000000");
            options.idleSeconds = static_cast<unsigned>(number);
        } else if (arg == "--read-timeout") {
            if (!ParseCount(value, number) || number == 0 || number > 1000000)
                return Usage("--read-timeout takes seconds, from 1 to 1000000");
            options.readTimeoutSeconds = static_cast<unsigned>(number);
        } else {
            return Usage("unknown option " + arg + " with --listen");
        }
    }
    if (!haveAddress) return Usage("--listen needs [HOST:]PORT");
    if (options.out.empty()) return Usage("--listen needs --out DIR");
    return rasterview::RunVirtualPrinter(options);
}

}  // namespace

int main(int argc, char** argv) {
    std::string input, output;
    bool summary = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        } else if (arg == "--listen") {
            return Listen(argc, argv);
        } else if (arg == "--summary") {
            summary = true;
        } else if (arg == "-o") {
            if (i + 1 >= argc) return Usage("-o needs a file name");
            output = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else if (!input.empty()) {
            return Usage("one stream at a time");
        } else {
            input = arg;
        }
    }
    if (input.empty()) return Usage("no stream given");
    if (output.empty() && !summary) return Usage("nothing to do: give -o PICTURE or --summary");
    if (output == "-" && summary) return Usage("--summary and -o - would both write to standard output");
    if (output == "-" && isatty(fileno(stdout)))
        return Usage("refusing to write a picture to a terminal; use -o FILE or redirect standard output");

    const std::string name = input == "-" ? "standard input" : input;
    std::FILE* in = input == "-" ? stdin : std::fopen(input.c_str(), "rb");
    if (!in) return Fail("cannot open " + input + ": " + std::strerror(errno));
    if (in == stdin) tools::SetBinary(stdin);

    // A file is read twice, checked and then drawn; anything else is held
    // at a bit a dot while it is checked.
    long long start = 0;
    const bool rereadable = Rereadable(in, output, start);
    rasterview::HeldRows held;
    bool heldAll = true;
    tools::StreamDecoder decoder;
    if (!output.empty() && !rereadable)
        decoder = tools::StreamDecoder([&](const std::uint8_t* bits, unsigned dots) {
            return heldAll = held.Add(bits, dots);
        });
    std::string error;
    if (!rasterview::ReadStream(in, name, decoder, error)) return Fail(error);
    if (!heldAll) return Fail("not enough memory to hold the rows of " + name);
    if (!decoder.Finish())
        return Fail(name + ": malformed command " + decoder.Error());

    if (summary) {
        std::printf("commands: %llu\nrows: %llu\nwidths:", static_cast<unsigned long long>(decoder.rows()),
                    static_cast<unsigned long long>(decoder.rows()));
        for (const auto& [dots, count] : decoder.widths())
            std::printf(" %u dots x %llu", dots, static_cast<unsigned long long>(count));
        std::printf("%s\ndata bytes: %llu\nstream bytes: %llu\n", decoder.widths().empty() ? " none" : "",
                    static_cast<unsigned long long>(decoder.dataBytes()),
                    static_cast<unsigned long long>(decoder.streamBytes()));
    }
    if (!output.empty()) {
        if (decoder.rows() == 0) return Fail(name + " holds no rows to show");
        const tools::PictureFormat format = tools::PictureFormatFor(output);
        std::string limit;
        if (decoder.rows() > tools::MaxPictureRows(format, &limit))
            return Fail("cannot draw " + name + ": it has " + std::to_string(decoder.rows()) + " rows, and " + limit);
        // The picture replaces PICTURE only once it is whole.
        tools::OutputFile picture;
        if (!picture.Open(output, error)) return Fail(error);
        bool drawn = false;
        if (rereadable) {
            if (!SeekTo(in, start)) {
                error = "cannot read " + name + " again: " + std::strerror(errno);
            } else {
                drawn = rasterview::DrawStream(in, name, decoder.rows(), picture.file(), picture.name(), format, error);
            }
        } else {
            tools::PictureWriter writer;
            if (writer.Start(picture.file(), picture.name(), format, held.rows(), error)) {
                held.Draw(writer);  // a failed row is reported by Finish
                drawn = writer.Finish(error);
            }
        }
        if (!drawn || !picture.Commit(error)) return Fail(error);
    }
    if (in != stdin) std::fclose(in);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return Fail(std::string("cannot write standard output: ") + std::strerror(errno));
    return 0;
}
