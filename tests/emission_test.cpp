// End-of-document emission on one device record: which rows go out, how
// they are clamped and inverted, and what is left afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "oemdll/capture/band_capture.h"
#include "oemdll/capture/hooks.h"
#include "oemdll/output/emission.h"
#include "tests/support/device_fixture.h"

namespace {

using testsupport::Bytes;
using EmissionTest = testsupport::DeviceTest;

// A 1-bit image of `rows` rows at `width`: blank (0xFF) except the rows in
// [inkFrom, inkTo), whose bytes are 0x0F, 0x1E, ... by position.
Bytes Image(LONG width, LONG rows, LONG inkFrom, LONG inkTo) {
    const LONG stride = ((width + 31) / 32) * 4;
    Bytes image(static_cast<size_t>(stride * rows), 0xFF);
    for (LONG r = inkFrom; r < inkTo; ++r)
        for (LONG i = 0; i < stride; ++i) image[static_cast<size_t>(r * stride + i)] = static_cast<BYTE>(r + 3 * i);
    return image;
}

TEST_F(EmissionTest, TrimsBlankRowsInGroupsOfEightAndInverts) {
    struct Case {
        const char* what;
        LONG width, rows, inkFrom, inkTo;
        LONG first, end;  // rows sent
        DWORD dataBytes;
        BYTE nL, nH;
    } const cases[] = {
        {"384 x 100, ten blank rows each end", 384, 100, 10, 90, 8, 92, 48, 0x80, 0x01},
        {"300 wide", 300, 20, 0, 20, 0, 20, 38, 0x2C, 0x01},
        {"400 wide is clamped", 400, 16, 3, 13, 0, 16, 48, 0x80, 0x01},
        {"all blank: every row", 384, 20, 0, 0, 0, 20, 48, 0x80, 0x01},
        {"width 1", 1, 24, 17, 18, 16, 24, 1, 0x01, 0x00},
        {"width 385", 385, 9, 8, 9, 8, 9, 48, 0x80, 0x01},
        {"rows 11 and 12 of 20", 384, 20, 11, 13, 8, 20, 48, 0x80, 0x01},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Enable(), S_OK);
        Bytes image = Image(c.width, c.rows, c.inkFrom, c.inkTo);
        ASSERT_EQ(BandOf(c.width, c.rows, image), S_OK);
        sink = testsupport::SpoolSink{};
        ASSERT_EQ(DrvEndDoc(&surface.surface, 0), TRUE);

        const LONG stride = ((c.width + 31) / 32) * 4;
        ASSERT_EQ(sink.writes.size(), static_cast<size_t>(c.end - c.first));
        for (LONG r = c.first; r < c.end; ++r) {
            const Bytes& w = sink.writes[static_cast<size_t>(r - c.first)];
            ASSERT_EQ(w.size(), c.dataBytes + 8) << "row " << r;
            const BYTE header[8] = {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01, c.nL, c.nH};
            ASSERT_EQ(0, std::memcmp(w.data(), header, 8)) << "row " << r;
            for (DWORD i = 0; i < c.dataBytes; ++i)
                ASSERT_EQ(w[8 + i], BYTE(~image[static_cast<size_t>(r * stride) + i])) << "row " << r << " byte " << i;
        }
        EXPECT_EQ(device()->image, nullptr);
        EXPECT_EQ(device()->imageSize, 0u);
        EXPECT_EQ(device()->infoHeader.biHeight, -c.rows) << "the recorded height is left negated";
        Disable();
    }
}

TEST_F(EmissionTest, PaddingDecidesWhetherAWideRowIsBlank) {
    ASSERT_EQ(Enable(), S_OK);
    Bytes image = Image(400, 16, 0, 0);
    // Padding of the first and last rows only; dots past 384 are not sent.
    image[50] = 0xFE;
    image[52 * 15 + 51] = 0x7F;
    ASSERT_EQ(BandOf(400, 16, image), S_OK);
    ASSERT_EQ(DrvEndDoc(&surface.surface, 0), TRUE);
    ASSERT_EQ(sink.writes.size(), 16u) << "the first and last rows are not blank, so nothing is trimmed";
    for (const Bytes& w : sink.writes)
        for (size_t i = 8; i < w.size(); ++i) ASSERT_EQ(w[i], 0x00);
}

TEST_F(EmissionTest, PrintsBeforeTheHostEndsTheDocument) {
    ASSERT_EQ(Enable(), S_OK);
    ASSERT_EQ(Band(384, 4, 0x00), S_OK);
    size_t writtenAtEnd = 0;
    ddi.onCall = [&](const printhost::DdiCall& call) {
        if (call.function == INDEX_DrvEndDoc) writtenAtEnd = sink.writes.size();
    };
    ddi.SetResult(INDEX_DrvEndDoc, FALSE);
    EXPECT_EQ(DrvEndDoc(&surface.surface, 1), FALSE) << "the host's result is returned";
    EXPECT_EQ(writtenAtEnd, 4u);
    ASSERT_EQ(ddi.calls.size(), 1u);
    EXPECT_EQ(ddi.calls[0].flags, 1u) << "an aborted document is printed all the same";
}

TEST_F(EmissionTest, NothingIsPrintedForOtherDepthsOrWithoutAnImage) {
    ASSERT_EQ(Enable(8), S_OK);
    EXPECT_EQ(DrvEndDoc(&surface.surface, 0), TRUE) << "no band arrived";
    EXPECT_EQ(ddi.CountOf(INDEX_DrvEndDoc), 1u);
    ASSERT_EQ(Band(64, 4, 0x00, 1, false, 8), S_OK);
    EXPECT_EQ(DrvEndDoc(&surface.surface, 0), TRUE);
    EXPECT_TRUE(sink.writes.empty());
    EXPECT_EQ(device()->image, nullptr) << "the image is released whatever its depth";
    EXPECT_EQ(ddi.CountOf(INDEX_DrvEndDoc), 2u);
}

TEST_F(EmissionTest, SecondDocumentPrintsInFull) {
    ASSERT_EQ(Enable(), S_OK);
    Bytes first = Image(384, 16, 0, 16);
    ASSERT_EQ(BandOf(384, 16, first), S_OK);
    ASSERT_EQ(DrvEndDoc(&surface.surface, 0), TRUE);
    Bytes second = Image(384, 24, 0, 24);
    ASSERT_EQ(BandOf(384, 12, second), S_OK);
    ASSERT_EQ(BandOf(384, 12, second), S_OK);
    ASSERT_EQ(DrvEndDoc(&surface.surface, 0), TRUE);
    EXPECT_EQ(sink.writes.size(), 16u + 24u);
}

TEST_F(EmissionTest, ADocumentOfAnotherWidthPrintsAtItsOwnWidth) {
    const LONG orders[][2] = {{384, 200}, {200, 384}};
    for (const auto& widths : orders) {
        SCOPED_TRACE(std::to_string(widths[0]) + " then " + std::to_string(widths[1]));
        ASSERT_EQ(Enable(), S_OK);
        Bytes first = Image(widths[0], 16, 0, 16);
        ASSERT_EQ(BandOf(widths[0], 16, first), S_OK);
        ASSERT_EQ(DrvEndDoc(&surface.surface, 0), TRUE);

        const LONG width = widths[1];
        Bytes second = Image(width, 24, 0, 24);
        ASSERT_EQ(BandOf(width, 24, second), S_OK);
        sink = testsupport::SpoolSink{};
        ASSERT_EQ(DrvEndDoc(&surface.surface, 0), TRUE);

        const LONG stride = ((width + 31) / 32) * 4;
        const DWORD dataBytes = static_cast<DWORD>(width + 7) / 8;
        ASSERT_EQ(sink.writes.size(), 24u);
        for (LONG r = 0; r < 24; ++r) {
            const Bytes& w = sink.writes[static_cast<size_t>(r)];
            ASSERT_EQ(w.size(), dataBytes + 8) << "row " << r;
            EXPECT_EQ(w[6] | w[7] << 8, width) << "row " << r;
            for (DWORD i = 0; i < dataBytes; ++i)
                ASSERT_EQ(w[8 + i], BYTE(~second[static_cast<size_t>(r * stride) + i])) << "row " << r << " byte " << i;
        }
        Disable();
    }
}

TEST_F(EmissionTest, WithoutADrvProcsWriteTheHelperPrints) {
    struct Case {
        const char* what;
        bool table, write, helper;
        bool throughHelper;
    } const cases[] = {
        {"DRVPROCS write", true, true, true, false},
        {"DRVPROCS without its write", true, false, true, true},
        {"no DRVPROCS", false, false, true, true},
        {"neither", false, false, false, false},
    };
    Bytes image = Image(300, 20, 2, 19);
    Bytes expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Enable(), S_OK);
        ASSERT_EQ(BandOf(300, 20, image), S_OK);
        sink = testsupport::SpoolSink{};
        helper.stream.clear();
        helper.writeDevices.clear();
        procs.DrvWriteSpoolBuf = c.write ? &WriteSpool : nullptr;
        pdevobj.pDrvProcs = c.table ? &procs : nullptr;
        if (!c.helper) plugin->DisableDriver();

        EXPECT_EQ(DrvEndDoc(&surface.surface, 0), TRUE);
        if (expected.empty()) expected = sink.stream;
        ASSERT_EQ(expected.size(), 20u * (38 + 8));
        EXPECT_TRUE((c.throughHelper ? helper.stream : sink.stream) == (c.helper ? expected : Bytes{}));
        EXPECT_TRUE((c.throughHelper ? sink.stream : helper.stream).empty());
        for (PDEVOBJ written : helper.writeDevices) ASSERT_EQ(written, &pdevobj);
        EXPECT_EQ(device()->image, nullptr);
        EXPECT_EQ(ddi.CountOf(INDEX_DrvEndDoc), 1u);
        Disable();
        ddi.calls.clear();
        procs.DrvWriteSpoolBuf = &WriteSpool;
        pdevobj.pDrvProcs = &procs;
    }
}

TEST_F(EmissionTest, RecordedRowsBeyondTheImageAreNotRead) {
    ASSERT_EQ(Enable(), S_OK);
    ASSERT_EQ(Band(384, 4, 0x00), S_OK);
    struct Case {
        const char* what;
        LONG width, rows;
        size_t sent;
    } const cases[] = {
        {"more rows than held", 384, 1000, 4},
        {"zero rows", 384, 0, 0},
        {"negative rows", 384, -4, 0},
        {"zero width", 0, 4, 0},
        {"negative width", -384, 4, 0},
        {"wider stride than held", 4000, 4, 0},
    };
    for (const Case& c : cases) {
        sink = testsupport::SpoolSink{};
        EmitMonoImage(&pdevobj, device()->image, device()->imageSize, c.width, c.rows);
        EXPECT_EQ(sink.writes.size(), c.sent) << c.what;
    }
    DEVOBJ noProcs = pdevobj;
    noProcs.pDrvProcs = nullptr;
    EmitMonoImage(&noProcs, device()->image, device()->imageSize, 384, 4);
    EmitMonoImage(nullptr, device()->image, device()->imageSize, 384, 4);
}

}  // namespace
