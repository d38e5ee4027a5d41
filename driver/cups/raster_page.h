// How a page of CUPS raster becomes the plug-in's bands: which headers the
// filter takes, where a page's columns land on the printer's 384 dots, and
// the conversion of one row. Pure routines, no I/O.
#pragma once

#include <cups/raster.h>

#include <cstddef>
#include <string>

#include "printhost/job_session.h"

namespace cupsdriver {

constexpr long kPrinterDots = 384;
constexpr long kBandRowBytes = kPrinterDots / 8;  // a 1-bit row of 384 dots, already a multiple of 4
// The longest page printed, about 1 m at 203 dpi: the custom size's upper
// bound. Rows past it are read and dropped.
constexpr unsigned kMaxPageRows = 8000;
// The most one job may print, copies counted: the host's bound on a
// document, 268,435,456 dots in whole rows of the printer's width. The
// plug-in holds the whole job until its end.
constexpr long long kMaxJobRows = printhost::kMaxDocumentRows;  // 699,050
// CUPS's own default limit on copies; a header asking for more is bad.
constexpr unsigned kMaxCopies = 9999;
// The paper's left edge to the first printable dot: the PPD's 5 mm margin.
constexpr double kLeftMarginPoints = 72.0 * 5.0 / 25.4;

// How the bits of a page's row read.
struct RowFormat {
    unsigned width = 0;         // dots in the raster row
    bool oneIsBlack = true;     // K; W and sW have 1 = white
    long offset = 0;            // printer dot of raster column 0; may be negative
};

// How many white rows a page may end with before the next
// (printhost::HostOptions::pageGapRows), from the job's options: the PPD's
// PageLength=Full, or page-length=full as for the printer application,
// feeds every page at its full length; else a page's blank tail is cut to
// the gap between receipts.
long PageGapRows(const char* options);

// Checks a page header; on failure says what is wrong in `why`.
bool TakeHeader(const cups_page_header2_t& header, RowFormat& format, std::string& why);

// The printer dot at which the page's imageable area starts, from its
// imaging box: 0 when the raster starts at the printer's margin.
long LeftOffset(const cups_page_header2_t& header);

// Converts one raster row (MSB first) into a band row of kBandRowBytes,
// 1 = white: the row placed at format.offset, clipped at the printer's
// last dot, white where the page has no dots. Returns whether it holds a
// black dot.
bool PlaceRow(const unsigned char* row, const RowFormat& format, unsigned char* band);

}  // namespace cupsdriver
