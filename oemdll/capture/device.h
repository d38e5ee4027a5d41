// The per-device record, the hook table handed to the host, and the
// creation and destruction of the record.
#pragma once

#include "oemdll/host/ddi.h"
#include "oemdll/host/printer.h"

// Slots of OemDevice::savedHooks that hold the host's own entry points.
enum HookSlot : int {
    HOOK_SLOT_END_DOC = 4,
    HOOK_SLOT_NEXT_BAND = 11,
    HOOK_SLOT_SEND_PAGE = 19,
    HOOK_SLOT_START_BANDING = 20,
    HOOK_SLOT_START_DOC = 21,
    HOOK_SLOT_START_PAGE = 22,
    HOOK_SLOT_QUERY_PER_BAND_INFO = 29,
};
constexpr int HOOK_SLOT_COUNT = 30;
constexpr ULONG HOOK_TABLE_ENTRIES = 7;
// Ranges of address space one image may span before it moves into one.
constexpr LONG IMAGE_RANGES_MAX = 16;

struct OemDevice {
    PFN savedHooks[HOOK_SLOT_COUNT];  // host entry points by HookSlot
    BYTE* image;                      // the captured document: reserved address space
    DWORD imageSize;                  // bytes in image; 0 when image is null
    BITMAPINFOHEADER infoHeader;      // from the image's first band; height and size summed
    LONG colorCount;                  // entries in colorTable: 2, 16, 256 or 0
    HPALETTE palette;                 // the device's default palette
    RGBQUAD* colorTable;              // built on the first band
    BOOL headerRecorded;              // set by the first band of the record's life
    SIZE_T imageReserved;             // bytes reserved at image, in adjacent ranges
    SIZE_T imageCommitted;            // bytes committed at image: whole pages
    BYTE* imageRanges[IMAGE_RANGES_MAX];  // the reserved ranges, each starting where the last ends
    LONG imageRangeCount;
    // The plug-in object's helper slot, for a host that offers no DRVPROCS
    // spool write; not owned, and read when the document ends.
    IPrintOemDriverUni* const* driverHelp;
};

// The seven hooked DDI functions, in the order the host receives them.
extern const DRVFN HookTable[HOOK_TABLE_ENTRIES];

// The slot of a hooked DDI function number, or -1 for any other number.
int HookSlotOf(ULONG iFunc);

// The record behind a surface, or null where any link is missing.
OemDevice* DeviceOfSurface(SURFOBJ* pso);

HRESULT EnableDriver(PDRVENABLEDATA pded);
HRESULT EnablePDEV(DRVENABLEDATA* pded, GDIINFO* pGdiInfo, DEVINFO* pDevInfo, PDEVOEM* pDevOem);
HRESULT DisablePDEV(PDEVOBJ pdevobj);
