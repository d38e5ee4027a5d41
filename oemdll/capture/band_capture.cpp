#include "oemdll/capture/band_capture.h"

#include <cstdint>
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

// The image lives in reserved address space, committed a page at a time
// as it grows, so that growing copies nothing while there is room. When
// the space is full, the range right after it is reserved too, doubling
// it where it stands; where that is taken, the image moves to a range at
// least twice as large, which keeps the copying linear overall.
constexpr std::uint64_t IMAGE_PAGE_BYTES = 4096;
// Windows hands out address space in 64 KiB steps, so ranges are whole
// steps: a smaller one would leave the rest of its step unused, and the
// range after it could not start where it ends.
constexpr std::uint64_t RESERVE_STEP_BYTES = 64 * 1024;
// A 32-bit image size needs no more than 4 GiB, nor can a range exceed
// the address space.
constexpr std::uint64_t MAX_RESERVATION_BYTES =
    (SIZE_MAX < 0xFFFFFFFFu ? std::uint64_t(SIZE_MAX) : std::uint64_t(0xFFFFFFFFu) + 1) / RESERVE_STEP_BYTES *
    RESERVE_STEP_BYTES;

std::uint64_t RoundUp(std::uint64_t bytes, std::uint64_t step) { return (bytes + step - 1) / step * step; }

BYTE* Reserve(void* at, std::uint64_t bytes) {
    return static_cast<BYTE*>(VirtualAlloc(at, static_cast<SIZE_T>(bytes), MEM_RESERVE, PAGE_READWRITE));
}

void ReleaseRanges(OemDevice* device) {
    for (LONG i = 0; i < device->imageRangeCount; ++i) VirtualFree(device->imageRanges[i], 0, MEM_RELEASE);
    device->imageRangeCount = 0;
}

// Commits the image's space up to `need` bytes, one range at a time (a
// commit cannot span two); fresh pages are zero.
bool CommitPages(OemDevice* device, std::uint64_t need) {
    for (LONG i = 0; i < device->imageRangeCount && device->imageCommitted < need; ++i) {
        const SIZE_T rangeEnd = i + 1 < device->imageRangeCount
                                    ? static_cast<SIZE_T>(device->imageRanges[i + 1] - device->image)
                                    : device->imageReserved;
        if (device->imageCommitted >= rangeEnd) continue;
        const SIZE_T to = need < rangeEnd ? static_cast<SIZE_T>(need) : rangeEnd;
        if (!VirtualAlloc(device->image + device->imageCommitted, to - device->imageCommitted, MEM_COMMIT,
                          PAGE_READWRITE))
            return false;
        device->imageCommitted = to;
    }
    return true;
}

// Reserves the address space right after the image's, at least as much
// again, so that the image grows where it stands.
bool GrowInPlace(OemDevice* device, std::uint64_t need) {
    if (device->imageRangeCount >= IMAGE_RANGES_MAX) return false;
    const std::uint64_t reserved = device->imageReserved;
    const std::uint64_t size = RoundUp(need - reserved > reserved ? need - reserved : reserved, RESERVE_STEP_BYTES);
    if (size > MAX_RESERVATION_BYTES - reserved) return false;
    BYTE* const at = device->image + reserved;
    BYTE* const range = Reserve(at, size);
    if (range != at) {
        if (range) VirtualFree(range, 0, MEM_RELEASE);
        return false;
    }
    device->imageRanges[device->imageRangeCount++] = range;
    device->imageReserved = static_cast<SIZE_T>(reserved + size);
    return true;
}

// Moves the image's `held` bytes to a new range with `need` bytes
// committed, and releases the old space. The new range is twice the old
// one where the address space has that much room, else just enough.
bool MoveImage(OemDevice* device, DWORD held, std::uint64_t need) {
    const std::uint64_t exact = need > RESERVE_STEP_BYTES ? RoundUp(need, RESERVE_STEP_BYTES) : RESERVE_STEP_BYTES;
    if (exact > MAX_RESERVATION_BYTES) return false;
    std::uint64_t size = 2 * std::uint64_t(device->imageReserved);
    if (size < exact) size = exact;
    if (size > MAX_RESERVATION_BYTES) size = MAX_RESERVATION_BYTES;
    BYTE* range = Reserve(nullptr, size);
    if (!range && size > exact) {
        size = exact;
        range = Reserve(nullptr, size);
    }
    if (!range) return false;
    if (need > 0 && !VirtualAlloc(range, static_cast<SIZE_T>(need), MEM_COMMIT, PAGE_READWRITE)) {
        VirtualFree(range, 0, MEM_RELEASE);
        return false;
    }
    if (device->image) std::memcpy(range, device->image, held);
    ReleaseRanges(device);
    device->image = range;
    device->imageRanges[0] = range;
    device->imageRangeCount = 1;
    device->imageReserved = static_cast<SIZE_T>(size);
    device->imageCommitted = static_cast<SIZE_T>(need);
    return true;
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

    // A band that starts a new image starts its header too: the header
    // describes the bytes held, and a later document on the record may have
    // another width or depth than its first. The color table stays.
    BITMAPINFOHEADER& header = device->infoHeader;
    if (!device->image) {
        RecordHeader(device, band);
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
        return FALSE;
    }
    device->imageSize = old + n;

    const std::uint64_t need = RoundUp(std::uint64_t(old) + n, IMAGE_PAGE_BYTES);
    if (device->image && need <= device->imageCommitted) return TRUE;
    bool grown;
    if (!device->image) {
        grown = MoveImage(device, 0, need);
    } else if (need <= device->imageReserved || GrowInPlace(device, need)) {
        grown = CommitPages(device, need);
    } else {
        grown = MoveImage(device, old, need);
    }
    if (!grown) {
        ReleaseImage(device);
        return FALSE;
    }
    return TRUE;
}

void ReleaseImage(OemDevice* device) {
    ReleaseRanges(device);
    device->image = nullptr;
    device->imageSize = 0;
    device->imageReserved = 0;
    device->imageCommitted = 0;
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
