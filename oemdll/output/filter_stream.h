// The streaming path: raster data the host passes to FilterGraphics goes to
// the printer at once, 48 bytes per raster-row command.
#pragma once

#include "oemdll/host/printer.h"

// Sends pBuf as raster-row commands through the helper's spool write.
// S_OK when every command was taken whole, S_FALSE at the first short
// write (the rest is not sent), E_FAIL when there is no helper to write
// through or no data behind a non-zero length.
HRESULT StreamFilteredBlock(IPrintOemDriverUni* driverHelp, PDEVOBJ pdevobj, const BYTE* pBuf, DWORD dwLen);
