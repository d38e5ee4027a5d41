// Failures made with the platform layer's fault injection (native builds only):
// objects, records, band capture and whole jobs.
#include <gtest/gtest.h>

#include <cstring>

#include "oemdll/host/printer.h"
#include "oemdll/server/module.h"
#include "oemdll/capture/band_capture.h"
#include "standin/host/print_job.h"
#include "platform/linux/faults.h"
#include "tests/support/device_fixture.h"
#include "tests/support/stream_model.h"
#include "tests/support/junk.h"

namespace {

TEST(AllocationFailure, FactoryThatCannotBeMadeIsOutOfMemory) {
    faults::FaultScope faults;
    const auto live = faults::LiveAllocations();
    faults::FailNthAllocation(1);
    void* ppv = junk::Pointer();
    EXPECT_EQ(DllGetClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv), E_OUTOFMEMORY);
    EXPECT_EQ(ppv, junk::Pointer());
    EXPECT_EQ(faults::LiveAllocations(), live);
}

TEST(AllocationFailure, ObjectThatCannotBeMadeIsOutOfMemory) {
    faults::FaultScope faults;
    void* ppv = nullptr;
    ASSERT_EQ(DllGetClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv), S_OK);
    auto* factory = static_cast<IClassFactory*>(ppv);
    const auto live = faults::LiveAllocations();

    faults::FailNthAllocation(1);
    ppv = junk::Pointer();
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPrintOemUni2, &ppv), E_OUTOFMEMORY);
    EXPECT_EQ(ppv, junk::Pointer());
    EXPECT_EQ(LiveObjectCount, 0);
    EXPECT_EQ(faults::LiveAllocations(), live);

    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPrintOemUni2, &ppv), S_OK) << "only that one failed";
    static_cast<IUnknown*>(ppv)->Release();
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

}  // namespace

// ---- Device records and band capture ----

namespace {

using testsupport::DeviceTest;
using testsupport::MakePalette;

class CaptureFailureTest : public DeviceTest {
protected:
    void TearDown() override {
        faults::ResetFaults();
        DeviceTest::TearDown();
        EXPECT_EQ(faults::LiveAllocations(), baseline) << "everything allocated is freed";
    }
    std::int64_t baseline = faults::LiveAllocations();
};

TEST_F(CaptureFailureTest, RecordThatCannotBeMadeIsReportedWithNoRecord) {
    faults::FailNthAllocation(1);
    DRVENABLEDATA hostTable = ddi.EnableData();
    GDIINFO gdi{};
    DEVINFO dev{};
    PDEVOEM record = junk::Pointer();
    EXPECT_EQ(plugin->EnablePDEV(&pdevobj, nullptr, 0, nullptr, sizeof gdi, &gdi, sizeof dev, &dev, &hostTable,
                                 &record),
              E_FAIL);
    EXPECT_EQ(record, nullptr);
}

TEST_F(CaptureFailureTest, TwentyFourBitPaletteIsCreatedAsBgrAndLeftToTheHost) {
    const int before = faults::LivePalettes();
    ASSERT_EQ(Enable(24), S_OK);
    ASSERT_NE(devInfo.hpalDefault, nullptr);
    EXPECT_EQ(faults::PaletteMode(devInfo.hpalDefault), PAL_BGR);
    Disable();
    EXPECT_EQ(faults::LivePalettes(), before + 1) << "the host owns the palette";

    faults::FailPaletteCreation(true);
    ASSERT_EQ(Enable(24, reinterpret_cast<HPALETTE>(junk::Pointer())), S_OK);
    EXPECT_EQ(devInfo.hpalDefault, nullptr) << "a failed creation is stored as it is";
    EXPECT_EQ(device()->palette, nullptr);
}

TEST_F(CaptureFailureTest, GrowthUsesOneExactReallocationPerBand) {
    ASSERT_EQ(Enable(), S_OK);
    ASSERT_EQ(Band(384, 2, 0x00), S_OK);  // color table and first block
    const auto before = faults::AllocationCount();
    for (int i = 0; i < 10; ++i) ASSERT_EQ(Band(384, 2, 0x00), S_OK);
    EXPECT_EQ(faults::AllocationCount() - before, 10u);
    EXPECT_EQ(faults::LiveAllocations() - baseline, 4) << "plug-in object, record, color table and image";
}

TEST_F(CaptureFailureTest, FailedGrowthDiscardsTheWholeImage) {
    struct Case {
        const char* what;
        int bandsBefore;
    } const cases[] = {{"first band", 0}, {"second band", 1}, {"fourth band", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Enable(), S_OK);
        ASSERT_EQ(Band(384, 1, 0x00), S_OK);  // builds the color table
        ReleaseImage(device());
        for (int i = 0; i < c.bandsBefore; ++i) ASSERT_EQ(Band(384, 2, 0x11), S_OK);

        faults::FailNthAllocation(1);
        EXPECT_EQ(Band(384, 2, 0x22), E_FAIL);
        EXPECT_EQ(device()->image, nullptr);
        EXPECT_EQ(device()->imageSize, 0u);

        ASSERT_EQ(Band(384, 3, 0x33), S_OK);
        EXPECT_EQ(device()->imageSize, 3u * 48) << "the next band starts a new image";
        EXPECT_EQ(device()->infoHeader.biHeight, 3);
        EXPECT_EQ(device()->image[0], 0x33);
        Disable();
    }
}

TEST_F(CaptureFailureTest, ColorTableFailuresFailTheFirstBandOnly) {
    std::vector<PALETTEENTRY> entries(16, PALETTEENTRY{9, 9, 9, 0});
    HPALETTE palette = MakePalette(entries);
    palettes.push_back(palette);
    struct Case {
        const char* what;
        DWORD id;
        int failAllocation;  // 0: none
        int readLimit;       // -1: normal
        bool tableKept;
    } const cases[] = {
        {"mono table allocation", 1, 1, -1, false},
        {"palette table allocation", 2, 1, -1, false},
        {"temporary entry array", 2, 2, -1, true},
        {"palette read fails", 2, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Enable(8, palette), S_OK);
        if (c.failAllocation) faults::FailNthAllocation(static_cast<std::uint64_t>(c.failAllocation));
        faults::SetPaletteReadLimit(c.readLimit);
        EXPECT_EQ(Band(16, 2, 0x00, c.id), E_FAIL);
        faults::ResetFaults();
        EXPECT_EQ(device()->headerRecorded, TRUE);
        EXPECT_EQ(device()->colorTable != nullptr, c.tableKept);
        EXPECT_EQ(device()->imageSize, 0u);

        const auto before = faults::AllocationCount();
        EXPECT_EQ(Band(16, 2, 0x00, c.id), S_OK);
        EXPECT_EQ(faults::AllocationCount() - before, 1u) << "only the image; the table is not retried";
        EXPECT_EQ(device()->infoHeader.biHeight, 2);
        Disable();
    }
}

TEST_F(CaptureFailureTest, ShortPaletteReadLeavesTheRestBlack) {
    std::vector<PALETTEENTRY> entries(256, PALETTEENTRY{200, 100, 50, 0});
    HPALETTE palette = MakePalette(entries);
    palettes.push_back(palette);
    faults::SetPaletteReadLimit(5);
    ASSERT_EQ(Enable(8, palette), S_OK);
    ASSERT_EQ(Band(16, 1, 0x00, 3), S_OK);
    const RGBQUAD* table = device()->colorTable;
    for (int i = 0; i < 255; ++i) {
        const RGBQUAD want = i < 5 ? RGBQUAD{50, 100, 200, 0} : RGBQUAD{0, 0, 0, 0};
        ASSERT_EQ(0, std::memcmp(&table[i], &want, 4)) << "entry " << i;
    }
    const RGBQUAD white{255, 255, 255, 0};
    EXPECT_EQ(0, std::memcmp(&table[255], &white, 4));
}

}  // namespace

// ---- Whole jobs through the loaded module ----

namespace {

TEST(JobAllocationFailure, EveryFailingAllocationHasItsOwnOutcome) {
    using testsupport::MakePage;
    // Two pages of three bands each (16, 16 and 8 rows).
    const std::vector<standin::Document> documents = {
        {MakePage({384, 40, {{0, 10}}, {}, 1}), MakePage({384, 40, {}, {}, 2})}};
    standin::JobOptions options;
    options.bandRows = 16;

    const std::int64_t live = faults::LiveAllocations();
    const std::uint64_t before = faults::AllocationCount();
    const standin::JobResult clean = standin::RunJob(documents, options);
    ASSERT_TRUE(clean.ok) << clean.error;
    ASSERT_EQ(clean.output, testsupport::ModelCapture(documents));
    ASSERT_EQ(faults::AllocationCount() - before, 10u)
        << "factory, object, record, color table, the first band's image and five growths";
    ASSERT_EQ(faults::LiveAllocations(), live);

    struct Outcome {
        std::uint64_t n;
        const char* error;
        bool documentStarted;
    } const outcomes[] = {
        {1, "DllGetClassObject failed: 0x8007000E", false},
        {2, "CreateInstance(IID_IPrintOemUni2) failed: 0x8007000E", false},
        {3, "EnablePDEV failed: 0x80004005", false},
        {4, "ImageProcessing failed: 0x80004005", true},  // the color table
        {5, "ImageProcessing failed: 0x80004005", true},  // the first band's image
        {6, "ImageProcessing failed: 0x80004005", true},  // growth for band 2
        {7, "ImageProcessing failed: 0x80004005", true},
        {8, "ImageProcessing failed: 0x80004005", true},
        {9, "ImageProcessing failed: 0x80004005", true},
        {10, "ImageProcessing failed: 0x80004005", true},  // the last band
    };
    for (const Outcome& o : outcomes) {
        SCOPED_TRACE("allocation " + std::to_string(o.n));
        faults::FaultScope faults;
        faults::FailNthAllocation(o.n);
        const standin::JobResult result = standin::RunJob(documents, options);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, o.error);
        // A failed growth discards the image, so the aborted document's end
        // has nothing to print; nothing is printed before the end either.
        EXPECT_TRUE(result.output.empty());
        EXPECT_EQ(!result.hostCalls.empty() && result.hostCalls.back() == INDEX_DrvEndDoc, o.documentStarted);
        EXPECT_EQ(faults::LiveAllocations(), live) << "nothing leaks";
    }
}

TEST(JobAllocationFailure, FailedBandIsNamedWithItsResult) {
    using testsupport::MakePage;
    const std::vector<standin::Document> documents = {{MakePage({384, 64, {}, {}, 3})}};
    standin::JobOptions options;
    options.bandRows = 16;
    faults::FaultScope faults;
    // The job allocates the factory, the object, the record, the color
    // table and the first band's image; the sixth grows it for the second.
    faults::FailNthAllocation(6);
    const standin::JobResult result = standin::RunJob(documents, options);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "ImageProcessing failed: 0x80004005");
    EXPECT_TRUE(result.output.empty()) << "the discarded image is not printed at the aborted end";
}

}  // namespace
