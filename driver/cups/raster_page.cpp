#include "driver/cups/raster_page.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include <cups/cups.h>
#include <strings.h>

namespace cupsdriver {

namespace {

// More than any sane page: 64 Ki dots across.
constexpr unsigned kMaxRowBytes = 8192;

}  // namespace

long PageGapRows(const char* options) {
    cups_option_t* list = nullptr;
    const int count = cupsParseOptions(options ? options : "", 0, &list);
    const char* value = cupsGetOption("PageLength", count, list);
    if (!value) value = cupsGetOption("page-length", count, list);
    const bool full = value && strcasecmp(value, "full") == 0;
    cupsFreeOptions(count, list);
    return full ? -1 : printhost::kPageGapRows;
}

long LeftOffset(const cups_page_header2_t& header) {
    const double dpi = header.HWResolution[0] > 0 ? header.HWResolution[0] : 203;
    const double dots = (header.cupsImagingBBox[0] - kLeftMarginPoints) * dpi / 72.0;
    if (!std::isfinite(dots)) return 0;
    // Past either end nothing of the page lands on the paper anyway.
    if (dots >= kPrinterDots) return kPrinterDots;
    if (dots <= -65536) return -65536;
    return std::lround(dots);
}

bool TakeHeader(const cups_page_header2_t& header, RowFormat& format, std::string& why) {
    if (header.cupsBitsPerPixel != 1 || header.cupsBitsPerColor != 1) {
        why = "unsupported raster: " + std::to_string(header.cupsBitsPerPixel) +
              " bits per pixel (the printer takes 1)";
        return false;
    }
    // The raster may hold any 32 bits here, most of them no value of the
    // enum: read them as a number.
    std::uint32_t space = 0;
    static_assert(sizeof header.cupsColorSpace == sizeof space, "cupsColorSpace is 32 bits");
    std::memcpy(&space, &header.cupsColorSpace, sizeof space);
    switch (space) {
    case CUPS_CSPACE_K: format.oneIsBlack = true; break;
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_SW: format.oneIsBlack = false; break;
    default:
        why = "unsupported raster: colour space " + std::to_string(space) + " (the printer takes black, white or sGray)";
        return false;
    }
    if (header.cupsWidth == 0 || header.cupsHeight == 0) {
        why = "bad raster: a page of " + std::to_string(header.cupsWidth) + " x " +
              std::to_string(header.cupsHeight) + " dots";
        return false;
    }
    // In 64 bits: a width near 2^32 must not wrap to a short row.
    if (header.cupsBytesPerLine < (std::uint64_t{header.cupsWidth} + 7) / 8 || header.cupsBytesPerLine > kMaxRowBytes) {
        why = "bad raster: " + std::to_string(header.cupsBytesPerLine) + " bytes per line for " +
              std::to_string(header.cupsWidth) + " dots";
        return false;
    }
    if (header.NumCopies > kMaxCopies) {
        why = "bad raster: " + std::to_string(header.NumCopies) + " copies";
        return false;
    }
    format.width = header.cupsWidth;
    format.offset = LeftOffset(header);
    return true;
}

bool PlaceRow(const unsigned char* row, const RowFormat& format, unsigned char* band) {
    std::memset(band, 0xFF, kBandRowBytes);
    bool black = false;
    // Only the columns that land on the printer's dots.
    long first = format.offset < 0 ? -format.offset : 0;
    long end = static_cast<long>(format.width);
    if (end > kPrinterDots - format.offset) end = kPrinterDots - format.offset;
    if (format.offset == 0 && format.oneIsBlack) {
        // The common case: byte for byte, inverted.
        const long whole = end / 8;
        for (long i = 0; i < whole; ++i) {
            band[i] = static_cast<unsigned char>(~row[i]);
            black = black || row[i] != 0;
        }
        first = whole * 8;
    }
    for (long x = first; x < end; ++x) {
        const bool bit = (row[x >> 3] >> (7 - (x & 7))) & 1;
        if (bit != format.oneIsBlack) continue;
        const long dot = x + format.offset;
        band[dot >> 3] = static_cast<unsigned char>(band[dot >> 3] & ~(0x80 >> (dot & 7)));
        black = true;
    }
    return black;
}

}  // namespace cupsdriver
