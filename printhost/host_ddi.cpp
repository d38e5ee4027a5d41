#include "printhost/host_ddi.h"

namespace printhost {

namespace {

HostDdi* HostOf(SURFOBJ* pso) { return pso ? reinterpret_cast<HostSurface*>(pso)->host : nullptr; }

LONG_PTR RecordOn(SURFOBJ* pso, DdiCall call) {
    HostDdi* host = HostOf(pso);
    call.pso = pso;
    return host ? host->Record(call) : FALSE;
}

BOOL APIENTRY HostStartDoc(SURFOBJ* pso, LPWSTR pwszDocName, DWORD dwJobId) {
    return static_cast<BOOL>(RecordOn(pso, {INDEX_DrvStartDoc, nullptr, pwszDocName, dwJobId, 0, nullptr, nullptr}));
}
BOOL APIENTRY HostEndDoc(SURFOBJ* pso, FLONG fl) {
    return static_cast<BOOL>(RecordOn(pso, {INDEX_DrvEndDoc, nullptr, nullptr, 0, fl, nullptr, nullptr}));
}
BOOL APIENTRY HostStartPage(SURFOBJ* pso) {
    return static_cast<BOOL>(RecordOn(pso, {INDEX_DrvStartPage, nullptr, nullptr, 0, 0, nullptr, nullptr}));
}
BOOL APIENTRY HostSendPage(SURFOBJ* pso) {
    return static_cast<BOOL>(RecordOn(pso, {INDEX_DrvSendPage, nullptr, nullptr, 0, 0, nullptr, nullptr}));
}
BOOL APIENTRY HostStartBanding(SURFOBJ* pso, POINTL* pptl) {
    return static_cast<BOOL>(RecordOn(pso, {INDEX_DrvStartBanding, nullptr, nullptr, 0, 0, pptl, nullptr}));
}
BOOL APIENTRY HostNextBand(SURFOBJ* pso, POINTL* pptl) {
    return static_cast<BOOL>(RecordOn(pso, {INDEX_DrvNextBand, nullptr, nullptr, 0, 0, pptl, nullptr}));
}
ULONG APIENTRY HostQueryPerBandInfo(SURFOBJ* pso, PERBANDINFO* pbi) {
    return static_cast<ULONG>(RecordOn(pso, {INDEX_DrvQueryPerBandInfo, nullptr, nullptr, 0, 0, nullptr, pbi}));
}

const ULONG kFunctions[7] = {INDEX_DrvStartDoc,     INDEX_DrvEndDoc,   INDEX_DrvStartPage,       INDEX_DrvSendPage,
                             INDEX_DrvStartBanding, INDEX_DrvNextBand, INDEX_DrvQueryPerBandInfo};

}  // namespace

int HostTableIndex(ULONG function) {
    for (int i = 0; i < 7; ++i) {
        if (kFunctions[i] == function) return i;
    }
    return -1;
}

HostDdi::HostDdi()
    : table{{INDEX_DrvStartDoc, ToPfn(&HostStartDoc)},
            {INDEX_DrvEndDoc, ToPfn(&HostEndDoc)},
            {INDEX_DrvStartPage, ToPfn(&HostStartPage)},
            {INDEX_DrvSendPage, ToPfn(&HostSendPage)},
            {INDEX_DrvStartBanding, ToPfn(&HostStartBanding)},
            {INDEX_DrvNextBand, ToPfn(&HostNextBand)},
            {INDEX_DrvQueryPerBandInfo, ToPfn(&HostQueryPerBandInfo)}},
      results_{TRUE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE} {}

void HostDdi::Attach(HostSurface& surface, PDEVOBJ pdevobj) {
    surface = HostSurface{};
    surface.surface.dhpdev = reinterpret_cast<DHPDEV>(pdevobj);
    surface.host = this;
}

LONG_PTR HostDdi::ResultFor(ULONG function) const {
    const int i = HostTableIndex(function);
    return i < 0 ? FALSE : results_[i];
}

void HostDdi::SetResult(ULONG function, LONG_PTR result) {
    const int i = HostTableIndex(function);
    if (i >= 0) results_[i] = result;
}

size_t HostDdi::CountOf(ULONG function) const {
    size_t n = 0;
    for (const DdiCall& call : calls) n += call.function == function;
    return n;
}

LONG_PTR HostDdi::Record(const DdiCall& call) {
    calls.push_back(call);
    if (onCall) onCall(call);
    const LONG_PTR result = ResultFor(call.function);
    if (call.function == INDEX_DrvQueryPerBandInfo && call.bandInfo && result == TRUE) {
        call.bandInfo->bRepeatThisBand = FALSE;
        call.bandInfo->szlBand = bandSize;
        call.bandInfo->ulHorizontalRes = 203;
        call.bandInfo->ulVerticalRes = 203;
    }
    return result;
}

}  // namespace printhost
