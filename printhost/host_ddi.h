// The host's own DDI entry points for the seven functions the plug-in
// hooks. Each call is recorded with its arguments and answered with the
// result set for its function. The entry points find their recorder
// through the surface, which the host allocates as a HostSurface.
#pragma once

#include <functional>
#include <vector>

#include "oemdll/host/ddi.h"
#include "oemdll/host/printer.h"

namespace printhost {

class HostDdi;

struct HostSurface {
    SURFOBJ surface;  // first, so that a SURFOBJ* is a HostSurface*
    HostDdi* host;
};

struct DdiCall {
    ULONG function;  // INDEX_Drv... number
    SURFOBJ* pso;
    LPWSTR docName;
    DWORD jobId;
    FLONG flags;
    POINTL* point;
    PERBANDINFO* bandInfo;
};

class HostDdi {
public:
    HostDdi();

    // The host's table, as passed to EnablePDEV.
    DRVFN table[7];
    DRVENABLEDATA EnableData() { return DRVENABLEDATA{0x00030000, 7, table}; }

    // A surface for a device object, whose calls this host records.
    void Attach(HostSurface& surface, PDEVOBJ pdevobj);

    // What each function answers; DrvQueryPerBandInfo fills bandInfo with
    // bandSize when its result is TRUE.
    LONG_PTR ResultFor(ULONG function) const;
    void SetResult(ULONG function, LONG_PTR result);
    SIZEL bandSize{0, 0};

    // Called on each call after it is recorded, before it answers.
    std::function<void(const DdiCall&)> onCall;

    std::vector<DdiCall> calls;
    size_t CountOf(ULONG function) const;

    LONG_PTR Record(const DdiCall& call);

private:
    LONG_PTR results_[7];
};

// Position of a hooked function in the host's table, 0-6.
int HostTableIndex(ULONG function);

}  // namespace printhost
