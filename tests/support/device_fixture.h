// A plug-in object with one device record enabled on a recording host, and
// helpers to hand it bands, for the capture and output tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "oemdll/capture/device.h"
#include "oemdll/host/services.h"
#include "oemdll/server/module.h"
#include "printhost/host_ddi.h"
#include "printhost/spool_helper.h"
#include "tests/support/committed.h"
#include "tests/support/plugin.h"

#ifndef _WIN32
#include "platform/linux/faults.h"
#endif

namespace testsupport {

using Bytes = std::vector<BYTE>;

// A palette of the given entries, made the way a host makes one.
inline HPALETTE MakePalette(const std::vector<PALETTEENTRY>& entries) {
    std::vector<BYTE> storage(sizeof(LOGPALETTE) + entries.size() * sizeof(PALETTEENTRY));
    auto* logical = reinterpret_cast<LOGPALETTE*>(storage.data());
    logical->palVersion = 0x300;
    logical->palNumEntries = static_cast<WORD>(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) logical->palPalEntry[i] = entries[i];
    return CreatePalette(logical);
}

// Writes of the host's DRVPROCS spool callback, collected per device.
struct SpoolSink {
    Bytes stream;
    std::vector<Bytes> writes;
};

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        plugin = CreatePlugin();
        ASSERT_NE(plugin, nullptr);
        ASSERT_EQ(plugin->PublishDriverInterface(&helper), S_OK);

        procs.DrvWriteSpoolBuf = &WriteSpool;
        pdevobj.dwSize = sizeof pdevobj;
        pdevobj.pDrvProcs = &procs;
        pdevobj.hOEM = reinterpret_cast<HANDLE>(&sink);
        ddi.Attach(surface, &pdevobj);
    }

    void TearDown() override {
        if (device()) Disable();
        plugin->DisableDriver();
        EXPECT_EQ(plugin->Release(), 0u);
        EXPECT_EQ(helper.refCount(), 1);
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
        for (HPALETTE palette : palettes) DeleteObject(palette);
    }

    // EnablePDEV with the host's table and the given rendering depth.
    HRESULT Enable(ULONG bitsPerPixel = 1, HPALETTE hostPalette = nullptr) {
        gdiInfo = GDIINFO{};
        gdiInfo.cBitsPixel = bitsPerPixel;
        devInfo = DEVINFO{};
        devInfo.hpalDefault = hostPalette;
        DRVENABLEDATA hostTable = ddi.EnableData();
        PDEVOEM record = nullptr;
        const HRESULT hr = plugin->EnablePDEV(&pdevobj, nullptr, 0, nullptr, sizeof gdiInfo, &gdiInfo,
                                              sizeof devInfo, &devInfo, &hostTable, &record);
        pdevobj.pdevOEM = record;
        if (bitsPerPixel == 24 && devInfo.hpalDefault) palettes.push_back(devInfo.hpalDefault);
        return hr;
    }

    void Disable() {
        EXPECT_EQ(plugin->DisablePDEV(&pdevobj), S_OK);
        pdevobj.pdevOEM = nullptr;
    }

    OemDevice* device() { return static_cast<OemDevice*>(pdevobj.pdevOEM); }

    // One band of `rows` rows, each of `stride` bytes, filled with `fill`.
    HRESULT Band(LONG width, LONG rows, BYTE fill, DWORD callbackId = 1, bool blank = false, WORD bits = 1) {
        Bytes pixels(static_cast<size_t>(StrideOf(width, bits) * rows), fill);
        return BandOf(width, rows, pixels, callbackId, blank, bits);
    }

    HRESULT BandOf(LONG width, LONG rows, Bytes& pixels, DWORD callbackId = 1, bool blank = false, WORD bits = 1) {
        BITMAPINFOHEADER header = BandHeader(width, rows, static_cast<DWORD>(pixels.size()), bits);
        IPPARAMS params{};
        params.dwSize = sizeof params;
        params.bBanding = TRUE;
        params.bBlankBand = blank ? TRUE : FALSE;
        PBYTE result = reinterpret_cast<PBYTE>(junk());
        return plugin->ImageProcessing(&pdevobj, blank ? nullptr : pixels.data(), &header, nullptr, callbackId,
                                       &params, &result);
    }

    static LONG StrideOf(LONG width, WORD bits) { return ((width * bits + 31) / 32) * 4; }

    static BITMAPINFOHEADER BandHeader(LONG width, LONG rows, DWORD size, WORD bits = 1) {
        BITMAPINFOHEADER header{};
        header.biSize = sizeof header;
        header.biWidth = width;
        header.biHeight = rows;
        header.biPlanes = 1;
        header.biBitCount = bits;
        header.biCompression = 0;
        header.biSizeImage = size;
        header.biXPelsPerMeter = 7992;
        header.biYPelsPerMeter = 7992;
        header.biClrUsed = 2;
        header.biClrImportant = 2;
        return header;
    }

    static void* junk() { return reinterpret_cast<void*>(static_cast<uintptr_t>(0x55555555u)); }

    static DWORD APIENTRY WriteSpool(PDEVOBJ pdev, PVOID buffer, DWORD size) {
        auto* out = reinterpret_cast<SpoolSink*>(pdev->hOEM);
        const BYTE* bytes = static_cast<const BYTE*>(buffer);
        out->writes.emplace_back(bytes, bytes + size);
        out->stream.insert(out->stream.end(), bytes, bytes + size);
        return size;
    }

    IPrintOemUni2* plugin = nullptr;
    printhost::SpoolHelper helper;
    printhost::HostDdi ddi;
    printhost::HostSurface surface{};
    SpoolSink sink;
    DRVPROCS procs{};
    DEVOBJ pdevobj{};
    GDIINFO gdiInfo{};
    DEVINFO devInfo{};
    std::vector<HPALETTE> palettes;
};

}  // namespace testsupport
