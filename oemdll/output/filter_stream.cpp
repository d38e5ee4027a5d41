#include "oemdll/output/filter_stream.h"

#include <cstring>

#include "oemdll/output/row_command.h"

HRESULT StreamFilteredBlock(IPrintOemDriverUni* driverHelp, PDEVOBJ pdevobj, const BYTE* pBuf, DWORD dwLen) {
    if (!driverHelp) return E_FAIL;
    if (dwLen == 0) return S_OK;
    if (!pBuf) return E_FAIL;

    // The block is taken as 384-dot rows of 48 bytes; for each whole group
    // of 8 leading all-blank rows one row is skipped.
    const DWORD rowBytes = static_cast<DWORD>(PRINT_ROW_BYTES);
    const LONG rows = static_cast<LONG>(dwLen / rowBytes);
    const LONG first = LeadingBlankRows(PRINT_WIDTH_DOTS, rows, pBuf);
    DWORD pos = static_cast<DWORD>(first / ROW_GROUP) * rowBytes;

    RowCommand command = MakeRowCommand();
    while (pos < dwLen) {
        const DWORD k = dwLen - pos < rowBytes ? dwLen - pos : rowBytes;
        std::memcpy(command.data, pBuf + pos, k);
        SetRowDots(command, 8 * k);

        // A write that stores no count reads as a short one.
        DWORD written = 0;
        driverHelp->DrvWriteSpoolBuf(pdevobj, &command, k + ROW_COMMAND_HEADER_BYTES, &written);
        if (written != k + ROW_COMMAND_HEADER_BYTES) return S_FALSE;
        pos += k;
    }
    return S_OK;
}
