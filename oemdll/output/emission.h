// End-of-document emission: the captured 1-bit image goes to the printer
// one raster-row command per dot row.
#pragma once

#include "oemdll/capture/device.h"

// Sends rows of a 1-bit image, trimmed of blank rows in whole groups of 8
// at each end, clamped to the printer's width and inverted so that a 1 bit
// is a printed dot. Only rows lying wholly inside dataSize are read; a
// width below 1 sends nothing. The rows go through the host's DRVPROCS
// spool write; where the host offers none, through the helper's; with
// neither, nothing is sent.
void EmitMonoImage(PDEVOBJ pdevobj, const BYTE* data, DWORD dataSize, LONG width, LONG rows,
                   IPrintOemDriverUni* driverHelp = nullptr);

// The document's end on a record: prints a captured 1-bit image and
// releases the image, whatever its depth.
void EmitDocument(PDEVOBJ pdevobj, OemDevice* device);
