// rastertooemdll: the CUPS filter. Reads CUPS raster and prints the whole
// job through the plug-in module as one document: every page becomes 1-bit
// bands below the previous page's, and the plug-in's printer stream goes
// to standard output.
//
//   rastertooemdll job-id user title copies options [file]
#include <cups/raster.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <time.h>
#include <unistd.h>

#include "driver/cups/raster_page.h"
#include "printhost/job_session.h"

namespace {

volatile sig_atomic_t gCancelled = 0;

void OnTerm(int) { gCancelled = 1; }

// The raster's source. libcups asks for uncompressed raster a row at a
// time, so reads go through a buffer; a read that a SIGTERM interrupts ends
// the input.
struct Input {
    int fd = 0;
    unsigned char buffer[64 * 1024];
    size_t start = 0, end = 0;
};

ssize_t ReadInput(void* context, unsigned char* out, size_t bytes) {
    Input& in = *static_cast<Input*>(context);
    if (in.start == in.end) {
        for (;;) {
            const ssize_t n = read(in.fd, in.buffer, sizeof in.buffer);
            if (n >= 0) {
                in.start = 0;
                in.end = static_cast<size_t>(n);
                break;
            }
            if (errno != EINTR || gCancelled) return -1;
        }
        if (in.end == 0) return 0;
    }
    const size_t n = bytes < in.end - in.start ? bytes : in.end - in.start;
    std::memcpy(out, in.buffer + in.start, n);
    in.start += n;
    return static_cast<ssize_t>(n);
}

// On a cancel CUPS stops the filters before us too, and the raster may end
// before our own SIGTERM arrives: wait a moment for it before calling the
// input cut short.
bool CancelArrives() {
    for (int i = 0; i < 50 && !gCancelled; ++i) {
        const timespec tick{0, 10 * 1000 * 1000};
        nanosleep(&tick, nullptr);
    }
    return gCancelled != 0;
}

// The module lies at a fixed place relative to the installed filter.
std::string ModulePath() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return OEMDLL_CUPS_MODULE_INSTALLED;
    std::string dir(self, static_cast<size_t>(n));
    dir.erase(dir.find_last_of('/') + 1);
    return dir + OEMDLL_CUPS_MODULE;
}

// Where the plug-in's spool writes go: standard output, whole commands only.
// After a cancel nothing more is written; after a failed write, nothing
// more is tried.
struct Output {
    bool discard = false;
    int error = 0;

    void Write(const BYTE* bytes, DWORD size) {
        if (discard || gCancelled || error) return;
        if (std::fwrite(bytes, 1, size, stdout) != size) error = errno ? errno : EIO;
    }
    bool Flush() {
        if (!error && std::fflush(stdout) != 0) error = errno ? errno : EIO;
        return error == 0;
    }
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "ERROR: %s\n", message.c_str());
    return 1;
}

// One page: its rows placed on the printer's width, then handed over once
// per copy the raster asks for.
bool PrintPage(cups_raster_t* raster, const cups_page_header2_t& header, unsigned page,
               printhost::JobSession& session, std::vector<unsigned char>& band, std::string& why) {
    cupsdriver::RowFormat format;
    if (!cupsdriver::TakeHeader(header, format, why)) {
        why = "page " + std::to_string(page) + ": " + why;
        return false;
    }
    const unsigned kept = header.cupsHeight < cupsdriver::kMaxPageRows ? header.cupsHeight : cupsdriver::kMaxPageRows;
    if (kept < header.cupsHeight)
        std::fprintf(stderr, "WARNING: page %u is %u rows long; only the first %u are printed\n", page,
                     header.cupsHeight, kept);
    band.resize(static_cast<size_t>(kept) * cupsdriver::kBandRowBytes);
    std::vector<unsigned char> row(header.cupsBytesPerLine);
    bool blank = true;
    for (unsigned y = 0; y < header.cupsHeight; ++y) {
        if (gCancelled) return true;
        if (cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine) != header.cupsBytesPerLine) {
            if (CancelArrives()) return true;
            why = "page " + std::to_string(page) + " is cut short: " + std::to_string(y) + " of " +
                  std::to_string(header.cupsHeight) + " rows";
            return false;
        }
        if (y >= kept) continue;
        unsigned char* out = band.data() + static_cast<size_t>(y) * cupsdriver::kBandRowBytes;
        if (cupsdriver::PlaceRow(row.data(), format, out)) blank = false;
    }
    const unsigned copies = header.NumCopies > 1 ? header.NumCopies : 1;
    for (unsigned c = 0; c < copies; ++c) {
        if (!session.StartPage() || !session.Band(band.data(), static_cast<LONG>(kept), blank) ||
            !session.EndPage()) {
            why = "the plug-in refused page " + std::to_string(page) + ": " + session.result().error;
            return false;
        }
    }
    std::fprintf(stderr, "PAGE: %u %u\n", page, copies);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6 || argc > 7) {
        std::fputs("Usage: rastertooemdll job-id user title copies options [file]\n", stderr);
        return 1;
    }
    // A cancelled job gets SIGTERM: finish the row in hand and stop.
    struct sigaction action {};
    action.sa_handler = OnTerm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    static Input input;
    if (argc == 7) {
        input.fd = open(argv[6], O_RDONLY | O_CLOEXEC);
        if (input.fd < 0) return Fail(std::string("cannot open ") + argv[6] + ": " + std::strerror(errno));
    }
    cups_raster_t* raster = cupsRasterOpenIO(ReadInput, &input, CUPS_RASTER_READ);
    if (!raster) {
        if (gCancelled) return 0;
        return Fail("the input is not CUPS raster");
    }

    Output output;
    static char outputBuffer[64 * 1024];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    printhost::HostOptions options;
    options.modulePath = ModulePath();
    options.callbackId = 1;
    options.write = [&output](const BYTE* bytes, DWORD size) { output.Write(bytes, size); };
    printhost::JobSession session(options);
    std::string why;
    unsigned pages = 0;
    bool ok = session.Start() && session.StartDocument(cupsdriver::kPrinterDots);
    if (!ok) why = "cannot start the plug-in: " + session.result().error;

    cups_page_header2_t header;
    std::vector<unsigned char> band;
    while (ok && !gCancelled && cupsRasterReadHeader2(raster, &header)) {
        ++pages;
        std::fprintf(stderr, "INFO: Printing page %u\n", pages);
        ok = PrintPage(raster, header, pages, session, band, why);
    }
    if (ok && !gCancelled && pages == 0) {
        ok = false;
        why = "no pages in the raster";
    }
    cupsRasterClose(raster);
    if (input.fd > 0) close(input.fd);

    // A failed or cancelled job prints nothing; the document still ends.
    output.discard = !ok || gCancelled;
    if (session.result().error.empty() && !session.EndDocument(!ok || gCancelled) && ok) {
        ok = false;
        why = "the plug-in failed at the end of the job: " + session.result().error;
    }
    const printhost::JobResult& result = session.Finish();
    if (ok && !result.ok) std::fprintf(stderr, "WARNING: the plug-in at shut-down: %s\n", result.error.c_str());
    // Once cancelled, the backend may be gone already.
    if (!output.Flush() && ok && !gCancelled) {
        ok = false;
        why = std::string("cannot write the printer stream: ") + std::strerror(output.error);
    }
    if (!ok) return Fail(why);
    if (gCancelled) {
        std::fputs("INFO: Job cancelled\n", stderr);
        return 0;
    }
    std::fprintf(stderr, "INFO: Printed %u page%s\n", pages, pages == 1 ? "" : "s");
    return 0;
}
