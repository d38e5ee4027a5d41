// The printer's raster-row command and the scans for blank rows that both
// output paths share. Pure routines: no host calls.
#pragma once

#include "oemdll/host/platform.h"

constexpr LONG PRINT_WIDTH_DOTS = 384;
constexpr LONG PRINT_ROW_BYTES = PRINT_WIDTH_DOTS / 8;
constexpr LONG ROW_GROUP = 8;
constexpr BYTE BLANK_BYTE = 0xFF;

constexpr DWORD ROW_COMMAND_HEADER_BYTES = 8;

// One command as built before it is sent: the 8-byte header and a data area
// that starts zeroed and receives at most PRINT_ROW_BYTES per row. Only the
// header and the row's own bytes are sent.
struct RowCommand {
    BYTE header[ROW_COMMAND_HEADER_BYTES];
    BYTE data[56];
};
static_assert(sizeof(RowCommand) == 64, "the command work area is 64 bytes");

// A command with the fixed header bytes, a dot count of 0 and zeroed data.
RowCommand MakeRowCommand();

// Header bytes 6 and 7: the row's width in dots, low byte first.
inline void SetRowDots(RowCommand& command, DWORD dots) {
    command.header[6] = static_cast<BYTE>(dots & 0xFF);
    command.header[7] = static_cast<BYTE>(dots >> 8);
}

// Bytes per row of image data: the width rounded up to whole bytes and then
// to a multiple of 4. Widths below 1 have no bytes.
LONG RowStride(LONG width);

// Index of the first row, from the top, holding a byte other than
// BLANK_BYTE anywhere in its stride; 0 when every row is blank or rows <= 0.
LONG LeadingBlankRows(LONG width, LONG rows, const BYTE* data);

// Number of blank rows below the last row holding a byte other than
// BLANK_BYTE; 0 when every row is blank or rows <= 0.
LONG TrailingBlankRows(LONG width, LONG rows, const BYTE* data);
