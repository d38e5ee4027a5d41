#include "oemdll/output/row_command.h"

#include <cstddef>

namespace {

bool IsBlankRow(const BYTE* row, LONG stride) {
    for (LONG i = 0; i < stride; ++i) {
        if (row[i] != BLANK_BYTE) return false;
    }
    return true;
}

const BYTE* RowAt(const BYTE* data, LONG row, LONG stride) {
    return data + static_cast<size_t>(row) * static_cast<size_t>(stride);
}

}  // namespace

RowCommand MakeRowCommand() {
    RowCommand command = {{0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00}, {}};
    return command;
}

LONG RowStride(LONG width) {
    if (width < 1) return 0;
    // In 64 bits, so that widths near the top of the range cannot overflow.
    const long long bytes = (static_cast<long long>(width) + 7) / 8;
    return static_cast<LONG>((bytes + 3) / 4 * 4);
}

LONG LeadingBlankRows(LONG width, LONG rows, const BYTE* data) {
    const LONG stride = RowStride(width);
    if (rows <= 0 || stride == 0 || !data) return 0;
    for (LONG r = 0; r < rows; ++r) {
        if (!IsBlankRow(RowAt(data, r, stride), stride)) return r;
    }
    return 0;
}

LONG TrailingBlankRows(LONG width, LONG rows, const BYTE* data) {
    const LONG stride = RowStride(width);
    if (rows <= 0 || stride == 0 || !data) return 0;
    for (LONG r = rows - 1; r >= 0; --r) {
        if (!IsBlankRow(RowAt(data, r, stride), stride)) return rows - 1 - r;
    }
    return 0;
}
