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

}  // namespace
