// The filter's job: CUPS raster read through libcups, each page placed on
// the printer's dots and handed to the plug-in's open document, within the
// job's bound. No process state: the caller brings the input, the log and
// the cancel flag.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <functional>
#include <string>

#include "driver/cups/raster_page.h"
#include "printhost/job_session.h"

namespace cupsdriver {

struct RasterJob {
    // Reads up to `bytes` of raster: the count, 0 at the input's end, -1 on
    // an error.
    std::function<ssize_t(unsigned char* out, size_t bytes)> read;
    // A line for CUPS (INFO:, WARNING:, PAGE:), without its newline.
    std::function<void(const std::string& line)> log;
    // Set once the job is cancelled; looked at between rows and copies.
    const volatile sig_atomic_t* cancelled = nullptr;
    // Called when the raster ends early, to give a cancel on its way time to
    // arrive; returns whether it did. Null: it did not.
    std::function<bool()> cancelArrives;
    long long maxRows = kMaxJobRows;
};

struct RasterOutcome {
    bool ok = false;
    bool cancelled = false;  // stopped by a cancel; ok stays true
    unsigned pages = 0;      // page headers taken
    long long rows = 0;      // rows handed over, copies counted
    std::string why;         // on failure, for the ERROR: line
};

// Reads every page of the raster and hands it to the session, whose
// document is open: rows placed by PlaceRow, a page longer than
// kMaxPageRows cut, each page repeated for the copies its header asks for.
// Fails, before the page's rows are read, when the job would pass
// maxRows. The raster must end cleanly, after a whole page: anything else
// (a header cut short or not valid, a page cut short) fails.
RasterOutcome PrintRaster(const RasterJob& job, printhost::JobSession& session);

}  // namespace cupsdriver
