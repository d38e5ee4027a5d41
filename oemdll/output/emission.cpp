#include "oemdll/output/emission.h"

#include <cstdint>
#include <cstring>

#include "oemdll/capture/band_capture.h"
#include "oemdll/output/row_command.h"

namespace {

// Copies n bytes inverted, a machine word at a time. A full printer row has
// a fixed length, which lets the compiler unroll it completely.
inline void InvertBytes(BYTE* dst, const BYTE* src, DWORD n) {
    DWORD i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, src + i, 8);
        word = ~word;
        std::memcpy(dst + i, &word, 8);
    }
    for (; i < n; ++i) dst[i] = static_cast<BYTE>(~src[i]);
}

inline void InvertRow(BYTE* dst, const BYTE* src, DWORD n) {
    if (n == static_cast<DWORD>(PRINT_ROW_BYTES)) {
        InvertBytes(dst, src, static_cast<DWORD>(PRINT_ROW_BYTES));
    } else {
        InvertBytes(dst, src, n);
    }
}

// Rows first to end - 1, each as one command handed to write.
template <typename Write>
void SendRows(const BYTE* data, LONG stride, LONG first, LONG end, LONG sendWidth, Write write) {
    const DWORD rowBytes = static_cast<DWORD>(sendWidth + 7) / 8;
    RowCommand command = MakeRowCommand();
    SetRowDots(command, static_cast<DWORD>(sendWidth));
    for (LONG r = first; r < end; ++r) {
        const BYTE* row = data + static_cast<size_t>(r) * static_cast<size_t>(stride);
#if defined(__GNUC__)
        // Rows are read once, top to bottom; ask for a few rows ahead so the
        // read overlaps the host's write of this one.
        if (r + 8 < end) __builtin_prefetch(row + 8 * static_cast<size_t>(stride));
#endif
        InvertRow(command.data, row, rowBytes);
        // Every row is attempted; the count taken is not examined.
        write(&command, rowBytes + ROW_COMMAND_HEADER_BYTES);
    }
}

}  // namespace

void EmitMonoImage(PDEVOBJ pdevobj, const BYTE* data, DWORD dataSize, LONG width, LONG rows,
                   IPrintOemDriverUni* driverHelp) {
    if (!pdevobj || !data || width < 1) return;
    // The host's table does not change while it waits for this call.
    const auto spoolWrite = pdevobj->pDrvProcs ? pdevobj->pDrvProcs->DrvWriteSpoolBuf : nullptr;
    if (!spoolWrite && !driverHelp) return;
    const LONG stride = RowStride(width);

    // The recorded row count may claim more rows than the image holds.
    const LONG held = static_cast<LONG>(dataSize / static_cast<DWORD>(stride));
    if (rows > held) rows = held;

    const LONG first = LeadingBlankRows(width, rows, data) / ROW_GROUP * ROW_GROUP;
    const LONG end = rows - TrailingBlankRows(width, rows, data) / ROW_GROUP * ROW_GROUP;
    const LONG sendWidth = width > PRINT_WIDTH_DOTS ? PRINT_WIDTH_DOTS : width;

    if (spoolWrite) {
        SendRows(data, stride, first, end, sendWidth,
                 [&](RowCommand* command, DWORD n) { spoolWrite(pdevobj, command, n); });
    } else {
        SendRows(data, stride, first, end, sendWidth, [&](RowCommand* command, DWORD n) {
            DWORD written = 0;
            driverHelp->DrvWriteSpoolBuf(pdevobj, command, n, &written);
        });
    }
}

void EmitDocument(PDEVOBJ pdevobj, OemDevice* device) {
    if (!device || !device->image) return;
    BITMAPINFOHEADER& header = device->infoHeader;
    const LONG rows = header.biHeight;
    header.biHeight = static_cast<LONG>(0u - static_cast<DWORD>(rows));
    if (header.biBitCount == 1) {
        IPrintOemDriverUni* const driverHelp = device->driverHelp ? *device->driverHelp : nullptr;
        EmitMonoImage(pdevobj, device->image, device->imageSize, header.biWidth, rows, driverHelp);
    }
    ReleaseImage(device);
}
