// Pins the published layouts of the host records, so that a slip in a
// declaration fails the build instead of corrupting a call.
#include <cstddef>

#include "oemdll/host/ddi.h"
#include "oemdll/host/printer.h"

namespace {

constexpr bool kIs64 = sizeof(void*) == 8;

constexpr std::size_t Pick(std::size_t x64, std::size_t x86) { return kIs64 ? x64 : x86; }

static_assert(sizeof(DEVOBJ) == Pick(64, 32), "DEVOBJ size");
static_assert(offsetof(DEVOBJ, pdevOEM) == Pick(8, 4), "DEVOBJ.pdevOEM");
static_assert(offsetof(DEVOBJ, hEngine) == Pick(16, 8), "DEVOBJ.hEngine");
static_assert(offsetof(DEVOBJ, hPrinter) == Pick(24, 12), "DEVOBJ.hPrinter");
static_assert(offsetof(DEVOBJ, hOEM) == Pick(32, 16), "DEVOBJ.hOEM");
static_assert(offsetof(DEVOBJ, pPublicDM) == Pick(40, 20), "DEVOBJ.pPublicDM");
static_assert(offsetof(DEVOBJ, pOEMDM) == Pick(48, 24), "DEVOBJ.pOEMDM");
static_assert(offsetof(DEVOBJ, pDrvProcs) == Pick(56, 28), "DEVOBJ.pDrvProcs");

static_assert(sizeof(DRVPROCS) == 7 * sizeof(void*), "DRVPROCS size");
static_assert(offsetof(DRVPROCS, DrvWriteSpoolBuf) == 0, "DRVPROCS.DrvWriteSpoolBuf");

static_assert(sizeof(IPPARAMS) == Pick(32, 24), "IPPARAMS size");
static_assert(offsetof(IPPARAMS, ptOffset) == 4, "IPPARAMS.ptOffset");
static_assert(offsetof(IPPARAMS, pHalftoneOption) == Pick(16, 12), "IPPARAMS.pHalftoneOption");
static_assert(offsetof(IPPARAMS, bBanding) == Pick(24, 16), "IPPARAMS.bBanding");
static_assert(offsetof(IPPARAMS, bBlankBand) == Pick(28, 20), "IPPARAMS.bBlankBand");

static_assert(sizeof(OEMDMPARAM) == Pick(72, 36), "OEMDMPARAM size");
static_assert(offsetof(OEMDMPARAM, pOEMDMIn) == Pick(48, 24), "OEMDMPARAM.pOEMDMIn");
static_assert(offsetof(OEMDMPARAM, pOEMDMOut) == Pick(56, 28), "OEMDMPARAM.pOEMDMOut");
static_assert(offsetof(OEMDMPARAM, cbBufSize) == Pick(64, 32), "OEMDMPARAM.cbBufSize");

static_assert(sizeof(OEM_DMEXTRAHEADER) == 12, "OEM_DMEXTRAHEADER size");
static_assert(sizeof(OEMMEMORYUSAGE) == 12, "OEMMEMORYUSAGE size");

static_assert(sizeof(DRVENABLEDATA) == Pick(16, 12), "DRVENABLEDATA size");
static_assert(offsetof(DRVENABLEDATA, c) == 4, "DRVENABLEDATA.c");
static_assert(offsetof(DRVENABLEDATA, pdrvfn) == 8, "DRVENABLEDATA.pdrvfn");
static_assert(sizeof(DRVFN) == Pick(16, 8), "DRVFN size");
static_assert(offsetof(DRVFN, pfn) == Pick(8, 4), "DRVFN.pfn");

static_assert(sizeof(SURFOBJ) == Pick(80, 52), "SURFOBJ size");
static_assert(offsetof(SURFOBJ, dhpdev) == Pick(16, 8), "SURFOBJ.dhpdev");

static_assert(offsetof(GDIINFO, cBitsPixel) == 24, "GDIINFO.cBitsPixel");
static_assert(sizeof(COLORINFO) == 120, "COLORINFO size");

static_assert(sizeof(DEVINFO) == Pick(312, 300), "DEVINFO size");
static_assert(offsetof(DEVINFO, hpalDefault) == Pick(296, 292), "DEVINFO.hpalDefault");

static_assert(sizeof(PERBANDINFO) == 20, "PERBANDINFO size");

static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER size");
static_assert(sizeof(PALETTEENTRY) == 4 && sizeof(RGBQUAD) == 4, "palette entry sizes");
static_assert(sizeof(GUID) == 16, "GUID size");

}  // namespace
