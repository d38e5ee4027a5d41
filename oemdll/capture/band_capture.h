// Band capture: every band the host renders is appended to one image of the
// whole document, held in the device record until the document ends.
#pragma once

#include "oemdll/capture/device.h"

// The work of ImageProcessing: records the header and color table from the
// record's first band, then appends the band below what is held.
HRESULT AppendBand(PDEVOBJ pdevobj, const BYTE* pSrcBitmap, const BITMAPINFOHEADER* pBitmapInfoHeader,
                   DWORD dwCallbackID, const IPPARAMS* pIPParams, PBYTE* ppbResult);

// Makes the image n bytes larger, exactly; the new bytes are zero and the
// committed memory is the new size rounded up to a page. On failure the
// whole image is discarded and 0 is returned.
BOOL GrowImage(OemDevice* device, DWORD n);

// Releases the image, if any, with every page of its range.
void ReleaseImage(OemDevice* device);

// Builds colorTable from colorCount palette entries, the last one white.
BOOL FillColorTableFromPalette(OemDevice* device);
