// Failures made with the platform layer's fault injection (native builds only):
// objects, records, band capture and whole jobs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

TEST_F(CaptureFailureTest, GrowthAllocatesOnlyForAnotherPageOrRange) {
    ASSERT_EQ(Enable(), S_OK);
    ASSERT_EQ(Band(384, 2, 0x00), S_OK);  // the color table, the image's range and its first page
    auto before = faults::AllocationCount();
    for (int i = 0; i < 41; ++i) ASSERT_EQ(Band(384, 2, 0x00), S_OK);  // 4,032 bytes in all
    EXPECT_EQ(faults::AllocationCount() - before, 0u);
    ASSERT_EQ(Band(384, 2, 0x00), S_OK);
    EXPECT_EQ(faults::AllocationCount() - before, 1u) << "a commit of the second page";
    EXPECT_EQ(faults::CommittedBytes(), 8192);

    before = faults::AllocationCount();
    ASSERT_EQ(Band(384, 1400, 0x00), S_OK);  // past the first range's 64 KiB
    EXPECT_EQ(faults::AllocationCount() - before, 3u) << "the range right after it, and a commit in each range";
    EXPECT_EQ(faults::ReservedBytes(), 128 * 1024);
    EXPECT_EQ(faults::CommittedBytes(), 73728);

    faults::FailReservationsAtAnAddress(true);
    before = faults::AllocationCount();
    ASSERT_EQ(Band(384, 1400, 0x00), S_OK);  // past 128 KiB, with the space after it taken
    EXPECT_EQ(faults::AllocationCount() - before, 3u) << "the refused range after it, a range twice as large, a commit";
    EXPECT_EQ(faults::ReservedBytes(), 256 * 1024) << "the old ranges are released";
    EXPECT_EQ(faults::CommittedBytes(), 139264);
    EXPECT_EQ(faults::LiveAllocations() - baseline, 4) << "plug-in object, record, color table and the image's range";
}

TEST_F(CaptureFailureTest, FailedGrowthDiscardsTheWholeImage) {
    // The failing band is 100 rows (4,800 bytes): it always needs another
    // page, and after 1,300 rows more address space.
    struct Case {
        const char* what;
        LONG rowsBefore;
        std::uint64_t failAt;            // allocation that fails, from the failing band on; 0: none
        std::uint64_t reservationLimit;  // 0: none
        bool addressTaken;               // the space after the image's range is taken
        bool moves;                      // the band is taken all the same: the image moves
    } const cases[] = {
        {"the first reservation", 0, 1, 0, false, false},
        {"the first band's commit", 0, 2, 0, false, false},
        {"a commit within the range", 100, 1, 0, false, false},
        {"the range after it", 1300, 1, 0, false, true},
        {"a commit in the range after it", 1300, 2, 0, false, false},
        {"the commit of a move", 1300, 3, 0, true, false},
        {"no address space for a move", 1300, 0, 64 * 1024, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Enable(), S_OK);
        ASSERT_EQ(Band(384, 1, 0x00), S_OK);  // builds the color table
        ReleaseImage(device());
        if (c.rowsBefore > 0) {
            ASSERT_EQ(Band(384, c.rowsBefore, 0x11), S_OK);
        }

        faults::FailNthAllocation(c.failAt);
        faults::SetReservationLimit(c.reservationLimit);
        faults::FailReservationsAtAnAddress(c.addressTaken);
        const HRESULT hr = Band(384, 100, 0x22);
        faults::ResetFaults();
        if (c.moves) {
            ASSERT_EQ(hr, S_OK);
            EXPECT_EQ(device()->imageSize, 48u * 1400);
            for (DWORD i = 0; i < device()->imageSize; ++i)
                ASSERT_EQ(device()->image[i], i < 62400 ? 0x11 : 0x22) << "byte " << i;
            Disable();
            continue;
        }
        EXPECT_EQ(hr, E_FAIL);
        EXPECT_EQ(device()->image, nullptr);
        EXPECT_EQ(device()->imageSize, 0u);
        EXPECT_EQ(faults::ReservedBytes(), 0) << "no range is left behind";
        EXPECT_EQ(faults::CommittedBytes(), 0);

        ASSERT_EQ(Band(384, 3, 0x33), S_OK);
        EXPECT_EQ(device()->imageSize, 3u * 48) << "the next band starts a new image";
        EXPECT_EQ(device()->infoHeader.biHeight, 3);
        EXPECT_EQ(device()->image[0], 0x33);
        Disable();
    }
}

TEST_F(CaptureFailureTest, ARangeTooLargeForTheAddressSpaceGivesWayToAnExactOne) {
    ASSERT_EQ(Enable(), S_OK);
    faults::FailReservationsAtAnAddress(true);
    faults::SetReservationLimit(200 * 1024);
    const struct {
        LONG rows;
        BYTE fill;
        std::int64_t reserved;
    } bands[] = {
        {2700, 0x11, 128 * 1024},  // 129,600 bytes
        {100, 0x22, 192 * 1024},   // 256 KiB cannot be had, 192 KiB can
        {100, 0x33, 192 * 1024},
    };
    DWORD size = 0;
    for (const auto& band : bands) {
        ASSERT_EQ(Band(384, band.rows, band.fill), S_OK);
        size += 48u * static_cast<DWORD>(band.rows);
        EXPECT_EQ(faults::ReservedBytes(), band.reserved) << "after " << size << " bytes";
        EXPECT_EQ(faults::CommittedBytes(), (size + 4095) / 4096 * 4096);
    }
    ASSERT_EQ(device()->imageSize, size);
    for (DWORD i = 0; i < size; ++i)
        ASSERT_EQ(device()->image[i], i < 129600 ? 0x11 : i < 134400 ? 0x22 : 0x33) << "byte " << i;
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
        EXPECT_EQ(faults::AllocationCount() - before, 2u) << "only the image's range and page; the table is not retried";
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
    // Two pages of three bands each (256, 256 and 188 rows): 67,200 bytes,
    // a little more than the image's first range holds. The job runs with
    // the address space after that range free, and with it taken.
    const std::vector<standin::Document> documents = {
        {MakePage({384, 700, {{0, 10}}, {}, 1}), MakePage({384, 700, {}, {}, 2})}};
    standin::JobOptions options;
    options.bandRows = 256;

    const std::int64_t live = faults::LiveAllocations();
    const standin::JobResult clean = standin::RunJob(documents, options);
    ASSERT_TRUE(clean.ok) << clean.error;
    ASSERT_EQ(clean.output, testsupport::ModelCapture(documents));
    ASSERT_EQ(faults::LiveAllocations(), live);

    const char* const failedBand = "ImageProcessing failed: 0x80004005";
    struct Outcome {
        bool addressTaken;
        std::uint64_t n;
        const char* error;  // null: the job prints in full
        bool documentStarted;
    } const outcomes[] = {
        {false, 1, "DllGetClassObject failed: 0x8007000E", false},
        {false, 2, "CreateInstance(IID_IPrintOemUni2) failed: 0x8007000E", false},
        {false, 3, "EnablePDEV failed: 0x80004005", false},
        {false, 4, failedBand, true},   // the color table
        {false, 5, failedBand, true},   // the first range
        {false, 6, failedBand, true},   // the first band's commit
        {false, 7, failedBand, true},   // commits within the range
        {false, 8, failedBand, true},
        {false, 9, failedBand, true},
        {false, 10, failedBand, true},
        {false, 11, nullptr, true},     // the range after it: the image moves instead
        {false, 12, failedBand, true},  // the commit of the first range's last pages
        {false, 13, failedBand, true},  // the commit in the range after it
        {false, 14, nullptr, true},     // (the job made 13)
        {true, 11, nullptr, true},      // the range after it, which is taken anyway
        {true, 12, failedBand, true},   // the range the image moves to
        {true, 13, failedBand, true},   // the move's commit
        {true, 14, nullptr, true},      // (the job made 13)
    };
    for (const Outcome& o : outcomes) {
        SCOPED_TRACE("allocation " + std::to_string(o.n) + (o.addressTaken ? ", address taken" : ""));
        faults::FaultScope faults;
        faults::FailReservationsAtAnAddress(o.addressTaken);
        faults::FailNthAllocation(o.n);
        const std::uint64_t before = faults::AllocationCount();
        const standin::JobResult result = standin::RunJob(documents, options);
        if (o.error) {
            EXPECT_FALSE(result.ok);
            EXPECT_EQ(result.error, o.error);
            // A failed growth discards the image, so the aborted document's
            // end has nothing to print; nothing is printed before the end either.
            EXPECT_TRUE(result.output.empty());
        } else {
            EXPECT_TRUE(result.ok) << result.error;
            EXPECT_TRUE(result.output == clean.output);
            if (o.n == 14) {
                EXPECT_EQ(faults::AllocationCount() - before, o.n - 1);
            }
        }
        EXPECT_EQ(!result.hostCalls.empty() && result.hostCalls.back() == INDEX_DrvEndDoc, o.documentStarted);
        EXPECT_EQ(faults::LiveAllocations(), live) << "nothing leaks";
        EXPECT_EQ(faults::CommittedBytes(), 0);
    }
}

TEST(JobAllocationFailure, FailedBandIsNamedWithItsResult) {
    using testsupport::MakePage;
    const std::vector<standin::Document> documents = {{MakePage({384, 64, {}, {}, 3})}};
    standin::JobOptions options;
    options.bandRows = 16;
    faults::FaultScope faults;
    // The job allocates the factory, the object, the record, the color
    // table and the image's range; the sixth commits its first page.
    faults::FailNthAllocation(6);
    const standin::JobResult result = standin::RunJob(documents, options);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "ImageProcessing failed: 0x80004005");
    EXPECT_TRUE(result.output.empty()) << "the discarded image is not printed at the aborted end";
}

}  // namespace
