// The stand-in host driven a band at a time gives the stream a whole-job
// run gives.
#include <gtest/gtest.h>

#include <algorithm>

#include "printhost/job_session.h"
#include "standin/host/print_job.h"
#include "tests/support/stream_model.h"

namespace {

using testsupport::MakePage;
using testsupport::PageSpec;

// The page's rows from `top` as 1-bit band rows, 1 = white.
std::vector<BYTE> BandRows(const standin::Page& page, LONG width, LONG top, LONG rows, bool& blank) {
    const LONG stride = ((width + 31) / 32) * 4;
    std::vector<BYTE> band(static_cast<size_t>(stride) * rows, 0xFF);
    blank = true;
    for (LONG y = 0; y < rows; ++y)
        for (LONG x = 0; x < page.width && x < width; ++x)
            if (page.Black(x, top + y)) {
                band[static_cast<size_t>(y) * stride + x / 8] &= static_cast<BYTE>(~(0x80 >> (x % 8)));
                blank = false;
            }
    return band;
}

TEST(JobSession, BandsAsTheyComeGiveTheWholeJobStream) {
    const struct {
        const char* what;
        std::vector<PageSpec> pages;
        LONG bandRows;
    } cases[] = {
        {"one page", {{384, 100, {{0, 10}, {90, 100}}, {}, 1}}, 32},
        {"three pages", {{384, 50, {{0, 20}}, {}, 2}, {384, 30, {{0, 30}}, {}, 3}, {384, 45, {}, {}, 4}}, 16},
        {"narrow", {{200, 40, {}, {}, 5}}, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        standin::Document document;
        for (const PageSpec& p : c.pages) document.push_back(MakePage(p));
        standin::JobOptions options;
        options.modulePath = standin::DefaultModulePath();
        options.bandRows = c.bandRows;
        const standin::JobResult whole = standin::RunJob({document}, options);
        ASSERT_TRUE(whole.ok) << whole.error;

        std::vector<BYTE> written;
        options.write = [&](const BYTE* bytes, DWORD size) { written.insert(written.end(), bytes, bytes + size); };
        printhost::JobSession session(options);
        const LONG width = standin::SurfaceWidth({document});
        ASSERT_TRUE(session.Start() && session.StartDocument(width)) << session.result().error;
        for (const standin::Page& page : document) {
            ASSERT_TRUE(session.StartPage());
            for (LONG top = 0; top < page.height; top += c.bandRows) {
                const LONG rows = std::min(c.bandRows, page.height - top);
                bool blank = true;
                const std::vector<BYTE> band = BandRows(page, width, top, rows, blank);
                ASSERT_TRUE(session.Band(band.data(), rows, blank)) << session.result().error;
            }
            ASSERT_TRUE(session.EndPage());
        }
        ASSERT_TRUE(session.EndDocument(false)) << session.result().error;
        const standin::JobResult& result = session.Finish();
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_TRUE(result.output.empty());
        EXPECT_EQ(result.stats.bytes, written.size());
        EXPECT_EQ(written, whole.output);
    }
}

// A document may hold exactly the bound; one row more is refused with the
// bound named, and nothing of it is printed.
TEST(JobSession, DocumentRowsAreBounded) {
    for (const LONG extra : {0, 1}) {
        SCOPED_TRACE(extra);
        printhost::HostOptions options;
        options.modulePath = standin::DefaultModulePath();
        size_t written = 0;
        options.write = [&](const BYTE*, DWORD size) { written += size; };
        printhost::JobSession session(options);
        ASSERT_TRUE(session.Start() && session.StartDocument(384) && session.StartPage());
        const LONG bandRows = 65536;
        std::vector<BYTE> band(static_cast<size_t>(bandRows) * 48, 0x00);
        bool ok = true;
        for (LONG left = printhost::kMaxDocumentRows + extra; ok && left > 0; left -= bandRows)
            ok = session.Band(band.data(), std::min(left, bandRows), false);
        ok = ok && session.EndPage();
        ok = session.EndDocument(!ok) && ok;
        EXPECT_EQ(ok, extra == 0) << session.result().error;
        if (extra) {
            EXPECT_NE(session.result().error.find("699050 rows"), std::string::npos) << session.result().error;
            EXPECT_EQ(written, 0u);
        } else {
            EXPECT_EQ(written, static_cast<size_t>(printhost::kMaxDocumentRows) * 56);
        }
    }
}

// With a gap set, the white between two pages' ink beyond it is not fed,
// in whole groups of 8; white within a page, less than the gap and, with
// no gap, every row are.
TEST(JobSession, PageTailsAreTrimmedToTheGap) {
    struct Run {
        bool black;
        LONG rows;
    };
    const struct {
        const char* what;
        LONG width, gap, bandRows;
        std::vector<std::vector<Run>> pages;
        size_t fed;
    } cases[] = {
        {"a long tail", 384, 32, 64, {{{true, 10}, {false, 300}}, {{true, 10}}}, 56},
        {"a tail within the gap", 384, 32, 64, {{{true, 10}, {false, 20}}, {{true, 10}}}, 40},
        {"white between ink, across bands", 384, 32, 64,
         {{{true, 10}, {false, 100}, {true, 10}, {false, 300}}, {{true, 10}}}, 166},
        {"the next page's white head shares the gap", 384, 32, 64,
         {{{true, 10}, {false, 20}}, {{false, 100}, {true, 10}}}, 52},
        {"a white page", 384, 32, 256, {{{true, 10}}, {{false, 500}}, {{true, 10}}}, 56},
        {"full length", 384, -1, 64, {{{true, 10}, {false, 300}}, {{true, 10}}}, 320},
        {"padding past a narrow width is no ink", 100, 0, 64, {{{true, 5}, {false, 50}}, {{true, 5}}}, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        printhost::HostOptions options;
        options.modulePath = standin::DefaultModulePath();
        options.pageGapRows = c.gap;
        printhost::JobSession session(options);
        ASSERT_TRUE(session.Start() && session.StartDocument(c.width)) << session.result().error;
        const size_t stride = static_cast<size_t>((c.width + 31) / 32) * 4;
        size_t given = 0;
        for (const auto& page : c.pages) {
            std::vector<BYTE> rows;
            for (const Run& run : page) {
                // White rows keep their padding black: only the width's dots count.
                std::vector<BYTE> row(stride, run.black ? 0x00 : 0xFF);
                if (!run.black && c.width % 8) {
                    row[c.width / 8] = static_cast<BYTE>(0xFF << (8 - c.width % 8));
                    std::fill(row.begin() + c.width / 8 + 1, row.end(), 0x00);
                }
                for (LONG i = 0; i < run.rows; ++i) rows.insert(rows.end(), row.begin(), row.end());
            }
            const LONG count = static_cast<LONG>(rows.size() / stride);
            given += static_cast<size_t>(count);
            ASSERT_TRUE(session.StartPage());
            for (LONG top = 0; top < count; top += c.bandRows) {
                const LONG n = std::min(c.bandRows, count - top);
                ASSERT_TRUE(session.Band(rows.data() + stride * static_cast<size_t>(top), n, false));
            }
            ASSERT_TRUE(session.EndPage());
        }
        ASSERT_TRUE(session.EndDocument(false)) << session.result().error;
        const printhost::JobResult& result = session.Finish();
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.stats.rowsRendered, c.fed);
        EXPECT_EQ(result.stats.rowsTrimmed, given - c.fed);
        EXPECT_EQ(result.stats.commands, c.fed);  // one command a printed row
    }
}

}  // namespace
