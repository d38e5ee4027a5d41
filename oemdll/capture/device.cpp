#include "oemdll/capture/device.h"

#include "oemdll/capture/band_capture.h"
#include "oemdll/capture/hooks.h"
#include "oemdll/host/services.h"

const DRVFN HookTable[HOOK_TABLE_ENTRIES] = {
    {INDEX_DrvStartDoc, ToPfn(&DrvStartDoc)},
    {INDEX_DrvEndDoc, ToPfn(&DrvEndDoc)},
    {INDEX_DrvStartPage, ToPfn(&DrvStartPage)},
    {INDEX_DrvSendPage, ToPfn(&DrvSendPage)},
    {INDEX_DrvStartBanding, ToPfn(&DrvStartBanding)},
    {INDEX_DrvNextBand, ToPfn(&DrvNextBand)},
    {INDEX_DrvQueryPerBandInfo, ToPfn(&DrvQueryPerBandInfo)},
};

int HookSlotOf(ULONG iFunc) {
    switch (iFunc) {
        case INDEX_DrvEndDoc: return HOOK_SLOT_END_DOC;
        case INDEX_DrvNextBand: return HOOK_SLOT_NEXT_BAND;
        case INDEX_DrvSendPage: return HOOK_SLOT_SEND_PAGE;
        case INDEX_DrvStartBanding: return HOOK_SLOT_START_BANDING;
        case INDEX_DrvStartDoc: return HOOK_SLOT_START_DOC;
        case INDEX_DrvStartPage: return HOOK_SLOT_START_PAGE;
        case INDEX_DrvQueryPerBandInfo: return HOOK_SLOT_QUERY_PER_BAND_INFO;
        default: return -1;
    }
}

OemDevice* DeviceOfSurface(SURFOBJ* pso) {
    if (!pso) return nullptr;
    auto* pdevobj = reinterpret_cast<PDEVOBJ>(pso->dhpdev);
    return pdevobj ? static_cast<OemDevice*>(pdevobj->pdevOEM) : nullptr;
}

HRESULT EnableDriver(PDRVENABLEDATA pded) {
    if (pded) {
        pded->iDriverVersion = PRINTER_OEMINTF_VERSION;
        pded->c = HOOK_TABLE_ENTRIES;
        pded->pdrvfn = const_cast<DRVFN*>(HookTable);
    }
    return S_OK;
}

HRESULT EnablePDEV(DRVENABLEDATA* pded, GDIINFO* pGdiInfo, DEVINFO* pDevInfo, PDEVOEM* pDevOem) {
    if (!pDevOem) return E_FAIL;
    auto* device = host::NewObject<OemDevice>();  // value-initialised: every field zero or null
    if (!device) {
        *pDevOem = nullptr;
        return E_FAIL;
    }

    // Save the host's own entry points; a later entry for the same number
    // overwrites an earlier one.
    if (pded && pded->pdrvfn) {
        for (ULONG i = 0; i < pded->c; ++i) {
            const int slot = HookSlotOf(pded->pdrvfn[i].iFunc);
            if (slot >= 0) device->savedHooks[slot] = pded->pdrvfn[i].pfn;
        }
    }

    // A 24-bit device gets a BGR palette, handed to the host, which owns it.
    if (pDevInfo) {
        if (pGdiInfo && pGdiInfo->cBitsPixel == 24)
            pDevInfo->hpalDefault = EngCreatePalette(PAL_BGR, 0, nullptr, 0, 0, 0);
        device->palette = pDevInfo->hpalDefault;
    }

    *pDevOem = device;
    return S_OK;
}

HRESULT DisablePDEV(PDEVOBJ pdevobj) {
    auto* device = pdevobj ? static_cast<OemDevice*>(pdevobj->pdevOEM) : nullptr;
    if (!device) return S_OK;
    ReleaseImage(device);
    if (device->colorTable) LocalFree(device->colorTable);
    host::DestroyObject(device);
    return S_OK;
}
