#include "oemdll/output/filter_stream.h"

#include <cstring>

#include "oemdll/output/row_command.h"

namespace {

// One command through the helper; a write that stores no count reads as a
// short one.
inline bool SendCommand(IPrintOemDriverUni* driverHelp, PDEVOBJ pdevobj, RowCommand& command, DWORD k) {
    DWORD written = 0;
    driverHelp->DrvWriteSpoolBuf(pdevobj, &command, k + ROW_COMMAND_HEADER_BYTES, &written);
    return written == k + ROW_COMMAND_HEADER_BYTES;
}

}  // namespace

HRESULT StreamFilteredBlock(IPrintOemDriverUni* driverHelp, PDEVOBJ pdevobj, const BYTE* pBuf, DWORD dwLen) {
    if (!driverHelp) return E_FAIL;
    if (dwLen == 0) return S_OK;
    if (!pBuf) return E_FAIL;

    // The block is taken as 384-dot rows of 48 bytes; for each whole group
    // of 8 leading all-blank rows one row is skipped.
    const DWORD rowBytes = static_cast<DWORD>(PRINT_ROW_BYTES);
    const DWORD rows = dwLen / rowBytes;
    const LONG first = LeadingBlankRows(PRINT_WIDTH_DOTS, static_cast<LONG>(rows), pBuf);

    RowCommand command = MakeRowCommand();
    SetRowDots(command, 8 * rowBytes);
    for (DWORD row = static_cast<DWORD>(first / ROW_GROUP); row < rows; ++row) {
        std::memcpy(command.data, pBuf + row * rowBytes, PRINT_ROW_BYTES);  // fixed size: copied inline
        if (!SendCommand(driverHelp, pdevobj, command, rowBytes)) return S_FALSE;
    }

    // A partial row at the end goes out with its own dot count.
    const DWORD tail = dwLen - rows * rowBytes;
    if (tail > 0) {
        std::memcpy(command.data, pBuf + rows * rowBytes, tail);
        SetRowDots(command, 8 * tail);
        if (!SendCommand(driverHelp, pdevobj, command, tail)) return S_FALSE;
    }
    return S_OK;
}
