#include "oemdll/capture/hooks.h"

#include "oemdll/capture/device.h"
#include "oemdll/output/emission.h"

namespace {

// The host's entry point saved in a slot, or null where the record or the
// entry is missing; the hook then fails in its function's own terms.
template <typename F>
F SavedHook(SURFOBJ* pso, HookSlot slot) {
    OemDevice* device = DeviceOfSurface(pso);
    return device ? FromPfn<F>(device->savedHooks[slot]) : nullptr;
}

}  // namespace

BOOL APIENTRY DrvStartDoc(SURFOBJ* pso, LPWSTR pwszDocName, DWORD dwJobId) {
    auto host = SavedHook<PFN_DrvStartDoc>(pso, HOOK_SLOT_START_DOC);
    return host ? host(pso, pwszDocName, dwJobId) : FALSE;
}

BOOL APIENTRY DrvEndDoc(SURFOBJ* pso, FLONG fl) {
    // The document goes to the printer before the host ends it; an aborted
    // document is printed like any other.
    if (OemDevice* device = DeviceOfSurface(pso)) EmitDocument(reinterpret_cast<PDEVOBJ>(pso->dhpdev), device);
    auto host = SavedHook<PFN_DrvEndDoc>(pso, HOOK_SLOT_END_DOC);
    return host ? host(pso, fl) : FALSE;
}

BOOL APIENTRY DrvStartPage(SURFOBJ* pso) {
    auto host = SavedHook<PFN_DrvStartPage>(pso, HOOK_SLOT_START_PAGE);
    return host ? host(pso) : FALSE;
}

BOOL APIENTRY DrvSendPage(SURFOBJ* pso) {
    auto host = SavedHook<PFN_DrvSendPage>(pso, HOOK_SLOT_SEND_PAGE);
    return host ? host(pso) : FALSE;
}

BOOL APIENTRY DrvStartBanding(SURFOBJ* pso, POINTL* pptl) {
    auto host = SavedHook<PFN_DrvStartBanding>(pso, HOOK_SLOT_START_BANDING);
    return host ? host(pso, pptl) : FALSE;
}

BOOL APIENTRY DrvNextBand(SURFOBJ* pso, POINTL* pptl) {
    auto host = SavedHook<PFN_DrvNextBand>(pso, HOOK_SLOT_NEXT_BAND);
    return host ? host(pso, pptl) : FALSE;
}

ULONG APIENTRY DrvQueryPerBandInfo(SURFOBJ* pso, PERBANDINFO* pbi) {
    auto host = SavedHook<PFN_DrvQueryPerBandInfo>(pso, HOOK_SLOT_QUERY_PER_BAND_INFO);
    return host ? host(pso, pbi) : DDI_ERROR;
}
