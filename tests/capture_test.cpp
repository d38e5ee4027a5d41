// The device record, the hook table and the forwarding hooks, and band
// capture into one document image.
#include <gtest/gtest.h>

#include <cstring>
#include <climits>
#include <string>
#include <vector>

#include "oemdll/capture/band_capture.h"
#include "oemdll/capture/hooks.h"
#include "tests/support/device_fixture.h"

namespace {

using testsupport::Bytes;
using testsupport::DeviceTest;
using testsupport::MakePalette;

using HookTest = DeviceTest;
using CaptureTest = DeviceTest;

TEST_F(HookTest, EnableDriverHandsOutSevenHooksWhateverTheVersion) {
    const ULONG expected[7] = {35, 34, 33, 32, 57, 58, 75};
    const DWORD versions[] = {0, PRINTER_OEMINTF_VERSION, 0x00020000, 0xFFFFFFFF};
    for (DWORD version : versions) {
        DRVENABLEDATA ded;
        std::memset(&ded, 0x55, sizeof ded);
        EXPECT_EQ(plugin->EnableDriver(version, 0, &ded), S_OK);
        EXPECT_EQ(ded.iDriverVersion, PRINTER_OEMINTF_VERSION);
        ASSERT_EQ(ded.c, 7u);
        for (int i = 0; i < 7; ++i) {
            EXPECT_EQ(ded.pdrvfn[i].iFunc, expected[i]) << "entry " << i << ", version " << version;
            EXPECT_NE(ded.pdrvfn[i].pfn, nullptr) << "entry " << i;
        }
    }
}

TEST_F(HookTest, EnablePDEVSavesTheHostEntryPointsBySlot) {
    printhost::HostDdi other;
    const PFN a = ddi.table[0].pfn, b = other.table[1].pfn, c = ddi.table[2].pfn;
    struct Case {
        const char* what;
        std::vector<DRVFN> table;
        int slot;
        PFN saved;
    };
    const Case cases[] = {
        {"single entry", {{INDEX_DrvStartDoc, a}}, HOOK_SLOT_START_DOC, a},
        {"later duplicate wins", {{INDEX_DrvEndDoc, a}, {INDEX_DrvEndDoc, b}}, HOOK_SLOT_END_DOC, b},
        {"missing number stays null", {{INDEX_DrvStartDoc, a}}, HOOK_SLOT_END_DOC, nullptr},
        {"unrelated numbers ignored", {{1, a}, {INDEX_DrvSendPage, c}, {0, b}, {99, b}}, HOOK_SLOT_SEND_PAGE, c},
        {"each of seven", {{75, a}, {58, b}, {57, c}}, HOOK_SLOT_NEXT_BAND, b},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        std::vector<DRVFN> table = k.table;
        DRVENABLEDATA ded{0, static_cast<ULONG>(table.size()), table.data()};
        GDIINFO gdi{};
        gdi.cBitsPixel = 1;
        DEVINFO dev{};
        PDEVOEM record = junk();
        ASSERT_EQ(plugin->EnablePDEV(&pdevobj, nullptr, 0, nullptr, sizeof gdi, &gdi, sizeof dev, &dev, &ded, &record),
                  S_OK);
        auto* saved = static_cast<OemDevice*>(record);
        EXPECT_EQ(saved->savedHooks[k.slot], k.saved);
        int used = 0;
        for (PFN pfn : saved->savedHooks) used += pfn != nullptr;
        EXPECT_LE(used, 7);
        EXPECT_EQ(saved->image, nullptr);
        EXPECT_EQ(saved->headerRecorded, FALSE);
        pdevobj.pdevOEM = record;
        Disable();
    }
}

TEST_F(HookTest, HooksForwardExactArgumentsAndResults) {
    ASSERT_EQ(Enable(), S_OK);
    SURFOBJ* pso = &surface.surface;
    WCHAR name[] = {'d', 'o', 'c', 0};
    POINTL point{3, 4};
    PERBANDINFO info{};
    const LONG_PTR results[] = {TRUE, FALSE, 7};
    for (LONG_PTR result : results) {
        for (int i = 0; i < 7; ++i) ddi.SetResult(ddi.table[i].iFunc, result);
        ddi.calls.clear();
        EXPECT_EQ(DrvStartDoc(pso, name, 42), result);
        EXPECT_EQ(DrvStartPage(pso), result);
        EXPECT_EQ(DrvStartBanding(pso, &point), result);
        EXPECT_EQ(DrvQueryPerBandInfo(pso, &info), static_cast<ULONG>(result));
        EXPECT_EQ(DrvNextBand(pso, &point), result);
        EXPECT_EQ(DrvSendPage(pso), result);
        EXPECT_EQ(DrvEndDoc(pso, 0x5A), result);

        const ULONG order[] = {35, 33, 57, 75, 58, 32, 34};
        ASSERT_EQ(ddi.calls.size(), 7u);
        for (int i = 0; i < 7; ++i) {
            EXPECT_EQ(ddi.calls[i].function, order[i]);
            EXPECT_EQ(ddi.calls[i].pso, pso);
        }
        EXPECT_EQ(ddi.calls[0].docName, name);
        EXPECT_EQ(ddi.calls[0].jobId, 42u);
        EXPECT_EQ(ddi.calls[2].point, &point);
        EXPECT_EQ(ddi.calls[3].bandInfo, &info);
        EXPECT_EQ(ddi.calls[4].point, &point);
        EXPECT_EQ(ddi.calls[6].flags, 0x5Au);
    }
    ddi.SetResult(INDEX_DrvQueryPerBandInfo, static_cast<LONG_PTR>(DDI_ERROR));
    EXPECT_EQ(DrvQueryPerBandInfo(pso, &info), DDI_ERROR);
}

TEST_F(HookTest, HooksWithoutAnEntryPointOrRecordFail) {
    // A host table that lists only DrvStartDoc.
    std::vector<DRVFN> table = {ddi.table[0]};
    DRVENABLEDATA ded{0, 1, table.data()};
    GDIINFO gdi{};
    DEVINFO dev{};
    PDEVOEM record = nullptr;
    ASSERT_EQ(plugin->EnablePDEV(&pdevobj, nullptr, 0, nullptr, sizeof gdi, &gdi, sizeof dev, &dev, &ded, &record),
              S_OK);
    pdevobj.pdevOEM = record;
    SURFOBJ* pso = &surface.surface;
    POINTL point{};
    PERBANDINFO info{};
    EXPECT_EQ(DrvStartDoc(pso, nullptr, 1), TRUE);
    EXPECT_EQ(DrvEndDoc(pso, 0), FALSE);
    EXPECT_EQ(DrvStartPage(pso), FALSE);
    EXPECT_EQ(DrvSendPage(pso), FALSE);
    EXPECT_EQ(DrvStartBanding(pso, &point), FALSE);
    EXPECT_EQ(DrvNextBand(pso, &point), FALSE);
    EXPECT_EQ(DrvQueryPerBandInfo(pso, &info), DDI_ERROR);
    EXPECT_EQ(ddi.calls.size(), 1u);

    // No surface, no PDEVOBJ behind it, no record behind that.
    SURFOBJ bare{};
    DEVOBJ empty{};
    SURFOBJ noRecord{};
    noRecord.dhpdev = reinterpret_cast<DHPDEV>(&empty);
    for (SURFOBJ* s : {static_cast<SURFOBJ*>(nullptr), &bare, &noRecord}) {
        EXPECT_EQ(DrvStartDoc(s, nullptr, 1), FALSE);
        EXPECT_EQ(DrvEndDoc(s, 0), FALSE);
        EXPECT_EQ(DrvQueryPerBandInfo(s, &info), DDI_ERROR);
    }
    EXPECT_EQ(ddi.calls.size(), 1u);
}

TEST_F(HookTest, TwentyFourBitDevicesGetABgrPalette) {
    HPALETTE hostPalette = MakePalette({{1, 2, 3, 0}, {4, 5, 6, 0}});
    palettes.push_back(hostPalette);
    const ULONG depths[] = {1, 4, 8, 16, 24, 32};
    for (ULONG depth : depths) {
        SCOPED_TRACE("depth " + std::to_string(depth));
        ASSERT_EQ(Enable(depth, hostPalette), S_OK);
        if (depth == 24) {
            EXPECT_NE(devInfo.hpalDefault, hostPalette);
        } else {
            EXPECT_EQ(devInfo.hpalDefault, hostPalette);
        }
        EXPECT_EQ(device()->palette, devInfo.hpalDefault);
        Disable();
    }
}

TEST_F(HookTest, EnablePDEVWithoutARecordSlotFails) {
    DRVENABLEDATA hostTable = ddi.EnableData();
    GDIINFO gdi{};
    DEVINFO dev{};
    EXPECT_EQ(plugin->EnablePDEV(&pdevobj, nullptr, 0, nullptr, sizeof gdi, &gdi, sizeof dev, &dev, &hostTable,
                                 nullptr),
              E_FAIL);
    EXPECT_EQ(plugin->DisablePDEV(nullptr), S_OK);
    EXPECT_EQ(plugin->DisablePDEV(&pdevobj), S_OK) << "no record: nothing to free";
}

TEST_F(CaptureTest, BandsAreAppendedInArrivalOrder) {
    ASSERT_EQ(Enable(), S_OK);
    ASSERT_EQ(Band(384, 3, 0x11), S_OK);
    ASSERT_EQ(Band(384, 5, 0x22), S_OK);
    const OemDevice& d = *device();
    EXPECT_EQ(d.infoHeader.biHeight, 8);
    EXPECT_EQ(d.infoHeader.biSizeImage, 8u * 48);
    ASSERT_EQ(d.imageSize, 8u * 48);
    for (DWORD i = 0; i < d.imageSize; ++i) ASSERT_EQ(d.image[i], i < 3 * 48 ? 0x11 : 0x22) << "byte " << i;
    EXPECT_EQ(d.infoHeader.biWidth, 384);
    EXPECT_EQ(d.infoHeader.biBitCount, 1);
    EXPECT_EQ(d.infoHeader.biXPelsPerMeter, 7992);
    EXPECT_EQ(d.infoHeader.biClrUsed, 2u);
}

TEST_F(CaptureTest, BlankBandIsWhiteAndItsPixelsAreNotRead) {
    ASSERT_EQ(Enable(), S_OK);
    ASSERT_EQ(Band(64, 2, 0x00), S_OK);
    ASSERT_EQ(Band(64, 3, 0x00, 1, /*blank=*/true), S_OK);  // passes no pixel data at all
    const OemDevice& d = *device();
    ASSERT_EQ(d.imageSize, 5u * 8);
    for (DWORD i = 0; i < d.imageSize; ++i) ASSERT_EQ(d.image[i], i < 16 ? 0x00 : 0xFF) << "byte " << i;
    EXPECT_EQ(d.infoHeader.biHeight, 5);
}

TEST_F(CaptureTest, ImageProcessingAnswersWithANonNullResult) {
    ASSERT_EQ(Enable(), S_OK);
    Bytes pixels(48, 0);
    BITMAPINFOHEADER header = BandHeader(384, 1, 48);
    IPPARAMS params{};
    PBYTE result = nullptr;
    ASSERT_EQ(plugin->ImageProcessing(&pdevobj, pixels.data(), &header, nullptr, 1, &params, &result), S_OK);
    EXPECT_NE(result, nullptr);
    EXPECT_EQ(plugin->ImageProcessing(&pdevobj, pixels.data(), &header, nullptr, 1, &params, nullptr), S_OK)
        << "no result slot: the band is still taken";
    EXPECT_EQ(device()->imageSize, 96u);
}

TEST_F(CaptureTest, ColorTableChosenByTheFirstBand) {
    std::vector<PALETTEENTRY> sixteen(16);
    for (int i = 0; i < 16; ++i) sixteen[i] = PALETTEENTRY{BYTE(i * 16), BYTE(i), BYTE(255 - i), 0};
    sixteen[15] = PALETTEENTRY{0, 0, 0, 0};  // black last entry, forced to white
    std::vector<PALETTEENTRY> twenty(20);
    for (int i = 0; i < 20; ++i) twenty[i] = PALETTEENTRY{BYTE(i), BYTE(2 * i), BYTE(3 * i), 0};
    HPALETTE p16 = MakePalette(sixteen);
    HPALETTE p20 = MakePalette(twenty);
    palettes.push_back(p16);
    palettes.push_back(p20);

    struct Case {
        const char* what;
        DWORD id;
        HPALETTE palette;
        HRESULT hr;
        LONG count;
        bool table;
    } const cases[] = {
        {"mono", 1, nullptr, S_OK, 2, true},
        {"16 from palette", 2, p16, S_OK, 16, true},
        {"256 from a 20-entry palette", 3, p20, S_OK, 256, true},
        {"16 from no palette", 2, nullptr, E_FAIL, 16, true},
        {"id 0", 0, p16, S_OK, 0, false},
        {"id 4", 4, p16, S_OK, 0, false},
        {"id 5", 5, p16, S_OK, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Enable(8, c.palette), S_OK);
        EXPECT_EQ(Band(16, 2, 0x00, c.id), c.hr);
        const OemDevice& d = *device();
        EXPECT_EQ(d.headerRecorded, TRUE);
        EXPECT_EQ(d.colorCount, c.count);
        ASSERT_EQ(d.colorTable != nullptr, c.table);
        if (c.hr != S_OK) {
            EXPECT_EQ(d.imageSize, 0u) << "the failed band is not appended";
            EXPECT_EQ(d.infoHeader.biHeight, 0);
            EXPECT_EQ(Band(16, 2, 0x00, c.id), S_OK) << "the table is not tried again";
            EXPECT_EQ(d.imageSize, 8u);
        } else if (c.id == 1) {
            const RGBQUAD black{0, 0, 0, 0}, white{255, 255, 255, 0};
            EXPECT_EQ(0, std::memcmp(&d.colorTable[0], &black, 4));
            EXPECT_EQ(0, std::memcmp(&d.colorTable[1], &white, 4));
        } else if (c.table) {
            const std::vector<PALETTEENTRY>& source = c.id == 2 ? sixteen : twenty;
            for (LONG i = 0; i < c.count - 1; ++i) {
                const PALETTEENTRY e = i < static_cast<LONG>(source.size()) ? source[i] : PALETTEENTRY{0, 0, 0, 0};
                const RGBQUAD want{e.peBlue, e.peGreen, e.peRed, 0};
                ASSERT_EQ(0, std::memcmp(&d.colorTable[i], &want, 4)) << "entry " << i;
            }
            const RGBQUAD white{255, 255, 255, 0};
            EXPECT_EQ(0, std::memcmp(&d.colorTable[c.count - 1], &white, 4));
        }
        Disable();
    }
}

TEST_F(CaptureTest, LaterBandsChangeNeitherHeaderNorTable) {
    ASSERT_EQ(Enable(), S_OK);
    ASSERT_EQ(Band(384, 2, 0x00, 1), S_OK);
    const RGBQUAD* table = device()->colorTable;
    ASSERT_EQ(Band(200, 2, 0x00, 3, false, 8), S_OK);  // other id, width and depth
    ASSERT_EQ(Band(384, 2, 0x00, 4), S_OK);
    const OemDevice& d = *device();
    EXPECT_EQ(d.colorTable, table);
    EXPECT_EQ(d.colorCount, 2);
    EXPECT_EQ(d.infoHeader.biWidth, 384);
    EXPECT_EQ(d.infoHeader.biBitCount, 1);
    EXPECT_EQ(d.infoHeader.biHeight, 6);
}

TEST_F(CaptureTest, RefusedBandsChangeNothing) {
    ASSERT_EQ(Enable(), S_OK);
    ASSERT_EQ(Band(384, 1, 0x00), S_OK);
    Bytes pixels(48, 0);
    BITMAPINFOHEADER header = BandHeader(384, 1, 48);
    IPPARAMS params{};
    DEVOBJ noRecord{};
    struct Case {
        const char* what;
        PDEVOBJ pdev;
        PBYTE pixels;
        BITMAPINFOHEADER* header;
        IPPARAMS* params;
    } const cases[] = {
        {"no PDEVOBJ", nullptr, pixels.data(), &header, &params},
        {"no record", &noRecord, pixels.data(), &header, &params},
        {"no header", &pdevobj, pixels.data(), nullptr, &params},
        {"no IPPARAMS", &pdevobj, pixels.data(), &header, nullptr},
        {"no pixels for a non-blank band", &pdevobj, nullptr, &header, &params},
    };
    for (const Case& c : cases) {
        PBYTE result = reinterpret_cast<PBYTE>(junk());
        EXPECT_EQ(plugin->ImageProcessing(c.pdev, c.pixels, c.header, nullptr, 1, c.params, &result), E_FAIL)
            << c.what;
        EXPECT_EQ(result, junk()) << c.what;
        EXPECT_EQ(device()->imageSize, 48u) << c.what;
        EXPECT_EQ(device()->infoHeader.biHeight, 1) << c.what;
    }
}

TEST_F(CaptureTest, GrowthBeyondThirtyTwoBitsDiscardsTheImage) {
    ASSERT_EQ(Enable(), S_OK);
    ASSERT_EQ(Band(384, 2, 0x00), S_OK);
    BITMAPINFOHEADER header = BandHeader(384, 1, 0xFFFFFFF0u);
    IPPARAMS params{};
    params.bBlankBand = TRUE;
    EXPECT_EQ(plugin->ImageProcessing(&pdevobj, nullptr, &header, nullptr, 1, &params, nullptr), E_FAIL);
    EXPECT_EQ(device()->image, nullptr);
    EXPECT_EQ(device()->imageSize, 0u);

    // The next band starts a new image, and its header counts only it.
    ASSERT_EQ(Band(384, 3, 0x42), S_OK);
    EXPECT_EQ(device()->imageSize, 3u * 48);
    EXPECT_EQ(device()->infoHeader.biHeight, 3);
    EXPECT_EQ(device()->infoHeader.biSizeImage, 3u * 48);
    EXPECT_EQ(device()->image[0], 0x42);
}

TEST_F(CaptureTest, ANewImageRestartsTheRowCount) {
    ASSERT_EQ(Enable(), S_OK);
    ASSERT_EQ(Band(384, 4, 0x00), S_OK);
    ReleaseImage(device());  // as the end of a document does
    EXPECT_EQ(device()->imageSize, 0u);
    ASSERT_EQ(Band(384, 2, 0x33), S_OK);
    ASSERT_EQ(Band(384, 1, 0x44), S_OK);
    EXPECT_EQ(device()->infoHeader.biHeight, 3);
    EXPECT_EQ(device()->infoHeader.biSizeImage, 3u * 48);
    EXPECT_EQ(device()->imageSize, 3u * 48);
    EXPECT_EQ(device()->headerRecorded, TRUE);
}

TEST_F(CaptureTest, EmptyBandsKeepTheImageExact) {
    ASSERT_EQ(Enable(), S_OK);
    ASSERT_EQ(Band(384, 0, 0x00, 1, /*blank=*/true), S_OK);
    EXPECT_EQ(device()->imageSize, 0u);
    ASSERT_EQ(Band(384, 2, 0x12), S_OK);
    ASSERT_EQ(Band(384, 0, 0x00, 1, /*blank=*/true), S_OK);
    EXPECT_EQ(device()->imageSize, 96u);
    EXPECT_EQ(device()->image[95], 0x12);
}

}  // namespace

namespace {

using testsupport::CommittedBytes;

constexpr DWORD kPage = 4096;
constexpr DWORD kFirstRange = 64 * 1024;

DWORD Pages(DWORD bytes) { return (bytes + kPage - 1) / kPage * kPage; }

// Band k's byte i, distinct from band to band and along the band.
BYTE Pattern(size_t k, DWORD i) { return static_cast<BYTE>(k * 37 + i * 7 + i / 251); }

TEST_F(CaptureTest, GrowthAcrossAReservationBoundaryKeepsEveryByte) {
    // Bands of a 32-dot image (4-byte rows): the image ends just under, at
    // or just over the end of the first range, or one band overshoots it.
    struct Case {
        const char* what;
        std::vector<DWORD> bands;  // bytes of each band
    } const cases[] = {
        {"up to just under", {kFirstRange - 8, 4, 4 * 300}},
        {"up to the boundary", {kFirstRange - 8, 8, 4 * 300}},
        {"just over", {kFirstRange - 8, 12, 4 * 300}},
        {"one band over several ranges", {4, 5 * kFirstRange, 4}},
        {"the first band over the range", {kFirstRange + 4, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Enable(), S_OK);
        DWORD size = 0;
        for (size_t k = 0; k < c.bands.size(); ++k) {
            Bytes pixels(c.bands[k]);
            for (DWORD i = 0; i < c.bands[k]; ++i) pixels[i] = Pattern(k, i);
            ASSERT_EQ(BandOf(32, static_cast<LONG>(c.bands[k] / 4), pixels), S_OK) << "band " << k;
            size += c.bands[k];
            ASSERT_EQ(device()->imageSize, size);
            EXPECT_EQ(CommittedBytes(device()->image, device()->imageReserved), Pages(size)) << "band " << k;
        }
        DWORD at = 0;
        for (size_t k = 0; k < c.bands.size(); ++k)
            for (DWORD i = 0; i < c.bands[k]; ++i, ++at)
                ASSERT_EQ(device()->image[at], Pattern(k, i)) << "band " << k << " byte " << i;

        const BYTE* space = device()->image;
        const SIZE_T span = device()->imageReserved;
        ReleaseImage(device());
        EXPECT_EQ(CommittedBytes(space, span), 0u) << "every page is returned";
        Disable();
    }
}

TEST_F(CaptureTest, FreshPagesReadAsZeroAfterAReleaseAndANewImage) {
    ASSERT_EQ(Enable(), S_OK);
    ASSERT_EQ(Band(384, 1000, 0xAB), S_OK);
    ASSERT_EQ(DrvEndDoc(&surface.surface, 0), TRUE);
    ASSERT_EQ(device()->image, nullptr);

    ASSERT_EQ(Band(384, 1, 0xCD), S_OK);
    ASSERT_EQ(GrowImage(device(), 3 * kFirstRange), TRUE);
    const OemDevice& d = *device();
    ASSERT_EQ(d.imageSize, 48 + 3 * kFirstRange);
    for (DWORD i = 0; i < d.imageSize; ++i) ASSERT_EQ(d.image[i], i < 48 ? 0xCD : 0x00) << "byte " << i;
    EXPECT_EQ(CommittedBytes(d.image, d.imageReserved), Pages(d.imageSize));
}

}  // namespace
