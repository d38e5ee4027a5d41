#include "oemdll/capture/band_capture.h"

#include <cstring>

#include "oemdll/host/services.h"

namespace {

constexpr DWORD CALLBACK_MONO = 1;
constexpr DWORD CALLBACK_PALETTE_16 = 2;
constexpr DWORD CALLBACK_PALETTE_256 = 3;

void RecordHeader(OemDevice* device, const BITMAPINFOHEADER& band) {
    BITMAPINFOHEADER& header = device->infoHeader;
    header.biSize = band.biSize;
    header.biWidth = band.biWidth;
    header.biPlanes = band.biPlanes;
    header.biBitCount = band.biBitCount;
    header.biCompression = band.biCompression;
    header.biXPelsPerMeter = band.biXPelsPerMeter;
    header.biYPelsPerMeter = band.biYPelsPerMeter;
    header.biClrUsed = band.biClrUsed;
    header.biClrImportant = band.biClrImportant;
}

// The color table the first band's callback identifier selects.
BOOL BuildColorTable(OemDevice* device, DWORD callbackId) {
    switch (callbackId) {
        case CALLBACK_MONO: {
            device->colorCount = 2;
            device->colorTable = static_cast<RGBQUAD*>(LocalAlloc(LMEM_ZEROINIT, 2 * sizeof(RGBQUAD)));
            if (!device->colorTable) return FALSE;
            device->colorTable[0] = RGBQUAD{0, 0, 0, 0};
            device->colorTable[1] = RGBQUAD{255, 255, 255, 0};
            return TRUE;
        }
        case CALLBACK_PALETTE_16:
            device->colorCount = 16;
            return FillColorTableFromPalette(device);
        case CALLBACK_PALETTE_256:
            device->colorCount = 256;
            return FillColorTableFromPalette(device);
        default:
            return TRUE;
    }
}

// 32-bit sums that wrap like the host's own, without signed overflow.
LONG AddRows(LONG a, LONG b) { return static_cast<LONG>(static_cast<DWORD>(a) + static_cast<DWORD>(b)); }

}  // namespace

HRESULT AppendBand(PDEVOBJ pdevobj, const BYTE* pSrcBitmap, const BITMAPINFOHEADER* pBitmapInfoHeader,
                   DWORD dwCallbackID, const IPPARAMS* pIPParams, PBYTE* ppbResult) {
    auto* device = pdevobj ? static_cast<OemDevice*>(pdevobj->pdevOEM) : nullptr;
    if (!device || !pBitmapInfoHeader || !pIPParams || (!pIPParams->bBlankBand && !pSrcBitmap)) return E_FAIL;
    const BITMAPINFOHEADER& band = *pBitmapInfoHeader;

    if (ppbResult) *ppbResult = nullptr;
    const DWORD offset = device->image ? device->imageSize : 0;

    if (!device->headerRecorded) {
        device->headerRecorded = TRUE;
        RecordHeader(device, band);
        if (!BuildColorTable(device, dwCallbackID)) return E_FAIL;
    }

    // A band that starts a new image starts its row count and size too, so
    // that the header always describes the bytes held.
    BITMAPINFOHEADER& header = device->infoHeader;
    if (!device->image) {
        header.biHeight = band.biHeight;
        header.biSizeImage = band.biSizeImage;
    } else {
        header.biHeight = AddRows(header.biHeight, band.biHeight);
        header.biSizeImage += band.biSizeImage;
    }

    if (!GrowImage(device, band.biSizeImage)) return E_FAIL;

    BYTE* at = device->image + offset;
    if (pIPParams->bBlankBand) {
        std::memset(at, 0xFF, band.biSizeImage);
    } else {
        std::memcpy(at, pSrcBitmap, band.biSizeImage);
    }

    if (ppbResult) *ppbResult = reinterpret_cast<PBYTE>(1);
    return S_OK;
}

BOOL GrowImage(OemDevice* device, DWORD n) {
    const DWORD old = device->image ? device->imageSize : 0;
    if (n > 0xFFFFFFFFu - old) {
        // The new size does not fit in 32 bits.
        ReleaseImage(device);
        device->imageSize = 0;
        return FALSE;
    }
    device->imageSize = old + n;
    if (device->image && n == 0) return TRUE;

    // One exact-size reallocation, which the allocator may do in place,
    // instead of a new block and a copy of everything captured so far.
    void* grown = device->image
                      ? LocalReAlloc(device->image, old + n, LMEM_MOVEABLE | LMEM_ZEROINIT)
                      : LocalAlloc(LMEM_ZEROINIT, old + n);
    if (!grown) {
        ReleaseImage(device);
        device->imageSize = 0;
        return FALSE;
    }
    device->image = static_cast<BYTE*>(grown);
    return TRUE;
}

void ReleaseImage(OemDevice* device) {
    if (!device->image) return;
    LocalFree(device->image);
    device->image = nullptr;
    device->imageSize = 0;
}

BOOL FillColorTableFromPalette(OemDevice* device) {
    const UINT count = static_cast<UINT>(device->colorCount);
    device->colorTable = static_cast<RGBQUAD*>(LocalAlloc(LMEM_ZEROINIT, count * sizeof(RGBQUAD)));
    if (!device->colorTable) return FALSE;

    auto* entries = static_cast<PALETTEENTRY*>(LocalAlloc(LMEM_ZEROINIT, count * sizeof(PALETTEENTRY)));
    if (!entries || GetPaletteEntries(device->palette, 0, count, entries) == 0) {
        // The table stays with the record, which frees it.
        if (entries) LocalFree(entries);
        return FALSE;
    }
    // Entries the palette did not supply stay black.
    for (UINT i = 0; i < count; ++i)
        device->colorTable[i] = RGBQUAD{entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
    device->colorTable[count - 1] = RGBQUAD{255, 255, 255, 0};
    LocalFree(entries);
    return TRUE;
}
