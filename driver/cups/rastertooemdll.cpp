// rastertooemdll: the CUPS filter. Reads CUPS raster, or a PDF or plain
// text it renders itself, and prints the whole job through the plug-in
// module as one document: every page becomes 1-bit bands below the
// previous page's, and the plug-in's printer stream goes to standard output.
//
//   rastertooemdll job-id user title copies options [file]

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include "driver/cups/document_job.h"
#include "driver/cups/raster_job.h"
#include "driver/cups/raster_page.h"
#include "printhost/job_session.h"

#ifdef OEMDLL_SANITIZED
// CUPS gives filters an environment of its own (cupsfilter passes no
// sanitizer settings at all), so a sanitized filter carries its settings:
// a report ends it by a signal, never taken for an ordinary failure.
// ASAN_OPTIONS and UBSAN_OPTIONS, where CUPS passes them, still win.
extern "C" const char* __asan_default_options() { return "detect_leaks=1:abort_on_error=1"; }
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1:abort_on_error=1"; }
#endif

namespace {

volatile sig_atomic_t gCancelled = 0;

void OnTerm(int) { gCancelled = 1; }

// The raster's source. libcups asks for uncompressed raster a row at a
// time, so reads go through a buffer. Once the job is cancelled the input
// reads as ended.
struct Input {
    int fd = 0;
    unsigned char buffer[64 * 1024];
    size_t start = 0, end = 0;
};

ssize_t ReadInput(Input& in, unsigned char* out, size_t bytes) {
    if (in.start == in.end) {
        for (;;) {
            if (gCancelled) return 0;
            const ssize_t n = read(in.fd, in.buffer, sizeof in.buffer);
            if (n >= 0) {
                in.start = 0;
                in.end = static_cast<size_t>(n);
                break;
            }
            if (errno != EINTR) return -1;
        }
        if (in.end == 0) return 0;
    }
    const size_t n = bytes < in.end - in.start ? bytes : in.end - in.start;
    std::memcpy(out, in.buffer + in.start, n);
    in.start += n;
    return static_cast<ssize_t>(n);
}

// Whether the input is a document to render: under CUPS (which names the
// job's type), a PDF, whatever the job was first (PostScript comes through
// gstopdf), or a text job's text; anything else is read as raster. The
// input's first bytes, read for the look, stay in the buffer for the reader.
bool IsDocument(Input& in) {
    const char* type = std::getenv("CONTENT_TYPE");
    if (!type) return false;
    while (in.end < 5) {
        const ssize_t n = read(in.fd, in.buffer + in.end, sizeof in.buffer - in.end);
        if (n == 0 || (n < 0 && errno != EINTR)) break;
        if (n > 0) in.end += static_cast<size_t>(n);
    }
    static const char* const kSync[] = {"RaS2", "RaS3", "RaSt", "2SaR", "3SaR", "tSaR"};
    for (const char* sync : kSync)
        if (in.end >= 4 && std::memcmp(in.buffer, sync, 4) == 0) return false;
    return (in.end >= 5 && std::memcmp(in.buffer, "%PDF-", 5) == 0) || std::strncmp(type, "text/", 5) == 0;
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
    const std::string dir = printhost::ProgramFolder();
    return dir.empty() ? OEMDLL_CUPS_MODULE_INSTALLED : dir + OEMDLL_CUPS_MODULE;
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

    Output output;
    static char outputBuffer[64 * 1024];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    printhost::HostOptions options;
    options.modulePath = ModulePath();
    options.callbackId = 1;
    options.pageGapRows = cupsdriver::PageGapRows(argv[5]);
    options.write = [&output](const BYTE* bytes, DWORD size) { output.Write(bytes, size); };
    printhost::JobSession session(options);
    std::string why;
    unsigned pages = 0;
    bool ok = session.Start() && session.StartDocument(cupsdriver::kPrinterDots);
    if (!ok) why = "cannot start the plug-in: " + session.result().error;

    if (ok && IsDocument(input)) {
        cupsdriver::DocumentJob job;
        job.read = [](unsigned char* out, size_t bytes) { return ReadInput(input, out, bytes); };
        job.log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
        job.cancelled = &gCancelled;
        job.options = argv[5];
        job.copies = std::max(1, std::min(std::atoi(argv[4]), static_cast<int>(cupsdriver::kMaxCopies)));
        job.collate = cupsdriver::Collated(argv[5]);
        const cupsdriver::DocumentOutcome outcome = cupsdriver::PrintDocument(job, session);
        ok = outcome.ok;
        why = outcome.why;
        pages = static_cast<unsigned>(outcome.pages);
    } else if (ok) {
        cupsdriver::RasterJob job;
        job.read = [](unsigned char* out, size_t bytes) { return ReadInput(input, out, bytes); };
        job.log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
        job.cancelled = &gCancelled;
        job.cancelArrives = CancelArrives;
        const cupsdriver::RasterOutcome outcome = cupsdriver::PrintRaster(job, session);
        ok = outcome.ok;
        why = outcome.why;
        pages = outcome.pages;
    }
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
