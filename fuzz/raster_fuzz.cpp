// The CUPS filter's raster path on arbitrary bytes: libcups reads them as
// CUPS raster (any version, compressed or not), each page is placed on the
// printer's dots and handed to the plug-in, as the filter does, within a
// small job bound. Whatever the input, nothing crashes or leaks; nothing
// reaches the printer before the document's end, a failure says why, and a
// job printed is a well-formed stream of no more rows than were handed
// over, within the bound.
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>

#include "driver/cups/raster_job.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr long long kMaxRows = 4096;  // small pages keep each run quick

// Rows of 384 dots, each its command: ESC . 1 0 0 1, the dot count, the dots.
long long CountRows(const std::vector<BYTE>& stream) {
    static const BYTE kHead[] = {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01, 0x80, 0x01};
    long long rows = 0;
    for (size_t at = 0; at < stream.size(); at += sizeof kHead + 48, ++rows) {
        fuzz::Check(stream.size() - at >= sizeof kHead + 48, "a row command cut short");
        fuzz::Check(std::memcmp(stream.data() + at, kHead, sizeof kHead) == 0, "not a row command of 384 dots");
    }
    return rows;
}

}  // namespace

// libcups allocates a page's row buffer as large as its header claims, up
// to 4 GB, before the filter sees the header and refuses it. Natively the
// buffer is never touched; under AddressSanitizer its shadow is, for
// seconds. Here such an allocation fails, as it may on a small machine, and
// libcups refuses the header. C++ allocations still report running out.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=1024"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Each job loads and unloads the module; its coverage counters must
    // outlive every unload.
    static void* const kKept = dlopen(OEMDLL_FUZZ_MODULE, RTLD_NOW | RTLD_NODELETE);
    if (!kKept) fuzz::Fail("cannot load the module");
    std::vector<BYTE> stream;
    printhost::HostOptions options;
    options.modulePath = OEMDLL_FUZZ_MODULE;
    options.callbackId = 1;
    options.write = [&stream](const BYTE* bytes, DWORD n) { stream.insert(stream.end(), bytes, bytes + n); };
    printhost::JobSession session(options);
    if (!session.Start() || !session.StartDocument(cupsdriver::kPrinterDots)) fuzz::Fail("the plug-in did not start");

    size_t at = 0;
    cupsdriver::RasterJob job;
    job.read = [&](unsigned char* out, size_t bytes) {
        const size_t n = bytes < size - at ? bytes : size - at;
        std::memcpy(out, data + at, n);
        at += n;
        return static_cast<ssize_t>(n);
    };
    job.log = [](const std::string&) {};
    job.maxRows = kMaxRows;
    const cupsdriver::RasterOutcome outcome = cupsdriver::PrintRaster(job, session);
    fuzz::Check(!outcome.cancelled, "cancelled without a cancel");
    fuzz::Check(outcome.rows <= kMaxRows, "more rows than the job's bound");
    // The filter drops what comes at the end of a failed job; before the
    // end nothing may come at all.
    fuzz::Check(stream.empty(), "printer data before the document's end");
    const bool ended = session.EndDocument(!outcome.ok);
    session.Finish();
    if (!outcome.ok) {
        fuzz::Check(!outcome.why.empty(), "a failure without a reason");
        return 0;
    }
    fuzz::Check(ended, "the plug-in refused the end of a job it took");
    fuzz::Check(outcome.pages > 0, "a job printed without a page");
    fuzz::Check(CountRows(stream) <= outcome.rows, "more rows printed than handed over");
    return 0;
}
