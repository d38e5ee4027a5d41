#include "driver/cups/raster_job.h"

#include <cups/raster.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace cupsdriver {

namespace {

// The input as libcups reads it. During a page header's read it notes the
// first request: libcups asks for a whole header when nothing of the next
// one is in hand yet, so that request answered with the input's end is a
// clean end after a whole page; anything else is a header cut short or bad.
struct Source {
    const RasterJob* job = nullptr;
    bool watching = false;
    int calls = 0;
    size_t firstAsked = 0;
    ssize_t firstGot = -1;
    bool ended = false;  // the input's end was met while watching
};

ssize_t ReadSource(void* context, unsigned char* out, size_t bytes) {
    Source& s = *static_cast<Source*>(context);
    const ssize_t n = s.job->read(out, bytes);
    if (s.watching) {
        if (s.calls++ == 0) {
            s.firstAsked = bytes;
            s.firstGot = n;
        }
        if (n <= 0) s.ended = true;
    }
    return n;
}

bool Cancelled(const RasterJob& job) { return job.cancelled && *job.cancelled; }

// The raster ended early: cancelled if a cancel arrives, else a failure.
bool CancelArrives(const RasterJob& job) {
    if (Cancelled(job)) return true;
    return job.cancelArrives && job.cancelArrives();
}

std::string PageName(unsigned page) { return "page " + std::to_string(page); }

// One page: its rows placed on the printer's width, then handed over once
// per copy the raster asks for.
bool PrintPage(const RasterJob& job, cups_raster_t* raster, const cups_page_header2_t& header, unsigned page,
               printhost::JobSession& session, std::vector<unsigned char>& band, RasterOutcome& out) {
    RowFormat format;
    if (!TakeHeader(header, format, out.why)) {
        out.why = PageName(page) + ": " + out.why;
        return false;
    }
    const unsigned kept = std::min(header.cupsHeight, kMaxPageRows);
    const unsigned copies = header.NumCopies > 1 ? header.NumCopies : 1;
    // Refused before anything of the page is read: the plug-in holds the job.
    if (out.rows + static_cast<long long>(kept) * copies > job.maxRows) {
        out.why = PageName(page) + ": the job is too long: more than " + std::to_string(job.maxRows) + " rows of " +
                  std::to_string(kPrinterDots) + " dots in all, copies counted, the limit for a job";
        return false;
    }
    if (kept < header.cupsHeight)
        job.log("WARNING: " + PageName(page) + " is " + std::to_string(header.cupsHeight) +
                " rows long; only the first " + std::to_string(kept) + " are printed");
    band.resize(static_cast<size_t>(kept) * kBandRowBytes);
    std::vector<unsigned char> row(header.cupsBytesPerLine);
    bool blank = true;
    for (unsigned y = 0; y < header.cupsHeight; ++y) {
        if (Cancelled(job)) {
            out.cancelled = true;
            return true;
        }
        if (cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine) != header.cupsBytesPerLine) {
            if (CancelArrives(job)) {
                out.cancelled = true;
                return true;
            }
            out.why = PageName(page) + " is cut short: " + std::to_string(y) + " of " +
                      std::to_string(header.cupsHeight) + " rows";
            return false;
        }
        if (y >= kept) continue;
        if (PlaceRow(row.data(), format, band.data() + static_cast<size_t>(y) * kBandRowBytes)) blank = false;
    }
    for (unsigned c = 0; c < copies; ++c) {
        if (Cancelled(job)) {
            out.cancelled = true;
            return true;
        }
        if (!session.StartPage() || !session.Band(band.data(), static_cast<LONG>(kept), blank) ||
            !session.EndPage()) {
            out.why = "the plug-in refused " + PageName(page) + ": " + session.result().error;
            return false;
        }
        out.rows += kept;
    }
    job.log("PAGE: " + std::to_string(page) + " " + std::to_string(copies));
    return true;
}

}  // namespace

RasterOutcome PrintRaster(const RasterJob& job, printhost::JobSession& session) {
    RasterOutcome out;
    Source source;
    source.job = &job;
    cups_raster_t* raster = cupsRasterOpenIO(ReadSource, &source, CUPS_RASTER_READ);
    if (!raster) {
        out.cancelled = Cancelled(job);
        out.ok = out.cancelled;
        if (!out.ok) out.why = "the input is not CUPS raster";
        return out;
    }
    cups_page_header2_t header;
    std::vector<unsigned char> band;
    for (;;) {
        if (Cancelled(job)) {
            out.cancelled = true;
            break;
        }
        source.watching = true;
        source.calls = 0;
        source.ended = false;
        const bool read = cupsRasterReadHeader2(raster, &header) != 0;
        source.watching = false;
        if (!read) {
            const bool clean = source.calls > 0 && source.firstGot == 0 && source.firstAsked == sizeof header;
            if (clean) break;
            if (source.ended && CancelArrives(job)) {
                out.cancelled = true;
                break;
            }
            out.why = PageName(out.pages + 1) + (source.ended ? ": the raster ends inside the page header"
                                                              : ": the page header is not valid CUPS raster");
            cupsRasterClose(raster);
            return out;
        }
        ++out.pages;
        job.log("INFO: Printing page " + std::to_string(out.pages));
        if (!PrintPage(job, raster, header, out.pages, session, band, out)) {
            cupsRasterClose(raster);
            return out;
        }
        if (out.cancelled) break;
    }
    cupsRasterClose(raster);
    out.cancelled = out.cancelled || Cancelled(job);
    if (!out.cancelled && out.pages == 0) {
        out.why = "no pages in the raster";
        return out;
    }
    out.ok = true;
    return out;
}

}  // namespace cupsdriver
