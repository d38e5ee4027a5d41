// The filter's raster path with a cancel that lands at a chosen point: the
// input's reader raises the flag as it hands over a page's last byte, as a
// SIGTERM may land once the page is in and its copies are being handed over.
// A whole process cannot be caught there reliably: the copies take
// milliseconds.
#include <gtest/gtest.h>

#include <cups/raster.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/cups/raster_job.h"

namespace {

ssize_t Append(void* context, unsigned char* bytes, size_t size) {
    auto& out = *static_cast<std::vector<unsigned char>*>(context);
    out.insert(out.end(), bytes, bytes + size);
    return static_cast<ssize_t>(size);
}

// Pages of black 384-dot rows, each asking for `copies`.
std::vector<unsigned char> Raster(unsigned pages, unsigned rows, unsigned copies) {
    std::vector<unsigned char> out;
    cups_raster_t* raster = cupsRasterOpenIO(Append, &out, CUPS_RASTER_WRITE);
    cups_page_header2_t header{};
    header.HWResolution[0] = header.HWResolution[1] = 203;
    header.NumCopies = copies;
    header.cupsWidth = 384;
    header.cupsHeight = rows;
    header.cupsBitsPerColor = header.cupsBitsPerPixel = 1;
    header.cupsBytesPerLine = 48;
    header.cupsColorSpace = CUPS_CSPACE_K;
    header.cupsImagingBBox[0] = cupsdriver::kLeftMarginPoints;
    std::vector<unsigned char> row(48, 0xFF);
    for (unsigned p = 0; p < pages; ++p) {
        cupsRasterWriteHeader2(raster, &header);
        for (unsigned y = 0; y < rows; ++y) cupsRasterWritePixels(raster, row.data(), 48);
    }
    cupsRasterClose(raster);
    return out;
}

TEST(RasterJob, ACancelOnceThePageIsInStopsBeforeItsCopies) {
    const struct {
        const char* what;
        unsigned pages, copies;
        unsigned cancelOnPage;  // the flag goes up as this page's last byte is read
        unsigned printed;       // pages counted
    } cases[] = {
        {"one copy", 1, 1, 1, 0},
        {"87 copies", 1, 87, 1, 0},
        {"second page of three", 3, 2, 2, 1},
    };
    constexpr unsigned kRows = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<unsigned char> one = Raster(1, kRows, c.copies);
        const size_t pageBytes = one.size() - 4;  // less the sync word
        const std::vector<unsigned char> input = Raster(c.pages, kRows, c.copies);
        const size_t cancelAt = 4 + pageBytes * c.cancelOnPage;

        printhost::HostOptions options;
        options.modulePath = OEMDLL_MODULE_PATH;
        options.callbackId = 1;
        options.write = [](const BYTE*, DWORD) {};
        printhost::JobSession session(options);
        ASSERT_TRUE(session.Start() && session.StartDocument(cupsdriver::kPrinterDots)) << session.result().error;

        volatile sig_atomic_t cancelled = 0;
        size_t at = 0;
        std::vector<std::string> log;
        cupsdriver::RasterJob job;
        // One byte a call: nothing past the page is in hand when the flag goes up.
        job.read = [&](unsigned char* out, size_t bytes) -> ssize_t {
            if (cancelled || at == input.size() || bytes == 0) return 0;
            *out = input[at++];
            if (at == cancelAt) cancelled = 1;
            return 1;
        };
        job.log = [&](const std::string& line) { log.push_back(line); };
        job.cancelled = &cancelled;
        const cupsdriver::RasterOutcome outcome = cupsdriver::PrintRaster(job, session);
        EXPECT_TRUE(outcome.ok && outcome.cancelled) << outcome.why;
        EXPECT_EQ(outcome.pages, c.cancelOnPage);
        EXPECT_EQ(outcome.rows, static_cast<long long>(c.printed) * kRows * c.copies);
        const auto counted =
            std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("PAGE:", 0) == 0; });
        EXPECT_EQ(counted, static_cast<long>(c.printed));
        session.EndDocument(true);
        session.Finish();
    }
}

}  // namespace
